#include "workload.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>

#include "propreg/frontend.h"
#include "support/batch_builder.h"

const char *const kTopKeys[3] = {"DATABASE", "SYSTEM", "HWK"};

namespace {

// A parent whose children have long names: about fourteen fill its own
// entry area, so later ones spill into a KCE page (and deletes empty it).
constexpr const char *kWide = "SYSTEM.wide";
constexpr size_t kLongName = 230;
constexpr uint32_t kMaxDepth = 6;
constexpr size_t kMaxKeys = 45;
// Values inside a batch record hold at most this much.
constexpr uint32_t kBatchValueMax = PROP_BATCH_VALUE_SIZE;

uint32_t depth_of(const std::string &name)
{
    return static_cast<uint32_t>(std::count(name.begin(), name.end(), '.')) + 1;
}

std::string last_component(const std::string &name)
{
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(dot + 1);
}

bool is_top(const std::string &name)
{
    return std::find(std::begin(kTopKeys), std::end(kTopKeys), name) != std::end(kTopKeys);
}

bool within(const std::string &name, const std::string &top)
{
    return name == top || (name.size() > top.size() && name.compare(0, top.size(), top) == 0 && name[top.size()] == '.');
}

template <class Pred> std::vector<std::string> keep_if(const std::vector<std::string> &names, Pred pred)
{
    std::vector<std::string> out;
    std::copy_if(names.begin(), names.end(), std::back_inserter(out), pred);
    return out;
}

std::vector<std::string> subtree(const Tree &tree, const std::string &top)
{
    std::vector<std::string> out;
    for (auto it = tree.lower_bound(top); it != tree.end() && it->first.compare(0, top.size(), top) == 0; ++it)
        if (within(it->first, top)) out.push_back(it->first);
    return out;
}

bool has_children(const Tree &tree, const std::string &name)
{
    return subtree(tree, name).size() > 1;
}

// Levels below name (0 for a leaf).
uint32_t height(const Tree &tree, const std::string &name)
{
    uint32_t h = 0;
    for (const std::string &k : subtree(tree, name)) h = std::max(h, depth_of(k) - depth_of(name));
    return h;
}

void erase_subtree(Tree &tree, const std::string &top)
{
    for (const std::string &k : subtree(tree, top)) tree.erase(k);
}

KeyState fresh_key(const sec_attr &sec)
{
    KeyState k;
    k.userperm = sec.userperm & 0xff;
    k.groupperm = sec.groupperm & 0xff;
    k.otherperm = sec.otherperm & 0xff;
    k.owner = sec.username;
    k.group = sec.groupname;
    return k;
}

// Creates every missing key of parent + "." + rel; the full name.
std::string create_path(Tree &tree, const std::string &parent, const std::string &rel, const sec_attr &sec)
{
    std::string name = parent;
    size_t from = 0;
    for (;;) {
        size_t dot = rel.find('.', from);
        name += "." + rel.substr(from, dot == std::string::npos ? std::string::npos : dot - from);
        if (tree.count(name) == 0) tree[name] = fresh_key(sec);
        if (dot == std::string::npos) return name;
        from = dot + 1;
    }
}

void move_subtree(Tree &tree, const Op &op)
{
    std::string dest = op.target + "." + op.name;
    if (op.replace) erase_subtree(tree, dest);
    for (const std::string &k : subtree(tree, op.key)) {
        KeyState s = tree[k];
        tree.erase(k);
        tree[dest + k.substr(op.key.size())] = s;
    }
}

// Makes the scripts: a model of the tree it walks forward op by op, so
// every operation it writes is one the store accepts.
class Generator {
  public:
    Generator(uint32_t seed, uint32_t count, const Tree &start) : rng_(seed), tree_(start), count_(count)
    {
        const KeyState &system = start.at("SYSTEM");
        owner_ = system.owner;
        group_ = system.group;
    }

    Op next(uint32_t index)
    {
        Op op = index == 0                ? first()
                : index == 1              ? fill_wide()
                : index == count_ * 2 / 3 ? prune_wide()
                : index == count_ / 3 || index == count_ / 2 ? reuse_batch()
                                          : pick_op(tree_, false);
        apply_op(tree_, op);
        return op;
    }

  private:
    // The wide parent, and a key two levels down made with its value, in
    // one batch.
    Op first()
    {
        Op batch;
        batch.kind = OpKind::batch;
        Op wide;
        wide.kind = OpKind::create;
        wide.key = "SYSTEM";
        wide.name = last_component(kWide);
        wide.sec = security();
        batch.batch.push_back(wide);
        Op deep;
        deep.kind = OpKind::create_set;
        deep.key = "DATABASE";
        deep.name = fresh(false) + "." + fresh(false);
        deep.sec = security();
        deep.type = PROP_TYPE_TEXT;
        deep.value = value(600);
        batch.batch.push_back(deep);
        return batch;
    }

    // Long-named children of the wide parent, enough to nearly fill its
    // own entry area, some with values.
    Op fill_wide()
    {
        Op batch;
        batch.kind = OpKind::batch;
        for (int i = 0; i < 14; i++) {
            Op c;
            c.kind = i % 3 == 0 ? OpKind::create_set : OpKind::create;
            c.key = kWide;
            c.name = fresh(true);
            c.sec = security();
            if (c.kind == OpKind::create_set) {
                c.type = PROP_TYPE_BYTES;
                c.value = value(value_size(kBatchValueMax));
            }
            batch.batch.push_back(c);
        }
        return batch;
    }

    // Deletes all but six of the wide parent's long-named children, so its
    // KCE pages empty and are freed, and a little more.
    Op prune_wide()
    {
        Op batch;
        batch.kind = OpKind::batch;
        Tree scratch = tree_;
        batch_start_.clear();
        for (const auto &[name, state] : tree_) batch_start_.insert(name);
        frozen_.clear();
        uint32_t kept = 0;
        for (const std::string &k : subtree(tree_, kWide)) {
            if (depth_of(k) != depth_of(kWide) + 1 || !long_named(k) || kept++ < 6) continue;
            Op d;
            d.kind = has_children(tree_, k) ? OpKind::delete_tree : OpKind::delete_key;
            d.key = k;
            apply_op(scratch, d);
            frozen_.insert(k);
            batch.batch.push_back(d);
        }
        Op extra;
        if (pick_kind(scratch, OpKind::set_value, true, &extra)) batch.batch.push_back(extra);
        return batch;
    }

    uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
    bool chance(uint32_t percent) { return below(100) < percent; }

    template <class T> const T &one_of(const std::vector<T> &v) { return v[below(static_cast<uint32_t>(v.size()))]; }

    std::string fresh(bool long_name)
    {
        std::string n = "k" + std::to_string(serial_++);
        if (long_name) n = std::string(kLongName - n.size(), 'w') + n;
        return n;
    }

    std::string value(uint32_t size)
    {
        std::string v(size, '\0');
        for (char &c : v) c = static_cast<char>(below(256));
        return v;
    }

    // Inline, one value page, several, and now and then the most a set
    // takes (20 pages).
    uint32_t value_size(uint32_t max)
    {
        uint32_t pick = below(100), size;
        if (pick < 25) {
            size = 1 + below(16);
        } else if (pick < 50) {
            size = 17 + below(240);
        } else if (pick < 72) {
            size = 257 + below(4064);
        } else if (pick < 96) {
            size = 4321 + below(20320);
        } else {
            size = 256 + 20 * 4064;
        }
        return std::min(size, max);
    }

    sec_attr security()
    {
        static const uint32_t group_levels[] = {PROP_PERM_NONE, PROP_PERM_QUERY_KEY, PROP_PERM_READ, PROP_PERM_WRITE,
                                                PROP_PERM_ALL_ACCESS};
        static const uint32_t other_levels[] = {PROP_PERM_NONE, PROP_PERM_QUERY_KEY, PROP_PERM_READ};
        const std::string groups[] = {group_, "crashgrp", "daemon"};
        sec_attr s{};
        s.userperm = PROP_PERM_ALL_ACCESS;  // the workload's own user keeps every right
        s.groupperm = group_levels[below(5)];
        s.otherperm = other_levels[below(3)];
        std::snprintf(s.username, sizeof s.username, "%s", owner_.c_str());
        std::snprintf(s.groupname, sizeof s.groupname, "%s", groups[below(3)].c_str());
        return s;
    }

    // Keys with handles: in a batch only those that existed before it and
    // that nothing earlier in the batch moved, deleted or made.
    std::vector<std::string> candidates(const Tree &tree, bool in_batch) const
    {
        std::vector<std::string> out;
        for (const auto &[name, state] : tree)
            if (!in_batch || (batch_start_.count(name) != 0 && !frozen(name))) out.push_back(name);
        return out;
    }

    bool frozen(const std::string &name) const
    {
        for (const std::string &f : frozen_)
            if (within(name, f)) return true;
        return false;
    }

    static bool long_named(const std::string &name) { return last_component(name).size() > 64; }
    static bool pinned(const std::string &name) { return is_top(name) || name == kWide; }

    std::vector<std::string> parents(const Tree &tree, bool in_batch) const
    {
        return keep_if(candidates(tree, in_batch),
                       [](const std::string &k) { return !long_named(k) && depth_of(k) < kMaxDepth - 2 && k != "HWK"; });
    }

    std::vector<std::string> changeable(const Tree &tree, bool in_batch) const
    {
        return keep_if(candidates(tree, in_batch), [](const std::string &k) { return !pinned(k); });
    }

    // The parents key may move below: not inside itself, and not so deep
    // that its subtree passes the depth limit.
    static std::vector<std::string> targets_for(const Tree &tree, const std::vector<std::string> &ps,
                                                const std::string &key)
    {
        return keep_if(ps, [&](const std::string &p) {
            return !within(p, key) && depth_of(p) + 1 + height(tree, key) <= kMaxDepth;
        });
    }

    bool pick_create(const Tree &tree, bool in_batch, Op *op)
    {
        std::vector<std::string> ps = parents(tree, in_batch);
        bool wide = !in_batch && tree.count(kWide) != 0 && chance(35);
        op->key = wide ? std::string(kWide) : one_of(ps);
        if (wide) {
            op->name = fresh(true);
        } else {
            // One to three components, the first of them sometimes an
            // existing child, so only the rest is made.
            uint32_t parts = 1 + below(3);
            std::vector<std::string> kids = keep_if(subtree(tree, op->key), [&](const std::string &k) {
                return depth_of(k) == depth_of(op->key) + 1 && !long_named(k) && (!in_batch || !frozen(k));
            });
            if (parts > 1 && !kids.empty() && chance(40))
                op->name = last_component(one_of(kids));
            else
                op->name = fresh(false);
            for (uint32_t i = 1; i < parts; i++) op->name += "." + fresh(false);
            if (depth_of(op->key) + parts > kMaxDepth) return false;
        }
        op->sec = security();
        if (op->kind == OpKind::create_set) {
            op->type = 1 + below(5);
            op->value = value(value_size(in_batch ? kBatchValueMax : UINT32_MAX));
        }
        if (in_batch) frozen_.insert(op->key + "." + op->name.substr(0, op->name.find('.')));
        return true;
    }

    bool pick_move(const Tree &tree, bool in_batch, Op *op)
    {
        std::vector<std::string> srcs = keep_if(changeable(tree, in_batch), [](const std::string &k) { return !long_named(k); });
        if (srcs.empty()) return false;
        op->key = one_of(srcs);
        std::vector<std::string> targets = targets_for(tree, parents(tree, in_batch), op->key);
        if (targets.empty()) return false;
        op->target = one_of(targets);
        // Now and then onto an existing key, which goes with its subtree.
        std::vector<std::string> victims = keep_if(subtree(tree, op->target), [&](const std::string &k) {
            return depth_of(k) == depth_of(op->target) + 1 && !pinned(k) && !within(op->key, k) &&
                   (!in_batch || (batch_start_.count(k) != 0 && !frozen(k)));
        });
        op->replace = !victims.empty() && chance(30);
        op->name = op->replace ? last_component(one_of(victims)) : fresh(false);
        if (in_batch) {
            frozen_.insert(op->key);
            frozen_.insert(op->target + "." + op->name);
        }
        return true;
    }

    // One operation on tree (the model, or a batch's scratch copy).
    bool pick_kind(const Tree &tree, OpKind kind, bool in_batch, Op *op)
    {
        op->kind = kind;
        std::vector<std::string> keys = changeable(tree, in_batch);
        switch (kind) {
        case OpKind::create:
        case OpKind::create_set:
            return pick_create(tree, in_batch, op);
        case OpKind::set_value:
            if (keys.empty()) return false;
            op->key = one_of(keys);
            op->type = 1 + below(5);
            op->value = value(value_size(in_batch ? kBatchValueMax : UINT32_MAX));
            return true;
        case OpKind::delete_value: {
            std::vector<std::string> valued = keep_if(keys, [&](const std::string &k) { return !tree.at(k).value.empty(); });
            if (valued.empty()) return false;
            op->key = one_of(valued);
            return true;
        }
        case OpKind::delete_key:
        case OpKind::delete_tree: {
            std::vector<std::string> victims =
                keep_if(keys, [&](const std::string &k) { return kind == OpKind::delete_tree || !has_children(tree, k); });
            if (victims.empty()) return false;
            op->key = one_of(victims);
            if (in_batch) frozen_.insert(op->key);
            return true;
        }
        case OpKind::move:
            return pick_move(tree, in_batch, op);
        case OpKind::set_security:
            if (keys.empty()) return false;
            op->key = one_of(keys);
            op->sec = security();
            return true;
        case OpKind::batch:
            return pick_batch(tree, op);
        }
        return false;
    }

    std::string parent_of(const std::string &name) const { return name.substr(0, name.rfind('.')); }

    Op make(OpKind kind, const std::string &key, const std::string &name = "")
    {
        Op op;
        op.kind = kind;
        op.key = key;
        op.name = name;
        if (kind == OpKind::create || kind == OpKind::create_set) op.sec = security();
        if (kind == OpKind::create_set) {
            op.type = 1 + below(5);
            op.value = value(value_size(kBatchValueMax));
        }
        return op;
    }

    // A name the batch takes again after freeing it: deleted then made
    // again (with a value, or with a key below it), moved away then made
    // again, or given a child, deleted and made again.  The operations
    // after the first must not find what the first one freed.
    bool pick_reuse(const Tree &tree, std::vector<Op> *ops)
    {
        std::vector<std::string> ps = parents(tree, true);
        std::vector<std::string> keys = keep_if(changeable(tree, true), [&](const std::string &k) {
            return !long_named(k) && std::find(ps.begin(), ps.end(), parent_of(k)) != ps.end() &&
                   depth_of(k) + 1 <= kMaxDepth;
        });
        if (keys.empty()) return false;
        const std::string k = one_of(keys);
        const std::string parent = parent_of(k);
        const std::string again = last_component(k);
        OpKind remove = has_children(tree, k) ? OpKind::delete_tree : OpKind::delete_key;
        // The four ways in turn, so that a short script holds each.
        switch (reuses_++ % 4) {
        case 0:
            ops->push_back(make(remove, k));
            ops->push_back(make(OpKind::create_set, parent, again));
            break;
        case 1: {
            std::vector<std::string> targets = targets_for(tree, ps, k);
            if (targets.empty()) return false;
            Op mv = make(OpKind::move, k, fresh(false));
            mv.target = one_of(targets);
            frozen_.insert(mv.target + "." + mv.name);
            ops->push_back(mv);
            ops->push_back(make(chance(50) ? OpKind::create : OpKind::create_set, parent, again));
            break;
        }
        case 2:
            ops->push_back(make(OpKind::delete_tree, k));
            ops->push_back(make(OpKind::create_set, parent, again + "." + fresh(false)));
            break;
        default: {
            std::string child = fresh(false);
            ops->push_back(make(OpKind::create, k, child));
            ops->push_back(make(OpKind::delete_tree, k));
            ops->push_back(make(OpKind::create_set, parent, again + "." + child));
            break;
        }
        }
        frozen_.insert(k);
        return true;
    }

    // At least two batches of every script take a name again.
    Op reuse_batch()
    {
        Op batch;
        batch.kind = OpKind::batch;
        return pick_batch(tree_, &batch, true) ? batch : pick_op(tree_, false);
    }

    bool pick_batch(const Tree &tree, Op *op, bool reuse = false)
    {
        Tree scratch = tree;
        batch_start_.clear();
        for (const auto &[name, state] : tree) batch_start_.insert(name);
        frozen_.clear();
        uint32_t n = 2 + below(4);
        std::vector<Op> taken_again;
        if ((reuse || chance(40)) && pick_reuse(scratch, &taken_again)) {
            for (const Op &sub : taken_again) {
                apply_op(scratch, sub);
                op->batch.push_back(sub);
            }
        }
        for (uint32_t tries = 0; op->batch.size() < n && tries < 40; tries++) {
            Op sub = pick_op(scratch, true);
            if (sub.kind == OpKind::batch) continue;
            apply_op(scratch, sub);
            op->batch.push_back(sub);
        }
        return op->batch.size() >= 2;
    }

    Op pick_op(const Tree &tree, bool in_batch)
    {
        // Weights per kind; a large tree leans to deletes.
        static const struct {
            OpKind kind;
            uint32_t weight;
        } table[] = {{OpKind::create, 18},      {OpKind::create_set, 8},   {OpKind::set_value, 16},
                     {OpKind::delete_value, 5}, {OpKind::delete_key, 8},   {OpKind::delete_tree, 8},
                     {OpKind::move, 10},        {OpKind::set_security, 7}, {OpKind::batch, 10}};
        uint32_t total = 0;
        for (const auto &t : table) total += t.weight;
        for (;;) {
            Op op;
            OpKind kind;
            if (tree.size() > kMaxKeys && chance(60)) {
                kind = OpKind::delete_tree;
            } else {
                uint32_t at = below(total);
                kind = table[0].kind;
                for (const auto &t : table) {
                    if (at < t.weight) {
                        kind = t.kind;
                        break;
                    }
                    at -= t.weight;
                }
            }
            if (in_batch && kind == OpKind::batch) continue;
            if (pick_kind(tree, kind, in_batch, &op)) return op;
        }
    }

    std::mt19937 rng_;
    Tree tree_;
    uint32_t count_;
    std::string owner_, group_;
    uint32_t serial_ = 0;
    std::set<std::string> batch_start_;
    std::set<std::string> frozen_;
    uint32_t reuses_ = 0;
};

// Open handles of one operation, closed when it ends.
class Handles {
  public:
    explicit Handles(backend_ctx *ctx) : ctx_(ctx) {}
    ~Handles()
    {
        for (propr_keyhandle *kh : open_) prop_close(ctx_, kh);
    }
    Handles(const Handles &) = delete;
    Handles &operator=(const Handles &) = delete;

    // 0 with *kh, or the open's code.
    uint32_t get(const std::string &name, propr_keyhandle **kh)
    {
        auto it = by_name_.find(name);
        if (it != by_name_.end()) {
            *kh = it->second;
            return 0;
        }
        uint32_t rc = prop_open(ctx_, name.c_str(), kh, 0);
        if (rc != 0) return rc;
        keep(*kh);
        by_name_[name] = *kh;
        return 0;
    }
    void keep(propr_keyhandle *kh)
    {
        if (kh != nullptr) open_.push_back(kh);
    }

  private:
    backend_ctx *ctx_;
    std::vector<propr_keyhandle *> open_;
    std::map<std::string, propr_keyhandle *> by_name_;
};

const uint8_t *bytes(const std::string &s)
{
    return reinterpret_cast<const uint8_t *>(s.data());
}

uint32_t size_of(const std::string &s)
{
    return static_cast<uint32_t>(s.size());
}

uint32_t run_single(backend_ctx *ctx, Handles &h, const Op &op)
{
    propr_keyhandle *key = nullptr, *target = nullptr, *victim = nullptr, *made = nullptr;
    uint32_t disp = 0;
    uint32_t rc = h.get(op.key, &key);
    if (rc != 0) return rc;
    switch (op.kind) {
    case OpKind::create:
        rc = prop_create_key(ctx, key, op.name.c_str(), &op.sec, &made, &disp, 0);
        break;
    case OpKind::create_set:
        rc = prop_create_n_set_key(ctx, key, op.name.c_str(), &op.sec, &made, &disp, op.type, bytes(op.value),
                                   size_of(op.value), 0);
        break;
    case OpKind::set_value:
        return prop_set_value(ctx, key, op.type, bytes(op.value), size_of(op.value), 0);
    case OpKind::delete_value:
        return prop_delete_value(ctx, key, 0);
    case OpKind::delete_key:
    case OpKind::delete_tree:
        return prop_delete_key(ctx, key, op.kind == OpKind::delete_tree ? 1 : 0, 0);
    case OpKind::set_security:
        return prop_set_security(ctx, key, &op.sec, 0);
    case OpKind::move:
        rc = h.get(op.target, &target);
        if (rc == 0 && op.replace) rc = h.get(op.target + "." + op.name, &victim);
        if (rc == 0) rc = prop_move_key(ctx, key, target, op.name.c_str(), victim, &made, 0);
        break;
    case OpKind::batch:
        return PROP_E_ARG;
    }
    h.keep(made);
    return rc;
}

uint32_t add_to_batch(Handles &h, BatchBuilder &b, const Op &op)
{
    // The record of each kind, in the order of OpKind.
    static const uint32_t code[] = {PROP_BATCH_CREATE_KEY,   PROP_BATCH_CREATE_SET,  PROP_BATCH_SET_VALUE,
                                    PROP_BATCH_DELETE_VALUE, PROP_BATCH_DELETE_KEY,  PROP_BATCH_DELETE_TREE,
                                    PROP_BATCH_MOVE_KEY,     PROP_BATCH_SET_SECURITY};
    if (op.kind == OpKind::batch) return PROP_E_ARG;
    propr_keyhandle *key = nullptr, *target = nullptr, *victim = nullptr;
    uint32_t rc = h.get(op.key, &key);
    if (rc == 0 && op.kind == OpKind::move) rc = h.get(op.target, &target);
    if (rc == 0 && op.replace) rc = h.get(op.target + "." + op.name, &victim);
    if (rc != 0) return rc;
    prop_batch_op &rec = b.add(code[static_cast<int>(op.kind)], key, op.name.c_str());
    rec.sec = op.sec;
    rec.key2 = target;
    rec.key3 = victim;
    std::memcpy(rec.value, op.value.data(), std::min(op.value.size(), sizeof rec.value));
    rec.value_size = size_of(op.value);
    rec.dtype = op.type;
    return 0;
}

uint32_t run_batch(backend_ctx *ctx, Handles &h, const Op &op)
{
    BatchBuilder b;
    for (const Op &sub : op.batch)
        if (uint32_t rc = add_to_batch(h, b, sub); rc != 0) return rc;
    uint32_t rc = prop_batch_execute(ctx, b.get(), 0);
    for (propr_keyhandle *kh : b.take_handles()) h.keep(kh);
    return rc;
}

uint32_t read_key(backend_ctx *ctx, propr_keyhandle *kh, KeyState *k)
{
    uint32_t size = 0;
    uint32_t rc = prop_get_value(ctx, kh, &k->type, nullptr, &size, 0);
    if (rc == PROP_E_BUFSZ) {
        k->value.assign(size, '\0');
        rc = prop_get_value(ctx, kh, &k->type, k->value.data(), &size, 0);
    }
    if (rc != 0) return rc;
    sec_attr sec{};
    rc = prop_get_security(ctx, kh, &sec);
    if (rc != 0) return rc;
    k->userperm = sec.userperm;
    k->groupperm = sec.groupperm;
    k->otherperm = sec.otherperm;
    k->owner = sec.username;
    k->group = sec.groupname;
    return 0;
}

uint32_t list_children(backend_ctx *ctx, propr_keyhandle *kh, std::vector<std::string> *names)
{
    char *buf = nullptr;
    uint32_t len = 0, count = 0;
    uint32_t rc = prop_enum_subkey(ctx, kh, &buf, &len, &count, 0);
    if (buf != nullptr) {
        for (const char *p = buf; *p != '\0'; p += std::strlen(p) + 1) names->emplace_back(p);
        prop_fe_free_block(ctx->metactx, buf);
    }
    return rc;
}

std::string show(const KeyState &k)
{
    char head[160];
    std::snprintf(head, sizeof head, "type %u, %zu bytes (%08x), %s:%s %u/%u/%u", k.type, k.value.size(),
                  static_cast<unsigned>(std::hash<std::string>{}(k.value) & 0xffffffffu), k.owner.c_str(),
                  k.group.c_str(), k.userperm, k.groupperm, k.otherperm);
    return head;
}

const char *kind_name(OpKind kind)
{
    static const char *const names[] = {"create", "create-and-set", "set value",    "delete value", "delete key",
                                        "delete tree", "move",      "set security", "batch"};
    return names[static_cast<int>(kind)];
}

std::string shorten(const std::string &name)
{
    return name.size() <= 48 ? name : name.substr(0, 20) + "..." + name.substr(name.size() - 20);
}

}  // namespace

Workload make_workload(uint32_t seed, uint32_t count, const Tree &start)
{
    Workload w;
    Generator gen(seed, count, start);
    w.trees.push_back(start);
    for (uint32_t i = 0; i < count; i++) {
        w.ops.push_back(gen.next(i));
        Tree t = w.trees.back();
        apply_op(t, w.ops.back());
        w.trees.push_back(std::move(t));
    }
    return w;
}

void apply_op(Tree &tree, const Op &op)
{
    switch (op.kind) {
    case OpKind::create:
        create_path(tree, op.key, op.name, op.sec);
        break;
    case OpKind::create_set: {
        KeyState &k = tree[create_path(tree, op.key, op.name, op.sec)];
        k.value = op.value;
        k.type = op.type;
        break;
    }
    case OpKind::set_value:
        tree[op.key].value = op.value;
        tree[op.key].type = op.type;
        break;
    case OpKind::delete_value:
        tree[op.key].value.clear();
        tree[op.key].type = 0;
        break;
    case OpKind::delete_key:
    case OpKind::delete_tree:
        erase_subtree(tree, op.key);
        break;
    case OpKind::move:
        move_subtree(tree, op);
        break;
    case OpKind::set_security: {
        KeyState &k = tree[op.key];
        KeyState s = fresh_key(op.sec);
        s.value = k.value;
        s.type = k.type;
        k = s;
        break;
    }
    case OpKind::batch:
        for (const Op &sub : op.batch) apply_op(tree, sub);
        break;
    }
}

uint32_t run_op(backend_ctx *ctx, const Op &op)
{
    Handles h(ctx);
    return op.kind == OpKind::batch ? run_batch(ctx, h, op) : run_single(ctx, h, op);
}

uint32_t read_tree(backend_ctx *ctx, Tree *tree, std::string *where)
{
    tree->clear();
    std::vector<std::string> todo(std::begin(kTopKeys), std::end(kTopKeys));
    while (!todo.empty()) {
        std::string name = todo.back();
        todo.pop_back();
        propr_keyhandle *kh = nullptr;
        uint32_t rc = prop_open(ctx, name.c_str(), &kh, 0);
        std::vector<std::string> kids;
        KeyState k;
        if (rc == 0) rc = read_key(ctx, kh, &k);
        if (rc == 0) rc = list_children(ctx, kh, &kids);
        if (kh != nullptr) prop_close(ctx, kh);
        if (rc != 0) {
            if (where != nullptr) *where = name;
            return rc;
        }
        (*tree)[name] = k;
        for (const std::string &c : kids) todo.push_back(name + "." + c);
    }
    return 0;
}

std::string describe(const Op &op)
{
    std::string s = kind_name(op.kind);
    if (op.kind == OpKind::batch) {
        s += " of";
        for (const Op &sub : op.batch) s += " [" + describe(sub) + "]";
        return s;
    }
    s += " " + shorten(op.key);
    if (!op.name.empty()) s += (op.kind == OpKind::move ? " -> " + op.target + "." : " + ") + shorten(op.name);
    if (op.replace) s += " (replacing)";
    if (!op.value.empty()) s += ", " + std::to_string(op.value.size()) + " bytes";
    return s;
}

std::string tree_diff(const Tree &want, const Tree &got, size_t limit)
{
    std::string out;
    size_t n = 0;
    auto line = [&](const std::string &name, const std::string &text) {
        if (n++ < limit) out += "  " + shorten(name) + ": " + text + "\n";
    };
    for (const auto &[name, k] : want) {
        auto it = got.find(name);
        if (it == got.end())
            line(name, "missing (want " + show(k) + ")");
        else if (!(it->second == k))
            line(name, "want " + show(k) + ", got " + show(it->second));
    }
    for (const auto &[name, k] : got)
        if (want.count(name) == 0) line(name, "unexpected (" + show(k) + ")");
    if (n > limit) out += "  ... " + std::to_string(n - limit) + " more\n";
    return out;
}

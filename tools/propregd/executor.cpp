#include "executor.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "../propctl/oplog.h"
#include "../propctl/records.h"
#include "log.h"
#include "propreg/frontend.h"

namespace propregd {

using wire::Op;

namespace {

// Open keys are bounded per connection and in all, so that clients
// cannot take the daemon's memory (a batch makes at most 4096).
constexpr size_t kMaxKeysPerConnection = 16384;
constexpr size_t kMaxOpenKeys = 262144;
// A group waits for late writers no longer than this, however slow the
// last commit was.
constexpr double kMaxGatherUs = 2000;

double now_us()
{
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool is_write(Op op)
{
    switch (op) {
    case Op::set_value:
    case Op::delete_value:
    case Op::create:
    case Op::create_set:
    case Op::delete_key:
    case Op::move:
    case Op::set_security:
    case Op::batch:
        return true;
    default:
        return false;
    }
}

bool under(const std::string &name, const std::string &top)
{
    return name.size() >= top.size() && name.compare(0, top.size(), top) == 0 &&
           (name.size() == top.size() || name[top.size()] == '.');
}

const char *text_of(uint32_t code)
{
    return prop_fe_msgtext(nullptr, code);
}

void refuse(wire::Answer *a, uint32_t code, const std::string &text)
{
    a->code = code;
    a->text = text;
}

// The records of one batch, laid out as the export walks them.
struct Records {
    prop_batch batch{};
    std::vector<prop_batch_op> ops;
    std::vector<prop_batch_result> results;

    explicit Records(size_t n) : ops(n), results(n)
    {
        batch.count = static_cast<uint32_t>(n);
        link(&batch.ops, ops);
        link(&batch.results, results);
    }
    template <class T> static void link(prop_list_node *head, std::vector<T> &v)
    {
        prop_list_node *prev = head;
        for (T &x : v) {
            prev->next = &x.link;
            x.link.prev = prev;
            prev = &x.link;
        }
        prev->next = head;
        head->prev = prev;
    }
};

}  // namespace

// One change of a request: a single write has one, a batch has its list.
struct Item {
    wire::BatchItem op;
    Executor::Key key[3];
    sec_attr sec{};
    uint32_t result = 0;
    propr_keyhandle *made = nullptr;  // a created or moved key
    std::string made_name;
    uint32_t made_id = 0;
    uint32_t disposition = 0;
};

struct Executor::Write {
    Job *job = nullptr;
    Session *session = nullptr;
    wire::Answer answer;
    std::vector<Item> items;
    bool refused = false;
    bool groupable = false;
};

std::string normal_name(const std::string &name)
{
    std::string out;
    size_t i = 0;
    while (i <= name.size()) {
        size_t dot = name.find('.', i);
        if (dot == std::string::npos) dot = name.size();
        if (dot > i) {
            if (!out.empty()) out += '.';
            out.append(name, i, dot - i);
        }
        i = dot + 1;
    }
    return out;
}

std::string child_name(const std::string &parent, const std::string &subkey)
{
    const std::string sub = normal_name(subkey);
    return under(sub, parent) && sub != parent ? sub : normal_name(parent + "." + sub);
}

bool concerns(const wire::Event &e, const std::string &watched)
{
    if (e.kind == wire::EventKind::resync && e.key.empty()) return true;
    if (under(e.key, watched)) return true;
    // Deleting or moving a key takes everything below it along.
    if ((e.kind == wire::EventKind::deleted || e.kind == wire::EventKind::moved) && under(watched, e.key)) return true;
    return e.kind == wire::EventKind::moved && under(e.target, watched);
}

Outbox::Outbox() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Outbox::~Outbox()
{
    ::close(fd_);
}

void Outbox::post(std::vector<Outcome> &&outcomes)
{
    if (outcomes.empty()) return;
    {
        std::lock_guard<std::mutex> hold(mu_);
        for (Outcome &o : outcomes) items_.push_back(std::move(o));
    }
    uint64_t one = 1;
    ssize_t rc = ::write(fd_, &one, sizeof one);
    (void)rc;
}

std::vector<Outcome> Outbox::take()
{
    uint64_t n = 0;
    ssize_t rc = ::read(fd_, &n, sizeof n);
    (void)rc;
    std::lock_guard<std::mutex> hold(mu_);
    return std::move(items_);
}

Executor::Executor(Store &store, Outbox &outbox, const ExecOptions &options)
    : store_(store), ctx_(store.ctx()), outbox_(outbox), options_(options)
{
}

Executor::~Executor()
{
    while (!sessions_.empty()) drop(sessions_.begin()->first);
}

void Executor::submit(Job &&job)
{
    {
        std::lock_guard<std::mutex> hold(mu_);
        queue_.push_back(std::move(job));
    }
    cv_.notify_one();
}

void Executor::stop()
{
    {
        std::lock_guard<std::mutex> hold(mu_);
        stopping_ = true;
    }
    cv_.notify_one();
}

void Executor::run()
{
    for (;;) {
        std::vector<Job> jobs;
        {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) break;
            jobs.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
            queue_.clear();
        }
        gather(jobs);
        cycle(jobs);
    }
    while (!sessions_.empty()) drop(sessions_.begin()->first);
    log_line("%llu writes committed in %llu transactions", static_cast<unsigned long long>(writes_),
             static_cast<unsigned long long>(commits_));
}

// Writers that were answered together come back together: when fewer
// writes are here than the last group held, the rest are waited for, for
// at most half the time the last commit took.
void Executor::gather(std::vector<Job> &jobs)
{
    if (!options_.group_commit || last_group_ < 2) return;
    auto writes = static_cast<size_t>(
        std::count_if(jobs.begin(), jobs.end(), [](const Job &j) { return j.kind == Job::Kind::request && is_write(j.req.op); }));
    if (writes == 0) return;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::microseconds(static_cast<int64_t>(std::min(last_commit_us_ / 2, kMaxGatherUs)));
    std::unique_lock<std::mutex> lock(mu_);
    while (writes < last_group_ && !stopping_) {
        if (queue_.empty()) {
            if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && queue_.empty()) break;
            continue;
        }
        for (Job &j : queue_) {
            writes += j.kind == Job::Kind::request && is_write(j.req.op) ? 1 : 0;
            jobs.push_back(std::move(j));
        }
        queue_.clear();
    }
}

void Executor::cycle(std::vector<Job> &jobs)
{
    std::vector<Outcome> answers;
    std::vector<Write> writes;
    writes.reserve(jobs.size());
    std::vector<uint64_t> gone;
    std::vector<const Job *> records;  // run after the writes, on the store they leave
    for (Job &j : jobs) {
        if (j.kind == Job::Kind::gone) {
            gone.push_back(j.conn);
            continue;
        }
        Session &s = sessions_[j.conn];
        if (j.req.op == Op::export_records || j.req.op == Op::import_records) {
            records.push_back(&j);
            continue;
        }
        if (!is_write(j.req.op)) {
            answers.push_back(read(j, s));
            continue;
        }
        Write &w = writes.emplace_back();
        w.job = &j;
        w.session = &s;
        w.answer.op = j.req.op;
        w.refused = !prepare(w);
    }
    // Reads wait for nothing: they are answered before the writes run.
    outbox_.post(std::move(answers));
    answers.clear();

    const double start = now_us();
    std::vector<Write *> group;
    size_t ran = 0;
    for (Write &w : writes) {
        if (w.refused) continue;
        ran++;
        if (w.groupable && options_.group_commit)
            group.push_back(&w);
        else if (w.job->req.op == Op::batch)
            run_batch(w);
        else
            run_alone(w);
    }
    if (group.size() == 1)
        run_alone(*group[0]);
    else if (group.size() > 1)
        run_group(group);
    if (ran > 0) {
        last_group_ = ran;
        last_commit_us_ = now_us() - start;
    }
    for (Write &w : writes) finish(w, &answers);
    for (const Job *j : records) answers.push_back(read(*j, sessions_[j->conn]));
    outbox_.post(std::move(answers));
    for (uint64_t conn : gone) drop(conn);
}

Outcome Executor::answer(uint64_t conn, wire::Answer &&a)
{
    if (a.code != 0 && a.text.empty()) a.text = text_of(a.code);
    Outcome o;
    o.conn = conn;
    o.frame = wire::encode(a);
    return o;
}

Executor::Key *Executor::find(Session &s, uint32_t id, wire::Answer *a)
{
    auto it = s.keys.find(id);
    if (it != s.keys.end()) return &it->second;
    refuse(a, PROP_E_KEYH, "no key " + std::to_string(id) + " is open on this connection");
    return nullptr;
}

uint32_t Executor::keep(Session &s, propr_keyhandle *h, const std::string &name)
{
    if (s.keys.size() >= kMaxKeysPerConnection || open_keys_ >= kMaxOpenKeys) {
        prop_close(ctx_, h);
        return 0;
    }
    while (s.next == 0 || s.keys.count(s.next) != 0) s.next++;
    const uint32_t id = s.next++;
    s.keys[id] = Key{h, name};
    open_keys_++;
    return id;
}

void Executor::drop(uint64_t conn)
{
    auto it = sessions_.find(conn);
    if (it == sessions_.end()) return;
    for (auto &[id, key] : it->second.keys) prop_close(ctx_, key.handle);
    open_keys_ -= it->second.keys.size();
    sessions_.erase(it);
}

// The key's own levels are checked first: that also tells a key deleted
// meanwhile (4) before the walk below it would read it.
uint32_t Executor::check(const Caller &c, const Key &k, uint32_t level, bool subtree, Op op, wire::Answer *a)
{
    if (c.privileged) return 0;
    sec_attr sec{};
    uint32_t rc = prop_get_security(ctx_, k.handle, &sec);
    if (rc == 0 && !permits(c, sec, level)) rc = PROP_E_PERM;
    if (rc == 0 && subtree) rc = prop_check_perm_recurse(ctx_, c.secctx, k.handle, level);
    if (rc == PROP_E_PERM) {
        const std::string what = std::string(wire::op_name(op)) + " " + k.name + " needs " + level_name(level) +
                                 (subtree ? " on it and on every key below it" : "");
        log_line("denied: %s: %s", c.describe().c_str(), what.c_str());
        refuse(a, rc, std::string("permission denied: ") + what);
    } else if (rc != 0) {
        refuse(a, rc, text_of(rc));
    }
    return rc;
}

// A caller who is not privileged gives a key only to itself and to a
// group it is in, as chown would let it.
uint32_t Executor::check_owner(const Caller &c, const wire::Security &s, wire::Answer *a)
{
    if (c.privileged || !s.given) return 0;
    if (c.user != s.sec.username) {
        log_line("denied: %s: owner %s", c.describe().c_str(), s.sec.username);
        refuse(a, PROP_E_PERM, "permission denied: only root makes another user a key's owner");
        return PROP_E_PERM;
    }
    if (!c.in_group(s.sec.groupname)) {
        log_line("denied: %s: group %s", c.describe().c_str(), s.sec.groupname);
        refuse(a, PROP_E_PERM, "permission denied: the caller is not in group " + std::string(s.sec.groupname));
        return PROP_E_PERM;
    }
    return 0;
}

namespace {

// The security a new key gets when the request names none.
sec_attr default_security(const Caller &c)
{
    sec_attr sec{};
    sec.userperm = PROP_PERM_ALL_ACCESS;
    sec.groupperm = PROP_PERM_READ;
    sec.otherperm = PROP_PERM_READ;
    std::snprintf(sec.username, sizeof sec.username, "%s", c.user.c_str());
    std::snprintf(sec.groupname, sizeof sec.groupname, "%s", c.group.c_str());
    return sec;
}

// A single write as the batch operation it is.
wire::BatchItem item_of(const wire::Request &r)
{
    wire::BatchItem b;
    b.key = r.key;
    b.key2 = r.key2;
    b.key3 = r.key3;
    b.name = r.name;
    b.sec = r.sec;
    b.dtype = r.dtype;
    b.value = r.value;
    switch (r.op) {
    case Op::set_value: b.opcode = PROP_BATCH_SET_VALUE; break;
    case Op::delete_value: b.opcode = PROP_BATCH_DELETE_VALUE; break;
    case Op::create: b.opcode = PROP_BATCH_CREATE_KEY; break;
    case Op::create_set:
        b.opcode = (r.flag & PRZKV_FLAGS_NO_OVERWRITE) != 0 ? PROP_BATCH_CREATE_SET_NEW : PROP_BATCH_CREATE_SET;
        b.flags = r.flag & ~PRZKV_FLAGS_NO_OVERWRITE;
        break;
    case Op::delete_key: b.opcode = r.flag != 0 ? PROP_BATCH_DELETE_TREE : PROP_BATCH_DELETE_KEY; break;
    case Op::move: b.opcode = PROP_BATCH_MOVE_KEY; break;
    case Op::set_security: b.opcode = PROP_BATCH_SET_SECURITY; break;
    default: break;
    }
    return b;
}

// What each operation asks of which key: (key slot, level, whole subtree).
struct Need {
    int slot;
    uint32_t level;
    bool subtree;
};

std::vector<Need> needs_of(const wire::BatchItem &b)
{
    switch (b.opcode) {
    case PROP_BATCH_SET_VALUE:
    case PROP_BATCH_DELETE_VALUE: return {{0, PROP_PERM_SET_KEY, false}};
    case PROP_BATCH_CREATE_KEY:
    case PROP_BATCH_CREATE_SET:
    case PROP_BATCH_CREATE_SET_NEW: return {{0, PROP_PERM_CREATE_SUB_KEY, false}};
    case PROP_BATCH_DELETE_KEY: return {{0, PROP_PERM_DELETE_KEY, false}};
    case PROP_BATCH_DELETE_TREE: return {{0, PROP_PERM_DELETE_KEY, true}};
    case PROP_BATCH_SET_SECURITY: return {{0, PROP_PERM_ALL_ACCESS, false}};
    case PROP_BATCH_MOVE_KEY:
    case PROP_BATCH_MOVE_KEY_ALT:
        return {{0, PROP_PERM_DELETE_KEY, false}, {1, PROP_PERM_CREATE_SUB_KEY, false}, {2, PROP_PERM_DELETE_KEY, true}};
    default: return {};
    }
}

bool takes_security(uint32_t opcode)
{
    return opcode == PROP_BATCH_CREATE_KEY || opcode == PROP_BATCH_CREATE_SET || opcode == PROP_BATCH_CREATE_SET_NEW ||
           opcode == PROP_BATCH_SET_SECURITY;
}

}  // namespace

bool Executor::prepare(Write &w)
{
    const wire::Request &r = w.job->req;
    const Caller &c = *w.job->caller;
    wire::Answer *a = &w.answer;
    std::vector<wire::BatchItem> ops;
    if (r.op == Op::batch)
        ops = r.batch;
    else
        ops.push_back(item_of(r));
    w.groupable = r.op != Op::batch && ops[0].value.size() <= PROP_BATCH_VALUE_SIZE &&
                  ops[0].name.size() < PROP_BATCH_NAME_SIZE;
    for (wire::BatchItem &b : ops) {
        Item &it = w.items.emplace_back();
        it.op = std::move(b);
        const std::vector<Need> needs = needs_of(it.op);
        if (needs.empty() || it.op.flags != 0) {
            refuse(a, PROP_E_ARG, needs.empty() ? "operation " + std::to_string(it.op.opcode) + " is not one a batch runs"
                                                : "operation flags are not accepted");
            return false;
        }
        const uint32_t ids[3] = {it.op.key, it.op.key2, it.op.key3};
        for (const Need &n : needs) {
            if (n.slot == 2 && ids[2] == 0) continue;  // no key to replace
            Key *k = find(*w.session, ids[n.slot], a);
            if (k == nullptr) return false;
            it.key[n.slot] = *k;
            if (check(c, *k, n.level, n.subtree, r.op, a) != 0) return false;
        }
        if (takes_security(it.op.opcode)) {
            if (it.op.opcode == PROP_BATCH_SET_SECURITY && !it.op.sec.given) {
                refuse(a, PROP_E_NULL, "set-security needs a security record");
                return false;
            }
            if (check_owner(c, it.op.sec, a) != 0) return false;
            it.sec = it.op.sec.given ? it.op.sec.sec : default_security(c);
        }
    }
    return true;
}

namespace {

uint32_t run_item(backend_ctx *ctx, Item &it)
{
    propr_keyhandle *k0 = it.key[0].handle;
    const wire::BatchItem &b = it.op;
    const auto size = static_cast<uint32_t>(b.value.size());
    switch (b.opcode) {
    case PROP_BATCH_DELETE_VALUE: return prop_delete_value(ctx, k0, 0);
    case PROP_BATCH_DELETE_TREE: return prop_delete_key(ctx, k0, 1, 0);
    case PROP_BATCH_DELETE_KEY: return prop_delete_key(ctx, k0, 0, 0);
    case PROP_BATCH_SET_SECURITY: return prop_set_security(ctx, k0, &it.sec, 0);
    case PROP_BATCH_SET_VALUE: return prop_set_value(ctx, k0, b.dtype, b.value.data(), size, 0);
    case PROP_BATCH_CREATE_KEY:
        return prop_create_key(ctx, k0, b.name.c_str(), &it.sec, &it.made, &it.disposition, 0);
    case PROP_BATCH_CREATE_SET:
    case PROP_BATCH_CREATE_SET_NEW:
        return prop_create_n_set_key(ctx, k0, b.name.c_str(), &it.sec, &it.made, &it.disposition, b.dtype,
                                     b.value.data(), size,
                                     b.opcode == PROP_BATCH_CREATE_SET_NEW ? PRZKV_FLAGS_NO_OVERWRITE : 0);
    case PROP_BATCH_MOVE_KEY:
    case PROP_BATCH_MOVE_KEY_ALT:
        return prop_move_key(ctx, k0, it.key[1].handle, b.name.c_str(), it.key[2].handle, &it.made, 0);
    default: return PROP_E_ARG;
    }
}

void fill(prop_batch_op &op, const Item &it)
{
    op.opcode = it.op.opcode;
    op.key = it.key[0].handle;
    op.key2 = it.key[1].handle;
    op.key3 = it.key[2].handle;
    std::snprintf(op.name, sizeof op.name, "%s", it.op.name.c_str());
    op.sec = it.sec;
    std::memcpy(op.value, it.op.value.data(), it.op.value.size());
    op.value_size = static_cast<uint32_t>(it.op.value.size());
    op.dtype = it.op.dtype;
}

// The event a committed change gives, if any.
bool event_of(const Item &it, wire::Event *e)
{
    if (it.result != 0) return false;
    const std::string &key = it.key[0].name;
    switch (it.op.opcode) {
    case PROP_BATCH_DELETE_VALUE: *e = {0, wire::EventKind::value_removed, key, ""}; return true;
    case PROP_BATCH_DELETE_TREE:
    case PROP_BATCH_DELETE_KEY: *e = {0, wire::EventKind::deleted, key, ""}; return true;
    case PROP_BATCH_SET_SECURITY: *e = {0, wire::EventKind::security_changed, key, ""}; return true;
    case PROP_BATCH_SET_VALUE: *e = {0, wire::EventKind::value_set, key, ""}; return true;
    case PROP_BATCH_CREATE_KEY:
        if (it.disposition != PROP_DISP_CREATED) return false;
        *e = {0, wire::EventKind::created, it.made_name, ""};
        return true;
    case PROP_BATCH_CREATE_SET:
    case PROP_BATCH_CREATE_SET_NEW:
        *e = {0, it.disposition == PROP_DISP_CREATED ? wire::EventKind::created : wire::EventKind::value_set,
              it.made_name, ""};
        return true;
    case PROP_BATCH_MOVE_KEY:
    case PROP_BATCH_MOVE_KEY_ALT: *e = {0, wire::EventKind::moved, key, it.made_name}; return true;
    default: return false;
    }
}

std::string made_name_of(const Item &it)
{
    if (it.op.opcode == PROP_BATCH_MOVE_KEY || it.op.opcode == PROP_BATCH_MOVE_KEY_ALT)
        return child_name(it.key[1].name, it.op.name);
    return child_name(it.key[0].name, it.op.name);
}

}  // namespace

// After a commit: the keys it made are the connection's, and its changes
// go to the watchers, numbered in commit order.
void Executor::committed(Write &w, const std::vector<Item *> &items, std::vector<wire::Event> *events)
{
    for (Item *it : items) {
        // A key the connection has no room for is closed: its change stands.
        if (it->made != nullptr) it->made_id = keep(*w.session, it->made, it->made_name);
        wire::Event e;
        if (event_of(*it, &e)) {
            e.seq = next_seq();
            events->push_back(std::move(e));
        }
    }
}

void Executor::post_events(std::vector<wire::Event> &&events)
{
    if (events.empty()) return;
    std::vector<Outcome> v(1);
    v[0].events = std::move(events);
    outbox_.post(std::move(v));
}

void Executor::run_alone(Write &w)
{
    Item &it = w.items[0];
    it.result = run_item(ctx_, it);
    if (it.result != 0 && it.made != nullptr) {
        prop_close(ctx_, it.made);
        it.made = nullptr;
    }
    if (it.result != 0) return;
    writes_++;
    commits_++;
    it.made_name = made_name_of(it);
    std::vector<wire::Event> events;
    committed(w, {&it}, &events);
    post_events(std::move(events));
}

void Executor::run_batch(Write &w)
{
    Records rec(w.items.size());
    for (size_t i = 0; i < w.items.size(); i++) fill(rec.ops[i], w.items[i]);
    // Refused as a whole, it is answered with the store's own words.
    std::string why;
    const uint32_t rc = propctl::explained(store_.zkv(), [&] { return prop_batch_execute(ctx_, &rec.batch, 0); }, &why);
    w.answer.code = rc;
    if (!why.empty()) w.answer.text = why;
    std::vector<Item *> items;
    for (size_t i = 0; i < w.items.size(); i++) {
        Item &it = w.items[i];
        it.result = rec.results[i].result;
        it.disposition = rec.results[i].disposition;
        it.made = rec.results[i].key;
        // A batch that rolled back made nothing that lasts.
        if (rc != 0 && it.made != nullptr) {
            prop_close(ctx_, it.made);
            it.made = nullptr;
        }
        it.made_name = rec.results[i].fullname[0] != '\0' ? normal_name(rec.results[i].fullname) : made_name_of(it);
        items.push_back(&it);
    }
    if (rc != 0) return;
    writes_++;
    commits_++;
    std::vector<wire::Event> events;
    committed(w, items, &events);
    post_events(std::move(events));
}

// The group's writes as one batch; when it rolls back, each one again on
// its own, in the same order.
void Executor::run_group(std::vector<Write *> &group)
{
    Records rec(group.size());
    for (size_t i = 0; i < group.size(); i++) fill(rec.ops[i], group[i]->items[0]);
    const uint32_t rc = prop_batch_execute(ctx_, &rec.batch, 0);
    if (rc != 0) {
        for (prop_batch_result &r : rec.results)
            if (r.key != nullptr) prop_close(ctx_, r.key);
        for (Write *w : group) run_alone(*w);
        return;
    }
    writes_ += group.size();
    commits_++;
    std::vector<wire::Event> events;
    for (size_t i = 0; i < group.size(); i++) {
        Write &w = *group[i];
        Item &it = w.items[0];
        it.result = rec.results[i].result;
        it.disposition = rec.results[i].disposition;
        it.made = rec.results[i].key;
        it.made_name = rec.results[i].fullname[0] != '\0' ? normal_name(rec.results[i].fullname) : made_name_of(it);
        committed(w, {&it}, &events);
    }
    post_events(std::move(events));
}

void Executor::finish(Write &w, std::vector<Outcome> *out)
{
    wire::Answer &a = w.answer;
    if (!w.refused && w.job->req.op == Op::batch) {
        for (const Item &it : w.items)
            a.results.push_back({it.result, it.made_id, it.made_name, it.disposition});
    } else if (!w.refused) {
        const Item &it = w.items[0];
        if (a.code == 0) a.code = it.result;
        a.key = it.made_id;
        a.disposition = it.disposition;
    }
    out->push_back(answer(w.job->conn, std::move(a)));
}

Outcome Executor::read(const Job &job, Session &s)
{
    const wire::Request &r = job.req;
    const Caller &c = *job.caller;
    wire::Answer a;
    a.op = r.op;
    Outcome o;
    auto privileged_only = [&] {
        if (c.privileged) return true;
        log_line("denied: %s: %s is for root and the daemon's user", c.describe().c_str(), wire::op_name(r.op));
        refuse(&a, PROP_E_PERM, std::string("permission denied: only root and the daemon's user may ask for ") +
                                    wire::op_name(r.op));
        return false;
    };
    switch (r.op) {
    case Op::open:
    case Op::watch: {
        propr_keyhandle *h = nullptr;
        a.code = prop_open(ctx_, r.name.c_str(), &h, 0);
        if (a.code != 0) break;
        Key k{h, normal_name(r.name)};
        const bool watch = r.op == Op::watch;
        if (check(c, k, watch ? PROP_PERM_READ : PROP_PERM_QUERY_KEY, watch, r.op, &a) != 0 || watch) {
            prop_close(ctx_, h);
        } else {
            a.key = keep(s, h, k.name);
            if (a.key == 0) refuse(&a, PROP_E_NOMEM, "too many keys are open (on this connection, or in all)");
        }
        if (watch && a.code == 0) {
            a.seq = seq_;
            o.watch = true;
            o.watch_key = k.name;
        }
        break;
    }
    case Op::close:
        if (Key *k = find(s, r.key, &a)) {
            a.code = prop_close(ctx_, k->handle);
            s.keys.erase(r.key);
            open_keys_--;
        }
        break;
    case Op::get_value: {
        Key *k = find(s, r.key, &a);
        if (k == nullptr || check(c, *k, PROP_PERM_READ, false, r.op, &a) != 0) break;
        std::string buf(std::max<uint32_t>(1, std::min(r.capacity, wire::kMaxValue)), '\0');
        uint32_t size = std::min(r.capacity, wire::kMaxValue);
        a.code = prop_get_value(ctx_, k->handle, &a.dtype, buf.data(), &size, 0);
        a.size = size;
        if (a.code == 0) a.value.assign(buf.data(), std::min<size_t>(size, buf.size()));
        break;
    }
    case Op::enumerate: {
        Key *k = find(s, r.key, &a);
        if (k == nullptr || check(c, *k, PROP_PERM_ENUMERATE_SUB_KEYS, false, r.op, &a) != 0) break;
        char *buf = nullptr;
        uint32_t len = 0, num = 0;
        a.code = prop_enum_subkey(ctx_, k->handle, &buf, &len, &num, 0);
        for (uint32_t i = 0, at = 0; a.code == 0 && i < num && at < len && buf[at] != '\0'; i++) {
            a.names.emplace_back(buf + at, strnlen(buf + at, len - at));
            at += static_cast<uint32_t>(a.names.back().size()) + 1;
        }
        if (buf != nullptr) prop_fe_free_block(store_.meta(), buf);
        break;
    }
    case Op::get_security: {
        Key *k = find(s, r.key, &a);
        if (k == nullptr || check(c, *k, PROP_PERM_QUERY_KEY, false, r.op, &a) != 0) break;
        a.code = prop_get_security(ctx_, k->handle, &a.sec);
        break;
    }
    // The scan reads every block of every location while writes wait, and
    // names the files behind the store (as info does): an operator's
    // tools, as the check and a backup (written with the daemon's rights)
    // are.
    // The sizes alone come from the bitmaps, without the scan, and name no
    // file: whoever writes may be told the store is nearly full.
    case Op::status: {
        const bool sizes = (r.flag & wire::kStatusSizes) != 0;
        if (!sizes && !privileged_only()) break;
        prop_status st{};
        const uint32_t flag = r.flag & (wire::kStatusFullNames | wire::kStatusSizes);
        a.code = propctl::logged(store_.zkv(), [&] { return prop_get_status(ctx_, &st, flag); }, &a.lines);
        uint32_t zkvid = 0, ids[PROP_MAX_LOCATIONS] = {};
        if (sizes) std::memset(st.location, 0, sizeof st.location);
        else if (a.code == 0) a.code = prop_get_id(ctx_, &zkvid, ids, 0);
        for (int i = 0; i < PROP_MAX_LOCATIONS; i++) {
            a.names.emplace_back(st.location[i], strnlen(st.location[i], PROP_LOCNAME_SIZE));
            a.states.push_back(st.state[i]);
            a.ids.push_back(ids[i]);
        }
        a.version.assign(st.version, strnlen(st.version, sizeof st.version - 1));
        a.total_kb = st.total_kb;
        a.used_kb = st.used_kb;
        a.free_kb = st.free_kb;
        a.keys = st.keys;
        a.limit_kb = st.limit_kb;
        break;
    }
    case Op::check:
        if (privileged_only()) a.code = store_.check(&a.lines);
        break;
    case Op::info: {
        if (!privileged_only()) break;
        char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE] = {};
        uint32_t ids[PROP_MAX_LOCATIONS] = {};
        a.code = store_.describe(&a.format, names, ids);
        for (int i = 0; a.code == 0 && i < PROP_MAX_LOCATIONS; i++) {
            a.names.emplace_back(names[i], strnlen(names[i], PROP_LOCNAME_SIZE));
            a.ids.push_back(ids[i]);
        }
        break;
    }
    // The file is read or written with the daemon's rights, every key is
    // read or written whatever its levels say, and an import gives keys to
    // any owner and group the file names: an operator's tool, as a backup.
    case Op::export_records:
    case Op::import_records:
        if (privileged_only()) run_records(r, c, &a);
        break;
    // A raw block shows what no key's levels guard (free blocks, the names
    // in other keys' nodes), and the state word is the store's own.
    case Op::block: {
        if (!privileged_only()) break;
        propctl::RawBlock b;
        b.number = r.number;
        a.code = store_.block(r.name, r.location, r.flag != 0, &b);
        a.number = b.number;
        a.found = b.found;
        a.value = std::move(b.bytes);
        a.report = std::move(b.report);
        break;
    }
    case Op::state:
        if (privileged_only()) a.code = prop_get_state(ctx_, &a.state, 0);
        break;
    case Op::backup: {
        if (!privileged_only()) break;
        char name[PROP_LOCNAME_SIZE] = {};
        std::snprintf(name, sizeof name, "%s", r.name.c_str());
        a.code = propctl::logged(store_.zkv(), [&] { return prop_bkup(ctx_, name); }, &a.lines);
        if (a.code == 0) a.names.emplace_back(name);
        break;
    }
    default:
        refuse(&a, PROP_E_ARG, "not a request");
        break;
    }
    Outcome ans = answer(job.conn, std::move(a));
    ans.watch = o.watch;
    ans.watch_key = std::move(o.watch_key);
    return ans;
}

void Executor::run_records(const wire::Request &r, const Caller &c, wire::Answer *a)
{
    const propctl::RecordStore s{ctx_, store_.meta(), store_.zkv(), false};
    const bool import = r.op == Op::import_records;
    const propctl::RecordRun run =
        import ? propctl::import_records(s, r.name, r.flag, c.user) : propctl::export_records(s, r.name, r.top);
    a->code = run.rc;
    a->fault = static_cast<uint32_t>(run.fault);
    a->detail = run.detail;
    a->keys = run.keys;
    a->created = run.created;
    a->transactions = run.steps;
    // What an import changed is not told key by key: watchers read again.
    if (import) post_events({wire::Event{next_seq(), wire::EventKind::resync, "", ""}});
}

}  // namespace propregd

#include "walks.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "integrity.h"
#include "propreg/frontend.h"
#include "propreg_store.h"

namespace {

constexpr u32 kKeys = 50000;
constexpr u32 kQuickKeys = 2000;
constexpr int kRounds = 5;
// A key takes at most 10,000 children: room for the ones the rows make.
constexpr u32 kWide = 9900;
constexpr u32 kQuickWide = 1000;
constexpr u32 kNarrow = 10;

double seconds(double us)
{
    return us / 1e6;
}

// A front end's walk of name and everything below it: open the key, read
// its value (and, when exporting, its security into a record), list its
// subkeys, close it and go down into each.
class Walker {
  public:
    Walker(backend_ctx *ctx, prop_metactx *meta, prop_cbkp *out) : ctx_(ctx), meta_(meta), out_(out) {}

    u32 walk(const std::string &name)
    {
        propr_keyhandle *key = nullptr;
        u32 rc = prop_open(ctx_, name.c_str(), &key, 0);
        if (rc != PROP_OK) return rc;
        u32 size = sizeof rec_->value;
        rc = prop_get_value(ctx_, key, &rec_->value_type, rec_->value, &size, 0);
        if (rc == PROP_OK && out_ != nullptr) rc = write_record(name, key, size);
        char *names = nullptr;
        u32 len = 0, count = 0;
        if (rc == PROP_OK) rc = prop_enum_subkey(ctx_, key, &names, &len, &count, 0);
        prop_close(ctx_, key);
        keys_++;
        for (u32 i = 0, off = 0; rc == PROP_OK && i < count && off < len; i++) {
            const std::string sub(names + off);
            off += static_cast<u32>(sub.size()) + 1;
            rc = walk(name + "." + sub);
        }
        if (names != nullptr) prop_fe_free_block(meta_, names);
        return rc;
    }

    u64 keys() const { return keys_; }

  private:
    u32 write_record(const std::string &name, propr_keyhandle *key, u32 size)
    {
        sec_attr sec{};
        if (u32 rc = prop_get_security(ctx_, key, &sec); rc != PROP_OK) return rc;
        std::snprintf(rec_->keyname, sizeof rec_->keyname, "%s", name.c_str());
        rec_->value_len = size;
        rec_->userperm = sec.userperm;
        rec_->groupperm = sec.groupperm;
        rec_->otherperm = sec.otherperm;
        std::snprintf(rec_->username, sizeof rec_->username, "%s", sec.username);
        std::snprintf(rec_->groupname, sizeof rec_->groupname, "%s", sec.groupname);
        return prop_cbkp_writerec(out_, rec_.get());
    }

    backend_ctx *ctx_;
    prop_metactx *meta_;
    prop_cbkp *out_;
    std::unique_ptr<prop_record> rec_ = std::make_unique<prop_record>();
    u64 keys_ = 0;
};

// Every key of the store, walked from the top-level keys; true when all
// of them (and the record file) were done.
bool walk_store(backend_ctx *ctx, prop_metactx *meta, const std::string &file, u64 expected,
                const std::vector<const char *> &tops = {"DATABASE", "HWK", "SYSTEM"})
{
    prop_cbkp *out = nullptr;
    if (!file.empty()) {
        ::unlink(file.c_str());
        if (prop_cbkp_init(ctx, nullptr, &out, file.c_str(), PROP_CBKP_EXPORT, 0, nullptr, 0) != PROP_OK) return false;
    }
    Walker w(ctx, meta, out);
    u32 rc = PROP_OK;
    for (const char *top : tops)
        if (rc == PROP_OK) rc = w.walk(top);
    if (out != nullptr && prop_cbkp_term(out) != PROP_OK) rc = PROP_E_STORAGE;
    if (!file.empty()) ::unlink(file.c_str());
    return rc == PROP_OK && w.keys() >= expected;
}

double cpu_us()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// One timed call, and with cpu the CPU time it took; false when it did not
// answer as on a sound store.
template <class F>
bool timed(std::vector<double> *us, F call, std::vector<double> *cpu = nullptr)
{
    const double t0 = now_us(), c0 = cpu_us();
    const bool ok = call();
    us->push_back(now_us() - t0);
    if (cpu != nullptr) cpu->push_back(cpu_us() - c0);
    return ok;
}

}  // namespace

WalkRows measure_walks(const std::string &dir, bool quick)
{
    WalkRows rows;
    rows.keys = quick ? kQuickKeys : kKeys;
    PropregStore store;
    std::fprintf(stderr, "building a store of %u keys for the walks\n", rows.keys);
    if (store.open_with_keys(dir, rows.keys, PROP_LEVEL_READONLY, &rows.why) != PROP_OK) return rows;
    prop_status status{};
    if (prop_get_status(store.ctx(), &status, 4) != PROP_OK) {
        rows.why = "the store of the walks could not be scanned";
        return rows;
    }
    rows.bytes = status.used_kb * 1024;
    const std::string file = dir + "/walk.export";
    const std::string backup = dir + "/walk.backup";
    ::unlink(backup.c_str());
    if (prop_bkup(store.ctx(), const_cast<char *>(backup.c_str())) != PROP_OK) {
        rows.why = "the store of the walks could not be backed up";
        return rows;
    }
    std::vector<double> check, tree, exported, verify, tree_cpu, exported_cpu, tree_caching;
    // Each step opens the store afresh, so that no cache is warm from the
    // step before; the steps take turns at going first.  The walks run at
    // the read-only level, as propctl's do; one more at the CACHING level.
    auto walk = [&](u32 level, std::vector<double> *us, std::vector<double> *cpu, const std::string &to) {
        return store.reopen(level, &rows.why) == PROP_OK &&
               timed(us, [&] { return walk_store(store.ctx(), store.meta(), to, rows.keys); }, cpu);
    };
    const std::function<bool()> steps[] = {
        [&] {
            return store.reopen(PROP_LEVEL_READONLY, &rows.why) == PROP_OK &&
                   timed(&check, [&] { return checked(store.ctx()); });
        },
        [&] { return walk(PROP_LEVEL_READONLY, &tree, &tree_cpu, ""); },
        [&] { return walk(PROP_LEVEL_READONLY, &exported, &exported_cpu, file); },
        [&] {
            return timed(&verify, [&] {
                PropregStore image;
                return image.open_backup(backup, &rows.why) == PROP_OK && checked(image.ctx());
            });
        },
        [&] { return walk(PROP_LEVEL_CACHING, &tree_caching, nullptr, ""); },
    };
    constexpr int kSteps = sizeof steps / sizeof steps[0];
    const int rounds = quick ? 1 : kRounds;
    for (int round = 0; round < rounds; round++) {
        for (int i = 0; i < kSteps; i++) {
            if (steps[(round + i) % kSteps]()) continue;
            if (rows.why.empty()) rows.why = "a walk, check or verify did not finish as on a sound store";
            ::unlink(backup.c_str());
            return rows;
        }
        std::fprintf(stderr, "  round %d: check %.3f s, tree %.3f s, export %.3f s, verify %.3f s, CACHING %.3f s\n",
                     round + 1, seconds(check.back()), seconds(tree.back()), seconds(exported.back()),
                     seconds(verify.back()), seconds(tree_caching.back()));
    }
    ::unlink(backup.c_str());
    rows.check = summarize(check);
    rows.tree = summarize(tree);
    rows.exported = summarize(exported);
    rows.verify = summarize(verify);
    rows.tree_cpu = summarize(tree_cpu);
    rows.exported_cpu = summarize(exported_cpu);
    rows.tree_caching = summarize(tree_caching);
    rows.ran = true;
    return rows;
}

namespace {

struct Parent {
    const char *name;
    u32 children;
    std::vector<double> create, list, remove;  // per child
};

u32 make_narrow(PropregStore &store)
{
    propr_keyhandle *system = nullptr, *parent = nullptr;
    u32 disposition = 0;
    u32 rc = prop_open(store.ctx(), "SYSTEM", &system, 0);
    if (rc == PROP_OK) rc = prop_create_key(store.ctx(), system, "narrow", &store.security(), &parent, &disposition, 0);
    for (u32 i = 0; rc == PROP_OK && i < kNarrow; i++) {
        propr_keyhandle *child = nullptr;
        char name[16];
        std::snprintf(name, sizeof name, "k%05u", i);
        rc = prop_create_key(store.ctx(), parent, name, &store.security(), &child, &disposition, 0);
        if (child != nullptr) prop_close(store.ctx(), child);
    }
    if (parent != nullptr) prop_close(store.ctx(), parent);
    if (system != nullptr) prop_close(store.ctx(), system);
    return rc;
}

// Creates a key under the parent in a transaction of its own, timed.
u32 create_one(PropregStore &store, Parent &p, const char *name)
{
    propr_keyhandle *parent = nullptr, *child = nullptr;
    u32 disposition = 0;
    u32 rc = prop_open(store.ctx(), p.name, &parent, 0);
    if (rc != PROP_OK) return rc;
    const double t0 = now_us();
    rc = prop_create_key(store.ctx(), parent, name, &store.security(), &child, &disposition, 0);
    p.create.push_back(now_us() - t0);
    if (child != nullptr) prop_close(store.ctx(), child);
    prop_close(store.ctx(), parent);
    return rc;
}

u32 delete_one(PropregStore &store, Parent &p, const char *name)
{
    propr_keyhandle *key = nullptr;
    const std::string full = std::string(p.name) + "." + name;
    u32 rc = prop_open(store.ctx(), full.c_str(), &key, 0);
    if (rc != PROP_OK) return rc;
    const double t0 = now_us();
    rc = prop_delete_key(store.ctx(), key, 0, 0);
    p.remove.push_back(now_us() - t0);
    prop_close(store.ctx(), key);
    return rc;
}

// The parent listed and every child opened and read, on caches the store
// was just opened with; the time per child.
u32 list_all(PropregStore &store, Parent &p, u32 level)
{
    std::string why;
    if (u32 rc = store.reopen(level, &why); rc != PROP_OK) return rc;
    propr_keyhandle *parent = nullptr;
    const double t0 = now_us();
    u32 rc = prop_open(store.ctx(), p.name, &parent, 0);
    char *names = nullptr;
    u32 len = 0, count = 0;
    if (rc == PROP_OK) rc = prop_enum_subkey(store.ctx(), parent, &names, &len, &count, 0);
    std::vector<u8> value(4096);
    for (u32 i = 0, off = 0; rc == PROP_OK && i < count; i++) {
        const std::string full = std::string(p.name) + "." + (names + off);
        off += static_cast<u32>(std::strlen(names + off)) + 1;
        propr_keyhandle *child = nullptr;
        u32 type = 0, size = static_cast<u32>(value.size());
        rc = prop_open(store.ctx(), full.c_str(), &child, 0);
        if (rc == PROP_OK) rc = prop_get_value(store.ctx(), child, &type, value.data(), &size, 0);
        if (child != nullptr) prop_close(store.ctx(), child);
    }
    p.list.push_back((now_us() - t0) / (count != 0 ? count : 1));
    if (names != nullptr) prop_fe_free_block(store.meta(), names);
    if (parent != nullptr) prop_close(store.ctx(), parent);
    return rc == PROP_OK && count != p.children ? u32{PROP_E_STORAGE} : rc;
}

}  // namespace

WideRows measure_wide(const std::string &dir, bool quick, u32 level)
{
    WideRows rows;
    rows.level = level;
    rows.narrow_children = kNarrow;
    rows.wide_children = quick ? kQuickWide : kWide;
    PropregStore store;
    std::fprintf(stderr, "building a key of %u children, level %u\n", rows.wide_children, level);
    if (store.open_with_keys(dir, rows.wide_children, level, &rows.why, rows.wide_children) != PROP_OK) return rows;
    if (u32 rc = make_narrow(store); rc != PROP_OK) {
        rows.why = "the key of 10 children could not be made (" + std::to_string(rc) + ")";
        return rows;
    }
    Parent parents[2] = {{"SYSTEM.narrow", kNarrow, {}, {}, {}}, {"SYSTEM.p000", rows.wide_children, {}, {}, {}}};
    const u32 ops = quick ? 5 : 50;
    u32 rc = PROP_OK;
    char name[16];
    for (u32 i = 0; rc == PROP_OK && i < 2 * ops; i++) {
        std::snprintf(name, sizeof name, "n%03u", i / 2);
        rc = create_one(store, parents[i % 2], name);
    }
    for (u32 i = 0; rc == PROP_OK && i < 2 * ops; i++) {
        std::snprintf(name, sizeof name, "n%03u", i / 2);
        rc = delete_one(store, parents[(i + 1) % 2], name);
    }
    const int rounds = quick ? 1 : 5;
    for (int r = 0; rc == PROP_OK && r < rounds; r++)
        for (Parent &p : parents)
            if (rc == PROP_OK) rc = list_all(store, p, level);
    if (rc != PROP_OK) {
        rows.why = "an operation under the two keys failed (" + std::to_string(rc) + ")";
        return rows;
    }
    rows.create = {"create (a transaction each)", summarize(parents[0].create), summarize(parents[1].create)};
    rows.list = {"list, open and read each", summarize(parents[0].list), summarize(parents[1].list)};
    rows.remove = {"delete (a transaction each)", summarize(parents[0].remove), summarize(parents[1].remove)};
    rows.ran = true;
    return rows;
}

void print_walks(std::FILE *out, const WalkRows &r)
{
    std::fprintf(out, "\nWalks through the exports: a store of %u keys on one location, %.1f MiB of pages in use\n",
                 r.keys, static_cast<double>(r.bytes) / (1024.0 * 1024.0));
    if (!r.ran) {
        std::fprintf(out, "  not measured: %s\n", r.why.c_str());
        return;
    }
    auto row = [&](const char *label, double median_us, double p90_us, const std::string &note) {
        char when[48];
        std::snprintf(when, sizeof when, "%.3f (%.3f)", seconds(median_us), seconds(p90_us));
        std::fprintf(out, "  %-52s %-19s %6.2fx check  %s\n", label, when, median_us / r.check.median_us,
                     note.c_str());
    };
    auto cpu = [](const Summary &s) {
        char note[64];
        std::snprintf(note, sizeof note, "caches cold; %.3f s of CPU", seconds(s.median_us));
        return std::string(note);
    };
    std::fprintf(out, "  %-52s %-19s\n", "", "seconds (p90)");
    row("check (status scan + corruption check), read-only", r.check.median_us, r.check.p90_us, "");
    row("tree: open, get value, list, every key; read-only", r.tree.median_us, r.tree.p90_us, cpu(r.tree_cpu));
    row("export: the same and the security, to a record file", r.exported.median_us, r.exported.p90_us,
        cpu(r.exported_cpu));
    row("verify of a backup of it (open, scan, check)", r.verify.median_us, r.verify.p90_us, "");
    row("tree at the CACHING level", r.tree_caching.median_us, r.tree_caching.p90_us, "caches cold");
}

void print_wide(std::FILE *out, const WideRows &r)
{
    std::fprintf(out, "\nKeys of many children, level %u: per child, under a key of %u children and of %u\n", r.level,
                 r.narrow_children, r.wide_children);
    if (!r.ran) {
        std::fprintf(out, "  not measured: %s\n", r.why.c_str());
        return;
    }
    std::fprintf(out, "  %-30s %14s %14s %8s\n", "", "us (10)", "us (many)", "ratio");
    for (const WideRow *w : {&r.create, &r.list, &r.remove})
        std::fprintf(out, "  %-30s %14.1f %14.1f %7.2fx\n", w->label, w->narrow.median_us, w->wide.median_us,
                     w->narrow.median_us > 0 ? w->wide.median_us / w->narrow.median_us : 0);
}

#include "platform/fault_env.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>

#include "platform/thread.h"

namespace {

struct ErrnoName {
    const char *name;
    int value;
};
constexpr ErrnoName kErrnoNames[] = {
    {"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EACCES", EACCES}, {"EPERM", EPERM},
    {"EINVAL", EINVAL}, {"ENOENT", ENOENT}, {"ENXIO", ENXIO},   {"EROFS", EROFS},
    {"EBADF", EBADF},   {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR},
};

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\n");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        out.push_back(trim(s.substr(start, at == std::string::npos ? std::string::npos : at - start)));
        if (at == std::string::npos) return out;
        start = at + 1;
    }
}

bool parse_number(const std::string &s, u64 *out)
{
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || s[0] == '-') return false;
    *out = v;
    return true;
}

bool parse_errno(const std::string &s, int *out)
{
    for (const ErrnoName &e : kErrnoNames) {
        if (s == e.name) {
            *out = e.value;
            return true;
        }
    }
    u64 v = 0;
    if (!parse_number(s, &v) || v == 0 || v > 4095) return false;
    *out = static_cast<int>(v);
    return true;
}

bool kind_named(const std::string &name, fault_kind *kind)
{
    static const struct {
        const char *name;
        fault_kind kind;
    } kinds[] = {{"fail_read", fault_kind::fail_read},   {"fail_write", fault_kind::fail_write},
                 {"fail_open", fault_kind::fail_open},   {"drop_after", fault_kind::drop_after},
                 {"tear", fault_kind::tear},             {"delay", fault_kind::delay},
                 {"device", fault_kind::device}};
    for (const auto &k : kinds) {
        if (name == k.name) {
            *kind = k.kind;
            return true;
        }
    }
    return false;
}

// Applies one key=value pair to a rule; false for a key the kind does not take.
bool apply_pair(fault_rule *r, const std::string &key, const std::string &value)
{
    bool failure = r->kind == fault_kind::fail_read || r->kind == fault_kind::fail_write ||
                   r->kind == fault_kind::fail_open;
    if (key == "path") {
        r->path = value;
        return !value.empty();
    }
    if (key == "nth" && r->kind != fault_kind::delay && r->kind != fault_kind::device) return parse_number(value, &r->nth) && r->nth > 0;
    if (key == "times" && failure) return parse_number(value, &r->times);
    if (key == "errno" && failure) return parse_errno(value, &r->err);
    if (key == "bytes" && (r->kind == fault_kind::tear || r->kind == fault_kind::device))
        return parse_number(value, &r->bytes);
    if (key == "sector" && r->kind == fault_kind::device) {
        u64 v = 0;
        if (!parse_number(value, &v) || v == 0 || v > 65536) return false;
        r->sector = static_cast<u32>(v);
        return true;
    }
    if (key == "us" && r->kind == fault_kind::delay) return parse_number(value, &r->us);
    if (key == "lose" && (r->kind == fault_kind::drop_after || r->kind == fault_kind::tear))
        return parse_number(value, &r->lose) && r->lose > 0;
    return false;
}

bool parse_item(const std::string &item, std::vector<fault_rule> *rules, bool *record, int *crash)
{
    size_t colon = item.find(':');
    std::string kind = trim(item.substr(0, colon));
    std::vector<std::string> pairs;
    if (colon != std::string::npos) pairs = split(item.substr(colon + 1), ',');

    if (kind == "record") {
        *record = true;
        return pairs.empty();
    }
    if (kind == "crash") {
        if (pairs.size() != 1 || pairs[0].rfind("status=", 0) != 0) return false;
        u64 status = 0;
        if (!parse_number(pairs[0].substr(7), &status) || status > 255) return false;
        *crash = static_cast<int>(status);
        return true;
    }
    fault_rule r;
    if (!kind_named(kind, &r.kind)) return false;
    for (const std::string &p : pairs) {
        size_t eq = p.find('=');
        if (eq == std::string::npos) return false;
        if (!apply_pair(&r, trim(p.substr(0, eq)), trim(p.substr(eq + 1)))) return false;
    }
    rules->push_back(r);
    return true;
}

bool matches(const fault_rule &r, const char *path)
{
    return r.path.empty() || (path != nullptr && std::strstr(path, r.path.c_str()) != nullptr);
}

bool in_window(u64 seen, const fault_rule &r)
{
    if (seen < r.nth) return false;
    return r.times == 0 || seen - r.nth < r.times;
}

bool contains(const std::string &path, const char *part)
{
    return part == nullptr || *part == '\0' || path.find(part) != std::string::npos;
}

u64 iov_bytes(const env_write &w)
{
    u64 n = 0;
    for (int i = 0; i < w.iovcnt; i++) n += w.iov[i].iov_len;
    return n;
}

// The bytes of a write, in one piece.
std::string gather(const env_write &w)
{
    std::string out;
    for (int i = 0; i < w.iovcnt; i++) out.append(static_cast<const char *>(w.iov[i].iov_base), w.iov[i].iov_len);
    return out;
}

// A 4096-aligned scratch area, as unbuffered files need.
struct Aligned {
    explicit Aligned(size_t len) : size((len + 4095) & ~size_t{4095}), p(std::aligned_alloc(4096, size ? size : 4096)) {}
    ~Aligned() { std::free(p); }
    Aligned(const Aligned &) = delete;
    Aligned &operator=(const Aligned &) = delete;
    size_t size;
    void *p;
};

}  // namespace

int fault_parse(const char *text, std::vector<fault_rule> *rules, bool *record, int *crash_status,
                std::string *bad)
{
    if (text == nullptr || rules == nullptr || record == nullptr || crash_status == nullptr) return EINVAL;
    try {
        std::vector<fault_rule> parsed;
        bool rec = false;
        int crash = -1;
        for (const std::string &item : split(text, ';')) {
            if (item.empty()) continue;
            if (!parse_item(item, &parsed, &rec, &crash)) {
                if (bad != nullptr) *bad = item;
                return EINVAL;
            }
        }
        rules->insert(rules->end(), parsed.begin(), parsed.end());
        if (rec) *record = true;
        if (crash >= 0) *crash_status = crash;
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

FaultEnv::FaultEnv(Env *base) : base_(base) {}

int FaultEnv::load(const char *text)
{
    std::vector<fault_rule> rules;
    bool record = false;
    int crash = -1;
    int err = fault_parse(text, &rules, &record, &crash);
    if (err != 0) return err;
    for (const fault_rule &r : rules) add(r);
    if (record) set_record(true);
    if (crash >= 0) set_crash(crash);
    return 0;
}

void FaultEnv::add(const fault_rule &rule)
{
    std::lock_guard<std::mutex> lock(mu_);
    try {
        rules_.push_back(Rule{rule});
        if (rule.lose != 0) tracking_ = true;
    } catch (...) {
        // A rule that cannot be kept is not applied.
    }
}

void FaultEnv::set_crash(int status)
{
    std::lock_guard<std::mutex> lock(mu_);
    crash_status_ = status;
}

void FaultEnv::set_record(bool on)
{
    std::lock_guard<std::mutex> lock(mu_);
    recording_ = on;
}

void FaultEnv::reset()
{
    std::lock_guard<std::mutex> lock(mu_);
    rules_.clear();
    counts_.clear();
    record_.clear();
    unsynced_.clear();
    tracking_ = false;
    recording_ = false;
    power_cut_ = false;
    crash_status_ = -1;
}

u64 FaultEnv::sum(const char *path_part, u64 Count::*field) const
{
    std::lock_guard<std::mutex> lock(mu_);
    u64 n = 0;
    for (const Count &c : counts_)
        if (contains(c.path, path_part)) n += c.*field;
    return n;
}

u64 FaultEnv::reads(const char *path_part) const
{
    return sum(path_part, &Count::reads);
}

u64 FaultEnv::read_waits(const char *path_part) const
{
    return sum(path_part, &Count::read_waits);
}

u64 FaultEnv::writes(const char *path_part) const
{
    return sum(path_part, &Count::writes);
}

u64 FaultEnv::barriers(const char *path_part) const
{
    return sum(path_part, &Count::barriers);
}

std::vector<fault_write_record> FaultEnv::recorded() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return record_;
}

bool FaultEnv::power_cut() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return power_cut_;
}

// Called with mu_ held.  A path that cannot be counted shares one spare.
FaultEnv::Count &FaultEnv::count_for(const char *path)
{
    static Count spare;
    for (Count &c : counts_)
        if (c.path == path) return c;
    try {
        counts_.push_back(Count{path});
        return counts_.back();
    } catch (...) {
        return spare;
    }
}

// Called with mu_ held: the errno of a failing read or open, else 0.
int FaultEnv::failure_for(fault_kind kind, const char *path)
{
    int err = 0;
    for (Rule &rule : rules_) {
        if (rule.r.kind != kind || !matches(rule.r, path)) continue;
        rule.seen++;
        if (err == 0 && in_window(rule.seen, rule.r)) err = rule.r.err;
    }
    return err;
}

// Called with mu_ held.  Every write rule that matches counts the write,
// so rules keep their own numbering whatever the others decide.
FaultEnv::WritePlan FaultEnv::plan_write(const char *path, u64 len)
{
    WritePlan plan;
    plan.store = len;
    bool lost = power_cut_, torn = false;
    u64 torn_bytes = 0;
    for (Rule &rule : rules_) {
        const fault_rule &r = rule.r;
        if (r.kind == fault_kind::fail_read || r.kind == fault_kind::fail_open || r.kind == fault_kind::device)
            continue;
        if (!matches(r, path)) continue;
        rule.seen++;
        switch (r.kind) {
        case fault_kind::fail_write:
            if (plan.err == 0 && in_window(rule.seen, r)) plan.err = r.err;
            break;
        case fault_kind::drop_after:
            if (rule.seen > r.nth) {
                lost = true;
                if (r.path.empty()) power_cut_ = true;
                if (!rule.cut && plan.cut == nullptr) plan.cut = &r;
                rule.cut = true;
            }
            break;
        case fault_kind::tear:
            if (rule.seen == r.nth && !torn) {
                torn = true;
                torn_bytes = r.bytes < len ? r.bytes : len;
                if (!rule.cut && plan.cut == nullptr) plan.cut = &r;
                rule.cut = true;
            }
            break;
        case fault_kind::delay:
            plan.delay_us += r.us;
            break;
        default:
            break;
        }
    }
    if (lost) {
        plan.outcome = fault_outcome::lost;
        plan.err = 0;
        plan.delay_us = 0;
        plan.store = 0;
    } else if (plan.err != 0) {
        plan.outcome = fault_outcome::failed;
        plan.store = 0;
    } else if (torn) {
        plan.outcome = fault_outcome::torn;
        plan.store = torn_bytes;
        power_cut_ = true;
    }
    return plan;
}

void FaultEnv::note_write(const char *path, u64 off, u64 len, fault_outcome outcome)
{
    if (!recording_) return;
    try {
        record_.push_back(fault_write_record{path, off, len, outcome, count_for(path).barriers});
    } catch (...) {
        // The record is a test aid; losing an entry must not fail the write.
    }
}

// Stores the first bytes of a write of len bytes.  An unbuffered file
// takes only whole sectors from aligned memory, so there the bytes go
// through an aligned copy, laid over the old content when they end inside
// a sector.
int FaultEnv::write_prefix(env_file *f, const void *buf, size_t len, u64 bytes, u64 off)
{
    if (bytes == 0) return 0;
    size_t done = 0;
    if ((base_->open_flags(f) & O_DIRECT) == 0) return base_->pwrite(f, buf, bytes, off, &done);
    Aligned tmp(len);
    if (tmp.p == nullptr) return ENOMEM;
    int err = bytes % 512 == 0 ? 0 : base_->pread(f, tmp.p, len, off, &done);
    if (err == 0) {
        std::memcpy(tmp.p, buf, bytes);
        err = base_->pwrite(f, tmp.p, bytes % 512 == 0 ? bytes : len, off, &done);
    }
    return err;
}

// Called with mu_ held.
bool FaultEnv::durable_at_once(env_file *f)
{
    return (base_->open_flags(f) & O_DSYNC) != 0;
}

// Called with mu_ held, before the write goes out: keeps what it covers
// now and what it will store.
void FaultEnv::remember_unsynced(env_file *f, const char *path, const env_write &w)
{
    if (durable_at_once(f)) return;
    const u64 len = iov_bytes(w);
    try {
        Unsynced u{f, path, w.off, std::string(len, '\0'), gather(w)};
        Aligned tmp(len);
        size_t done = 0;
        if (tmp.p != nullptr && base_->pread(f, tmp.p, len, w.off, &done) == 0)
            std::memcpy(u.before.data(), tmp.p, done < len ? done : len);
        unsynced_.push_back(std::move(u));
    } catch (...) {
        // A write that cannot be remembered counts as durable.
    }
}

// Called with mu_ held: the file's writes so far can no longer be lost.
void FaultEnv::barrier(env_file *f)
{
    std::erase_if(unsynced_, [f](const Unsynced &u) { return u.file == f; });
}

// Called with mu_ held, when the cut comes: undoes every unsynced write of
// the cut files, then stores again the ones the generator keeps, whole or
// torn, in their order.
void FaultEnv::apply_cut(const fault_rule &cut)
{
    if (cut.lose == 0) return;
    const std::string scope = cut.kind == fault_kind::drop_after ? cut.path : "";
    std::mt19937_64 rng(cut.lose);
    std::vector<std::pair<Unsynced *, u64>> kept;  // and the bytes it keeps
    for (Unsynced &u : unsynced_) {
        if (!contains(u.path, scope.c_str())) continue;
        const u64 len = u.after.size(), sectors = len / 512;
        u64 bytes = 0;
        switch (rng() % 3) {
        case 0: bytes = len; break;
        case 1: bytes = 0; break;
        default: bytes = sectors > 1 ? 512 * (1 + rng() % (sectors - 1)) : 0; break;
        }
        kept.emplace_back(&u, bytes);
    }
    for (auto it = kept.rbegin(); it != kept.rend(); ++it)
        write_prefix(it->first->file, it->first->before.data(), it->first->before.size(), it->first->before.size(),
                     it->first->off);
    for (auto &[u, bytes] : kept) write_prefix(u->file, u->after.data(), u->after.size(), bytes, u->off);
    std::erase_if(unsynced_, [&](const Unsynced &u) { return contains(u.path, scope.c_str()); });
}

// Hands the planned writes (indexes into w) to the file system at once,
// after the longest delay any of them asked for.
void FaultEnv::run_batch(env_write *w, const size_t *which, size_t n, u64 delay_us)
{
    if (n == 0) return;
    if (delay_us != 0) plat_usleep(delay_us);
    std::unique_ptr<env_write[]> part(new (std::nothrow) env_write[n]);
    if (!part) {
        for (size_t k = 0; k < n; k++) base_->write_batch(&w[which[k]], 1);
        return;
    }
    for (size_t k = 0; k < n; k++) part[k] = w[which[k]];
    base_->write_batch(part.get(), n);
    for (size_t k = 0; k < n; k++) w[which[k]].result = part[k].result;
}

void FaultEnv::crash()
{
    plat_fast_exit(crash_status_);
}

int FaultEnv::open(const char *path, int flags, int mode, env_file **out)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        int err = failure_for(fault_kind::fail_open, path);
        if (err != 0) {
            if (out != nullptr) *out = nullptr;
            return err;
        }
    }
    return base_->open(path, flags, mode, out);
}

int FaultEnv::close(env_file *f)
{
    {
        // What a closed file took can no longer be undone through it.
        std::lock_guard<std::mutex> lock(mu_);
        barrier(f);
    }
    return base_->close(f);
}

int FaultEnv::pread(env_file *f, void *buf, size_t len, u64 off, size_t *done)
{
    const char *p = base_->path(f);
    {
        std::lock_guard<std::mutex> lock(mu_);
        count_for(p).reads++;
        count_for(p).read_waits++;
        int err = failure_for(fault_kind::fail_read, p);
        if (err != 0) {
            if (done != nullptr) *done = 0;
            return err;
        }
    }
    return base_->pread(f, buf, len, off, done);
}

void FaultEnv::pread_batch(env_file *f, env_read *reads, size_t n)
{
    const char *p = base_->path(f);
    std::vector<env_read> pass;
    std::vector<size_t> from;
    try {
        pass.reserve(n);
        from.reserve(n);
    } catch (...) {
        Env::pread_batch(f, reads, n);  // one by one, through pread
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        count_for(p).read_waits += n != 0 ? 1 : 0;
        for (size_t i = 0; i < n; i++) {
            count_for(p).reads++;
            reads[i].done = 0;
            reads[i].err = failure_for(fault_kind::fail_read, p);
            if (reads[i].err != 0) continue;
            pass.push_back(reads[i]);
            from.push_back(i);
        }
    }
    base_->pread_batch(f, pass.data(), pass.size());
    for (size_t j = 0; j < pass.size(); j++) reads[from[j]] = pass[j];
}

int FaultEnv::pwrite(env_file *f, const void *buf, size_t len, u64 off, size_t *done)
{
    iovec iov{const_cast<void *>(buf), len};
    env_write w{f, &iov, 1, off, 0};
    write_batch(&w, 1);
    if (done != nullptr) *done = w.result == 0 ? len : 0;
    return w.result;
}

void FaultEnv::write_batch(env_write *w, size_t n)
{
    size_t one = 0;
    std::unique_ptr<size_t[]> list(n > 1 ? new (std::nothrow) size_t[n] : nullptr);
    if (n > 1 && !list) {
        for (size_t i = 0; i < n; i++) write_batch(&w[i], 1);
        return;
    }
    size_t *pass = n > 1 ? list.get() : &one;
    size_t passing = 0;
    u64 delay_us = 0;
    for (size_t i = 0; i < n; i++) {
        const char *p = base_->path(w[i].file);
        const u64 len = iov_bytes(w[i]);
        WritePlan plan;
        bool crash_now;
        {
            std::lock_guard<std::mutex> lock(mu_);
            count_for(p).writes++;
            plan = plan_write(p, len);
            note_write(p, w[i].off, len, plan.outcome);
            if (durable_at_once(w[i].file)) count_for(p).barriers++;
            crash_now = crash_status_ >= 0 &&
                        (plan.outcome == fault_outcome::lost || plan.outcome == fault_outcome::torn);
            if (plan.outcome == fault_outcome::written && tracking_) remember_unsynced(w[i].file, p, w[i]);
        }
        w[i].result = 0;
        if (plan.outcome == fault_outcome::failed) {
            w[i].result = plan.err;
            continue;
        }
        if (plan.outcome == fault_outcome::written) {
            pass[passing++] = i;
            delay_us = plan.delay_us > delay_us ? plan.delay_us : delay_us;
            continue;
        }
        // The cut: what was issued before it goes out first.
        run_batch(w, pass, passing, delay_us);
        passing = 0;
        delay_us = 0;
        if (plan.outcome == fault_outcome::torn) {
            const std::string bytes = gather(w[i]);
            w[i].result = write_prefix(w[i].file, bytes.data(), bytes.size(), plan.store, w[i].off);
        }
        if (plan.cut != nullptr) {
            std::lock_guard<std::mutex> lock(mu_);
            apply_cut(*plan.cut);
        }
        if (crash_now) crash();
    }
    run_batch(w, pass, passing, delay_us);
}

void FaultEnv::sync_batch(env_sync *s, size_t n)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        // A barrier that is not durable is no fsync on the real device
        // either, so what it covers can still be lost at a cut.
        for (size_t i = 0; i < n; i++) {
            count_for(base_->path(s[i].file)).barriers++;
            if (s[i].durable) barrier(s[i].file);
        }
    }
    base_->sync_batch(s, n);
}

void FaultEnv::write_sync_batch(env_write *w, size_t n, env_sync *s, size_t m)
{
    bool plain = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        plain = rules_.empty() && !tracking_ && !recording_ && !power_cut_ && crash_status_ < 0;
        for (size_t i = 0; i < n && plain; i++) {
            count_for(base_->path(w[i].file)).writes++;
            if (durable_at_once(w[i].file)) count_for(base_->path(w[i].file)).barriers++;
        }
        for (size_t j = 0; j < m && plain; j++) count_for(base_->path(s[j].file)).barriers++;
    }
    if (plain)
        base_->write_sync_batch(w, n, s, m);
    else
        Env::write_sync_batch(w, n, s, m);  // the rules see every write and barrier
}

// The last device rule that matches a path, or none.  Called with mu_ held.
const fault_rule *FaultEnv::device_for(const char *path) const
{
    const fault_rule *found = nullptr;
    for (const Rule &rule : rules_)
        if (rule.r.kind == fault_kind::device && matches(rule.r, path)) found = &rule.r;
    return found;
}

int FaultEnv::size(env_file *f, u64 *bytes, bool *is_block_device)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (const fault_rule *dev = device_for(base_->path(f))) {
            if (bytes == nullptr) return EINVAL;
            *bytes = dev->bytes;
            if (is_block_device != nullptr) *is_block_device = true;
            return 0;
        }
    }
    return base_->size(f, bytes, is_block_device);
}

int FaultEnv::sector_size(env_file *f, u32 *bytes)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (const fault_rule *dev = device_for(base_->path(f))) {
            if (bytes == nullptr) return EINVAL;
            *bytes = dev->sector;
            return 0;
        }
    }
    return base_->sector_size(f, bytes);
}

int FaultEnv::truncate(env_file *f, u64 bytes)
{
    return base_->truncate(f, bytes);
}

int FaultEnv::fsync(env_file *f)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        count_for(base_->path(f)).barriers++;
        barrier(f);
    }
    return base_->fsync(f);
}

int FaultEnv::stat(const char *path, struct stat *st)
{
    return base_->stat(path, st);
}

int FaultEnv::fstat(env_file *f, struct stat *st)
{
    int err = base_->fstat(f, st);
    if (err != 0) return err;
    std::lock_guard<std::mutex> lock(mu_);
    if (device_for(base_->path(f)) != nullptr) {
        st->st_mode = static_cast<mode_t>((st->st_mode & ~S_IFMT) | S_IFBLK);
        st->st_size = 0;  // as for a device: its size comes from size()
    }
    return 0;
}

int FaultEnv::unlink(const char *path)
{
    return base_->unlink(path);
}

int FaultEnv::rename(const char *from, const char *to)
{
    return base_->rename(from, to);
}

const char *FaultEnv::path(env_file *f)
{
    return base_->path(f);
}

int FaultEnv::open_flags(env_file *f)
{
    return base_->open_flags(f);
}

#include "records.h"

#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <unordered_set>

#include "cause.h"
#include "change.h"
#include "keys.h"
#include "output.h"
#include "platform/vldsim/admin.h"
#include "root.h"

namespace propctl {

namespace {

// Keys imported in one transaction.  A larger file commits in steps of
// this many keys; running the import again completes one that was cut.
constexpr size_t kImportBatchKeys = 10000;

// An import reads the file twice: once to the end, where the library
// checks the file as a whole, with nothing applied; then again to apply
// it.  Neither pass holds more than one step's values.

// Owns an open record file; closes it (without finishing an export) when
// dropped on a failure path.
class RecordFile {
  public:
    ~RecordFile()
    {
        if (cbkp_ != nullptr) prop_cbkp_term(cbkp_);
    }
    prop_cbkp **out() { return &cbkp_; }
    prop_cbkp *get() const { return cbkp_; }
    // Finishes the file: an export is written out whole.  0 or the code.
    uint32_t close()
    {
        prop_cbkp *c = cbkp_;
        cbkp_ = nullptr;
        return prop_cbkp_term(c);
    }

  private:
    prop_cbkp *cbkp_ = nullptr;
};

RecordRun failure(uint32_t rc, RecordFault fault, std::string detail = "")
{
    RecordRun r;
    r.rc = rc;
    r.fault = fault;
    r.detail = std::move(detail);
    return r;
}

// A counter on the terminal only where the caller wants one.
struct MaybeProgress {
    MaybeProgress(bool on, const std::string &label)
    {
        if (on) line = std::make_unique<Progress>(label);
    }
    void step(uint64_t done, uint64_t total = 0)
    {
        if (line) line->step(done, total);
    }
    void message(const std::string &text)
    {
        if (line) line->message(text);
    }
    void done()
    {
        if (line) line->done();
    }
    std::unique_ptr<Progress> line;
};

void fill_record(const std::string &name, const Value &v, const sec_attr &sec, prop_record *rec)
{
    std::snprintf(rec->keyname, sizeof rec->keyname, "%s", name.c_str());
    // A value too big for a record keeps its true length: the library refuses it.
    std::memcpy(rec->value, v.data.data(), std::min(v.data.size(), sizeof rec->value));
    rec->value_len = static_cast<uint32_t>(v.data.size());
    rec->value_type = v.type;
    rec->userperm = sec.userperm;
    rec->groupperm = sec.groupperm;
    rec->otherperm = sec.otherperm;
    std::snprintf(rec->username, sizeof rec->username, "%s", sec.username);
    std::snprintf(rec->groupname, sizeof rec->groupname, "%s", sec.groupname);
}

// Why the library refused a key's record.
std::string refusal(const std::string &name, const Value &v)
{
    const std::string size = std::to_string(v.data.size());
    if (v.data.size() > PROP_RECORD_VALUE_MAX)
        return name + ": a value of " + size + " bytes, a record holds at most " +
               std::to_string(PROP_RECORD_VALUE_MAX);
    return name + ": a " + type_name(v.type) + " value of " + size +
           " bytes that a record cannot carry (its bytes disagree with its type, or hold what reads as the end of "
           "a record)";
}

}  // namespace

RecordRun export_records(const RecordStore &s, const std::string &file, const std::string &top)
{
    if (std::string why; !top.empty() && !key_name_ok(top, &why)) return failure(PROP_E_ARG, RecordFault::command, why);
    const std::vector<std::string> tops = top.empty() ? top_level_keys() : std::vector<std::string>{top};
    RecordFile out;
    if (uint32_t rc = prop_cbkp_init(s.ctx, nullptr, out.out(), file.c_str(), PROP_CBKP_EXPORT, 0, nullptr, 0); rc != 0)
        return failure(rc, rc == PROP_E_EXPORTEXISTS ? RecordFault::exists : RecordFault::command, file);
    MaybeProgress progress(s.progress, "propctl export");
    auto rec = std::make_unique<prop_record>();
    RecordRun run;
    auto write = [&](const std::string &name, propr_keyhandle *key) -> uint32_t {
        Value v;
        sec_attr sec{};
        uint32_t rc = read_value(s.ctx, key, &v);
        if (rc == 0) rc = prop_get_security(s.ctx, key, &sec);
        if (rc != 0) return rc;
        fill_record(name, v, sec, rec.get());
        // A value the record cannot carry is the refusal to explain; a file
        // the system would not write has a cause of its own.
        if ((rc = prop_cbkp_writerec(out.get(), rec.get())) != 0 && recorded_errno(s.zkv) == 0)
            run = failure(rc, RecordFault::record, refusal(name, v));
        progress.step(++run.keys);
        return rc;
    };
    std::string failed;
    uint32_t rc = 0;
    for (size_t i = 0; i < tops.size() && rc == 0; i++) rc = walk_tree(s.ctx, s.meta, tops[i], write, &failed);
    // A file given up on goes before it is closed, so it is never seen whole.
    const uint32_t closed = rc == 0 ? out.close() : 0;
    progress.done();
    if (rc == 0 && closed == 0) return run;
    if (in_volume_manager(file))
        vld_admin_remove_file(file);
    else
        ::unlink(file.c_str());
    if (run.fault == RecordFault::record) return run;
    return rc != 0 ? failure(rc, RecordFault::key, failed) : failure(closed, RecordFault::command);
}

namespace {

// The changes of one transaction, and the values too big to travel in it.
struct ImportStep {
    std::vector<Change> changes;
    std::vector<std::pair<std::string, Value>> large;  // set after the step commits
    std::set<std::string> names;
};

Change change_of(uint32_t opcode, const std::string &name, const sec_attr &sec)
{
    Change c;
    c.what = "import " + name;
    c.key_name = name;
    c.opcode = opcode;
    c.sec = sec;
    return c;
}

// A key that is there already gets the record's security and value.
uint32_t plan_update(backend_ctx *ctx, const std::string &name, const sec_attr &sec, const Value &v, ImportStep *step)
{
    Change s = change_of(PROP_BATCH_SET_SECURITY, name, sec);
    Change val = change_of(v.type == PROP_TYPE_NOVALUE ? PROP_BATCH_DELETE_VALUE : PROP_BATCH_SET_VALUE, name, sec);
    val.value = v;
    uint32_t rc = open_key(ctx, name, &s.key);
    if (rc == 0) rc = open_key(ctx, name, &val.key);
    if (rc != 0) return rc;
    step->changes.push_back(std::move(s));
    if (v.data.size() > PROP_BATCH_VALUE_SIZE)
        step->large.emplace_back(name, v);
    else
        step->changes.push_back(std::move(val));
    return 0;
}

// A new key is made under the nearest key that exists before the step;
// keys between them are made by earlier records of the same step.
uint32_t plan_create(backend_ctx *ctx, const std::string &name, const sec_attr &sec, const Value &v, ImportStep *step)
{
    const bool inline_value = v.type != PROP_TYPE_NOVALUE && v.data.size() <= PROP_BATCH_VALUE_SIZE;
    Change c = change_of(inline_value ? PROP_BATCH_CREATE_SET : PROP_BATCH_CREATE_KEY, name, sec);
    if (uint32_t rc = open_nearest(ctx, name, &c.key, &c.name); rc != 0) return rc;
    if (inline_value) c.value = v;
    step->changes.push_back(std::move(c));
    if (v.type != PROP_TYPE_NOVALUE && !inline_value) step->large.emplace_back(name, v);
    return 0;
}

// A record's owner or group into a security record, which holds one
// character less than a record; false when it does not fit.
bool copy_name(char (&dst)[PROP_NAME_SIZE], const char *src)
{
    size_t n = strnlen(src, PROP_NAME_SIZE);
    if (n >= PROP_NAME_SIZE) return false;
    std::memcpy(dst, src, n + 1);
    return true;
}

bool security_of(const prop_record &rec, sec_attr *sec)
{
    sec->userperm = rec.userperm;
    sec->groupperm = rec.groupperm;
    sec->otherperm = rec.otherperm;
    return copy_name(sec->username, rec.username) && copy_name(sec->groupname, rec.groupname);
}

uint32_t plan_record(backend_ctx *ctx, const prop_record &rec, ImportStep *step, RecordRun *run)
{
    sec_attr sec{};
    if (!security_of(rec, &sec)) return PROP_E_FORMAT;
    Value v{rec.value_type, std::string(reinterpret_cast<const char *>(rec.value), rec.value_len)};
    Key probe;
    uint32_t rc = open_key(ctx, rec.keyname, &probe);
    probe.reset();
    if (rc == 0) return plan_update(ctx, rec.keyname, sec, v, step);
    if (rc != PROP_E_STALE) return rc;
    run->created++;
    return plan_create(ctx, rec.keyname, sec, v, step);
}

// Commits a step, then sets the values that were too big to go with it.
// false with the failure in *run.
bool apply_step(backend_ctx *ctx, ImportStep *step, RecordRun *run)
{
    size_t failed = 0;
    if (uint32_t rc = apply_batch(ctx, step->changes, &failed); rc != 0) {
        if (failed < step->changes.size())
            *run = failure(rc, RecordFault::change, step->changes[failed].what);
        else
            *run = failure(rc, RecordFault::command);
        return false;
    }
    for (const auto &[name, v] : step->large) {
        Key key;
        uint32_t rc = open_key(ctx, name, &key);
        if (rc == 0)
            rc = prop_set_value(ctx, key.get(), v.type, v.data.data(), static_cast<uint32_t>(v.data.size()), 0);
        if (rc != 0) {
            *run = failure(rc, RecordFault::change, "import " + name);
            return false;
        }
    }
    run->steps++;
    *step = ImportStep{};
    return true;
}

// The keys of the file in its order, as the first pass sees them: each
// name once, and every key's parent before it (an export lists a tree from
// the top down), but the first key's, which the store must hold.  Names
// are kept as hashes, a few bytes a key.
class NameOrder {
  public:
    // "" when name may come next, else what is wrong.
    std::string add(const std::string &name)
    {
        const size_t h = std::hash<std::string>{}(name);
        const std::string parent = parent_name(name);
        if (!seen_.empty() && !parent.empty() && seen_.count(std::hash<std::string>{}(parent)) == 0)
            return name + " comes before its parent " + parent;
        if (!seen_.insert(h).second) return name + " appears twice";
        return "";
    }

  private:
    std::unordered_set<size_t> seen_;
};

// Reads the records of file in order, but those the mode leaves out; each
// goes to visit, and one that returns false ends the reading.  The code
// the reading ended with (PROP_E_NOMORE at the end of the file), or 0
// when visit ended it; *opened says whether the file was opened at all.
using RecordVisit = std::function<bool(const prop_record &)>;
uint32_t read_records(const RecordStore &s, const std::string &file, uint32_t mode, const std::string &importer,
                      const RecordVisit &visit, bool *opened)
{
    RecordFile in;
    uint32_t rc = prop_cbkp_init(s.ctx, nullptr, in.out(), file.c_str(), PROP_CBKP_IMPORT, mode, importer.c_str(), 0);
    *opened = rc == 0;
    if (rc != 0) return rc;
    auto rec = std::make_unique<prop_record>();
    while ((rc = prop_cbkp_readrec(in.get(), rec.get())) == 0) {
        if (rec->keyname[0] == '\0') continue;
        if (!visit(*rec)) return 0;
    }
    return rc;
}

// The first pass: every record read and checked, nothing applied.  The
// count of keys goes to run->keys; false with the failure in *run.
bool check_records(const RecordStore &s, const std::string &file, uint32_t mode, const std::string &importer,
                   RecordRun *run)
{
    MaybeProgress progress(s.progress, "propctl import: checking");
    NameOrder order;
    auto check = [&](const prop_record &rec) {
        const std::string name = rec.keyname;
        sec_attr sec{};
        if (std::string why; !key_name_ok(name, &why))
            *run = failure(PROP_E_ARG, RecordFault::command, why);
        else if (!security_of(rec, &sec))
            *run = failure(PROP_E_FORMAT, RecordFault::key, name);
        else if (std::string wrong = order.add(name); !wrong.empty())
            *run = failure(PROP_E_FORMAT, RecordFault::command, file + ": " + wrong + "; nothing was imported");
        else
            progress.step(++run->keys);
        return run->rc == 0;
    };
    bool opened = false;
    const uint32_t rc = read_records(s, file, mode, importer, check, &opened);
    progress.done();
    if (run->rc != 0) return false;
    if (rc != PROP_E_NOMORE) *run = failure(rc, RecordFault::command, opened ? file + ": nothing was imported" : "");
    return run->rc == 0;
}

}  // namespace

RecordRun import_records(const RecordStore &s, const std::string &file, uint32_t mode, const std::string &importer)
{
    RecordRun checked;
    if (!check_records(s, file, mode, importer, &checked)) return checked;
    MaybeProgress progress(s.progress, "propctl import");
    ImportStep step;
    RecordRun run;
    auto apply = [&](const prop_record &rec) {
        step.names.insert(rec.keyname);
        if (uint32_t rc = plan_record(s.ctx, rec, &step, &run); rc != 0) {
            run = failure(rc, RecordFault::key, rec.keyname);
            return false;
        }
        progress.step(++run.keys, checked.keys);
        return step.names.size() < kImportBatchKeys || apply_step(s.ctx, &step, &run);
    };
    bool opened = false;
    const uint32_t rc = read_records(s, file, mode, importer, apply, &opened);
    if (run.rc != 0) return run;
    if (!opened) return failure(rc, RecordFault::command);
    // The file changed since the first pass.
    if (rc != PROP_E_NOMORE || run.keys != checked.keys) return failure(PROP_E_FORMAT, RecordFault::command, file);
    progress.message("committing");
    if (!apply_step(s.ctx, &step, &run)) return run;
    progress.done();
    return run;
}

}  // namespace propctl

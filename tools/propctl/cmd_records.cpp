// export and import: the key tree, key by key, in a record file.
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <unordered_set>

#include "cause.h"
#include "commands.h"
#include "platform/vldsim/admin.h"

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

int run_export(Invocation &inv)
{
    const std::string file = file_arg(inv.args.args[0]);
    std::vector<std::string> tops = top_level_keys();
    if (inv.args.args.size() > 1) {
        if (int st = check_key_name(inv, inv.args.args[1]); st != 0) return st;
        tops = {inv.args.args[1]};
    }
    backend_ctx *ctx = inv.session.ctx();
    inv.session.involve(file, true);
    RecordFile out;
    if (uint32_t rc = prop_cbkp_init(ctx, nullptr, out.out(), file.c_str(), PROP_CBKP_EXPORT, 0, nullptr, 0); rc != 0)
        return inv.out.fail(rc == PROP_E_EXPORTEXISTS ? inv.what + ": " + file + " exists" : inv.what, rc);
    Progress progress("propctl export");
    auto rec = std::make_unique<prop_record>();
    uint64_t keys = 0;
    std::string refused;
    auto write = [&](const std::string &name, propr_keyhandle *key) -> uint32_t {
        Value v;
        sec_attr sec{};
        uint32_t rc = read_value(ctx, key, &v);
        if (rc == 0) rc = prop_get_security(ctx, key, &sec);
        if (rc != 0) return rc;
        fill_record(name, v, sec, rec.get());
        // A value the record cannot carry is the refusal to explain; a file
        // the system would not write has a cause of its own.
        if ((rc = prop_cbkp_writerec(out.get(), rec.get())) != 0 && recorded_errno(inv.session.zkv()) == 0)
            refused = refusal(name, v);
        progress.step(++keys);
        return rc;
    };
    std::string failed;
    uint32_t rc = 0;
    for (size_t i = 0; i < tops.size() && rc == 0; i++) rc = walk_tree(ctx, inv.session.meta(), tops[i], write, &failed);
    // A file given up on goes before it is closed, so it is never seen whole.
    uint32_t closed = rc == 0 ? out.close() : 0;
    progress.done();
    if (rc != 0 || closed != 0) {
        if (in_volume_manager(file))
            vld_admin_remove_file(file);
        else
            ::unlink(file.c_str());
        if (!refused.empty()) return inv.out.fail(inv.what, rc, Cause{refused, kExitFailed});
        return rc != 0 ? key_failure(inv, failed, rc) : inv.out.fail(inv.what, closed);
    }
    inv.out.line("exported " + std::to_string(keys) + " keys to " + file);
    Json j;
    inv.out.document(j.begin_object().key("file").str(file).key("keys").num(keys).end_object());
    return 0;
}

// The changes of one transaction, and the values too big to travel in it.
struct ImportStep {
    std::vector<Change> changes;
    std::vector<std::pair<std::string, Value>> large;  // set after the step commits
    std::set<std::string> names;
};

struct ImportCounts {
    uint64_t keys = 0;
    uint64_t created = 0;
    uint64_t steps = 0;
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

uint32_t plan_record(backend_ctx *ctx, const prop_record &rec, ImportStep *step, ImportCounts *counts)
{
    sec_attr sec{};
    if (!security_of(rec, &sec)) return PROP_E_FORMAT;
    Value v{rec.value_type, std::string(reinterpret_cast<const char *>(rec.value), rec.value_len)};
    Key probe;
    uint32_t rc = open_key(ctx, rec.keyname, &probe);
    probe.reset();
    if (rc == 0) return plan_update(ctx, rec.keyname, sec, v, step);
    if (rc != PROP_E_STALE) return rc;
    counts->created++;
    return plan_create(ctx, rec.keyname, sec, v, step);
}

// Commits a step, then sets the values that were too big to go with it.
int apply_step(Invocation &inv, ImportStep *step, ImportCounts *counts)
{
    size_t failed = 0;
    if (uint32_t rc = apply_batch(inv.session.ctx(), step->changes, &failed); rc != 0)
        return inv.out.fail(failed < step->changes.size() ? step->changes[failed].what : inv.what, rc);
    for (const auto &[name, v] : step->large) {
        Key key;
        uint32_t rc = open_key(inv.session.ctx(), name, &key);
        if (rc == 0)
            rc = prop_set_value(inv.session.ctx(), key.get(), v.type, v.data.data(),
                                static_cast<uint32_t>(v.data.size()), 0);
        if (rc != 0) return inv.out.fail("import " + name, rc);
    }
    counts->steps++;
    *step = ImportStep{};
    return 0;
}

uint32_t parse_mode(const std::string &text, uint32_t *mode)
{
    if (text == "asis") *mode = PROP_CBKP_IMPORT_ASIS;
    else if (text == "security") *mode = PROP_CBKP_IMPORT_DEFAULTS;
    else if (text == "database") *mode = PROP_CBKP_IMPORT_DATABASE;
    else return PROP_E_ARG;
    return 0;
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

// Opens the file for one pass.  0 or the exit status.
int open_records(Invocation &inv, const std::string &file, uint32_t mode, RecordFile *in)
{
    const sec_attr mine = inv.session.new_key_security();
    if (uint32_t rc = prop_cbkp_init(inv.session.ctx(), nullptr, in->out(), file.c_str(), PROP_CBKP_IMPORT, mode,
                                     mine.username, 0);
        rc != 0)
        return inv.out.fail(inv.what, rc);
    return 0;
}

// Reads the records of file in order, but those the mode leaves out; each
// goes to visit, whose non-zero status ends the reading and is returned.
// *end is the code the reading ended with.
int read_records(Invocation &inv, const std::string &file, uint32_t mode,
                 const std::function<int(const prop_record &)> &visit, uint32_t *end)
{
    RecordFile in;
    if (int st = open_records(inv, file, mode, &in); st != 0) return st;
    auto rec = std::make_unique<prop_record>();
    while ((*end = prop_cbkp_readrec(in.get(), rec.get())) == 0) {
        if (rec->keyname[0] == '\0') continue;
        if (int st = visit(*rec); st != 0) return st;
    }
    return 0;
}

// The first pass: every record read and checked, nothing applied.
int check_records(Invocation &inv, const std::string &file, uint32_t mode, uint64_t *keys)
{
    Progress progress("propctl import: checking");
    NameOrder order;
    uint32_t rc = 0;
    auto check = [&](const prop_record &rec) {
        const std::string name = rec.keyname;
        if (int st = check_key_name(inv, name); st != 0) return st;
        sec_attr sec{};
        if (!security_of(rec, &sec)) return key_failure(inv, name, PROP_E_FORMAT);
        if (std::string wrong = order.add(name); !wrong.empty())
            return inv.out.fail(inv.what + ": " + file + ": " + wrong + "; nothing was imported", PROP_E_FORMAT);
        progress.step(++*keys);
        return 0;
    };
    if (int st = read_records(inv, file, mode, check, &rc); st != 0) return st;
    progress.done();
    if (rc != PROP_E_NOMORE) return inv.out.fail(inv.what + ": " + file + ": nothing was imported", rc);
    return 0;
}

int run_import(Invocation &inv)
{
    const std::string file = file_arg(inv.args.args[0]);
    uint32_t mode = 0;
    if (parse_mode(inv.args.value("mode", "asis"), &mode) != 0)
        return inv.out.usage(inv.what + ": --mode is asis, security or database");
    inv.session.involve(file);
    uint64_t checked = 0;
    if (int st = check_records(inv, file, mode, &checked); st != 0) return st;
    Progress progress("propctl import");
    ImportStep step;
    ImportCounts counts;
    uint32_t rc = 0;
    auto apply = [&](const prop_record &rec) {
        step.names.insert(rec.keyname);
        if (uint32_t prc = plan_record(inv.session.ctx(), rec, &step, &counts); prc != 0)
            return key_failure(inv, rec.keyname, prc);
        progress.step(++counts.keys, checked);
        return step.names.size() == kImportBatchKeys ? apply_step(inv, &step, &counts) : 0;
    };
    if (int st = read_records(inv, file, mode, apply, &rc); st != 0) return st;
    // The file changed since the first pass.
    if (rc != PROP_E_NOMORE || counts.keys != checked) return inv.out.fail(inv.what + ": " + file, PROP_E_FORMAT);
    progress.message("committing");
    if (int st = apply_step(inv, &step, &counts); st != 0) return st;
    progress.done();
    inv.out.line("imported " + std::to_string(counts.keys) + " keys (" + std::to_string(counts.created) +
                 " new) from " + file);
    Json j;
    j.begin_object().key("file").str(file).key("keys").num(counts.keys).key("created").num(counts.created);
    inv.out.document(j.key("transactions").num(counts.steps).end_object());
    return 0;
}

}  // namespace

void add_record_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "export",
        "FILE [KEY]",
        "write every key (or KEY and the keys below it) to a new record file",
        "Each key goes into FILE with its value, owner, group and permissions,\n"
        "and the file ends with a seal that counts the keys and checks their\n"
        "bytes.  FILE must not exist.  The export fails as a whole, and FILE is\n"
        "removed, when a key cannot be written (a value over 65536 bytes does not\n"
        "fit a record, nor a text without its terminating NUL); a file cut short\n"
        "is refused by import.  FILE may be a file of a volume-manager disk group,\n"
        "+DG:NAME.\n",
        {},
        1,
        2,
        reads_store,
        run_export,
        nullptr,
    });
    table->push_back(Command{
        "import",
        "FILE [--mode asis|security|database]",
        "create or update the keys of a record file",
        "Every key of FILE is created, or updated when it exists, with the value\n"
        "and security the file gives; keys not in FILE are left alone.  The whole\n"
        "file is read and checked first: one cut short, missing a part, damaged\n"
        "anywhere, or listing a key before its parent is refused and nothing is\n"
        "imported.  Up to 10000 keys are one transaction; a larger file commits\n"
        "every 10000 keys and can be imported again to complete it after a cut.\n"
        "A value over 4096 bytes does not fit a batch record: it is set in a\n"
        "transaction of its own once the keys around it are committed.\n"
        "\n"
        "  asis      owner, group and permissions as the file has them (default)\n"
        "  security  you become the owner; owner and group may do anything,\n"
        "            others nothing; text values get one more NUL (multi: two)\n"
        "  database  only the keys under DATABASE\n",
        {{"mode", 0, "MODE", "asis, security or database"}},
        1,
        1,
        writes_store,
        run_import,
        nullptr,
    });
}

}  // namespace propctl

// export and import: the key tree, key by key, in a record file.
#include "commands.h"
#include "records.h"

namespace propctl {

namespace {

// What a run that failed prints, as each step of it says.
int record_failure(const Invocation &inv, const RecordRun &r)
{
    switch (r.fault) {
    case RecordFault::exists: return inv.out.fail(inv.what + ": " + r.detail + " exists", r.rc);
    case RecordFault::record: return inv.out.fail(inv.what, r.rc, Cause{r.detail, kExitFailed});
    case RecordFault::key: return key_failure(inv, r.detail, r.rc);
    case RecordFault::change: return store_failure(inv, r.detail, r.rc);
    default: return store_failure(inv, r.detail.empty() ? inv.what : inv.what + ": " + r.detail, r.rc);
    }
}

int run_export(Invocation &inv)
{
    const std::string file = file_arg(inv.args.args[0]);
    const std::string top = inv.args.args.size() > 1 ? inv.args.args[1] : "";
    if (inv.args.args.size() > 1)
        if (int st = check_key_name(inv, top); st != 0) return st;
    inv.session.involve(file, true);
    const RecordRun r = inv.session.store().export_to(file, top);
    if (r.rc != 0) return record_failure(inv, r);
    inv.out.line("exported " + std::to_string(r.keys) + " keys to " + file);
    Json j;
    inv.out.document(j.begin_object().key("file").str(file).key("keys").num(r.keys).end_object());
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

int run_import(Invocation &inv)
{
    const std::string file = file_arg(inv.args.args[0]);
    uint32_t mode = 0;
    if (parse_mode(inv.args.value("mode", "asis"), &mode) != 0)
        return inv.out.usage(inv.what + ": --mode is asis, security or database");
    inv.session.involve(file);
    const RecordRun r = inv.session.store().import_from(file, mode, inv.session.new_key_security().username);
    if (r.rc != 0) return record_failure(inv, r);
    inv.out.line("imported " + std::to_string(r.keys) + " keys (" + std::to_string(r.created) + " new) from " + file);
    Json j;
    j.begin_object().key("file").str(file).key("keys").num(r.keys).key("created").num(r.created);
    inv.out.document(j.key("transactions").num(r.steps).end_object());
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
        "+DG:NAME.  Through propregd the daemon writes FILE, for root and its own\n"
        "user only.\n",
        {},
        1,
        2,
        reads_store,
        run_export,
        nullptr,
        served_always,
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
        "transaction of its own once the keys around it are committed.  Through\n"
        "propregd the daemon reads FILE, for root and its own user only.\n"
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
        served_always,
    });
}

}  // namespace propctl

// set, create, unset, rm and mv: the changes to keys.  Each plans its
// change against the store as it is, so that a batch can make the same
// changes as one transaction.
#include "commands.h"

namespace propctl {

namespace {

Change change_for(const Invocation &inv, const std::string &key, uint32_t opcode)
{
    Change c;
    c.what = inv.what;
    c.key_name = key;
    c.opcode = opcode;
    return c;
}

// The type a set writes: the one asked for, else the one the key's value
// has (a port stays an int when set to 8081), else text.  0 or the
// reported exit status.
int type_to_set(const Invocation &inv, const Change &c, std::string *type, bool *kept)
{
    *kept = false;
    *type = inv.args.value("type", "text");
    if (inv.args.has("type") || !c.name.empty()) return 0;
    Value now;
    if (uint32_t rc = inv.session.store().value(c.key, &now); rc != 0)
        return key_failure(inv, c.key_name, rc);
    const std::string held = type_name(now.type);
    *kept = held != "none" && held != "unknown";
    if (*kept) *type = held;
    return 0;
}

// A key that exists gets the value; otherwise it is created under its
// deepest existing ancestor, with every key missing between them.
int plan_set(Invocation &inv, std::vector<Change> *out)
{
    const std::string &name = inv.args.args[0];
    if (int st = check_key_name(inv, name); st != 0) return st;
    Change c = change_for(inv, name, PROP_BATCH_SET_VALUE);
    if (uint32_t rc = inv.session.keys().open_nearest(name, &c.key, &c.name); rc != 0)
        return key_failure(inv, name, rc);
    bool kept = false;
    std::string type, why;
    if (int st = type_to_set(inv, c, &type, &kept); st != 0) return st;
    std::vector<std::string> words(inv.args.args.begin() + 1, inv.args.args.end());
    if (!value_from_args(type, words, inv.args.value("file"), &c.value, &why)) {
        if (kept) why = name + " holds " + (type == "int" || type == "int64" ? "an " : "a ") + type + " value: " + why +
                        " (--type gives it another type)";
        return inv.out.fail(inv.what + ": " + why, PROP_E_ARG);
    }
    if (!c.name.empty()) {
        c.opcode = PROP_BATCH_CREATE_SET;
        c.sec = inv.session.new_key_security();
    }
    out->push_back(std::move(c));
    return 0;
}

int plan_create(Invocation &inv, std::vector<Change> *out)
{
    const std::string &name = inv.args.args[0];
    if (int st = check_key_name(inv, name); st != 0) return st;
    Change c = change_for(inv, name, PROP_BATCH_CREATE_KEY);
    if (uint32_t rc = inv.session.keys().open_nearest(name, &c.key, &c.name); rc != 0)
        return key_failure(inv, name, rc);
    if (c.name.empty()) return 0;  // already there: nothing to do
    c.sec = inv.session.new_key_security();
    out->push_back(std::move(c));
    return 0;
}

int plan_unset(Invocation &inv, std::vector<Change> *out)
{
    const std::string &name = inv.args.args[0];
    if (int st = check_key_name(inv, name); st != 0) return st;
    Change c = change_for(inv, name, PROP_BATCH_DELETE_VALUE);
    if (uint32_t rc = inv.session.keys().open(name, &c.key); rc != 0) return key_failure(inv, name, rc);
    out->push_back(std::move(c));
    return 0;
}

int plan_rm(Invocation &inv, std::vector<Change> *out)
{
    const std::string &name = inv.args.args[0];
    if (int st = check_key_name(inv, name); st != 0) return st;
    // The top-level keys are part of the store's format; nothing can make
    // them again.
    if (is_top_level(name)) return inv.out.fail(inv.what + ": a top-level key cannot be removed", PROP_E_ARG);
    Change c = change_for(inv, name, inv.args.has("recursive") ? PROP_BATCH_DELETE_TREE : PROP_BATCH_DELETE_KEY);
    if (uint32_t rc = inv.session.keys().open(name, &c.key); rc != 0) return key_failure(inv, name, rc);
    out->push_back(std::move(c));
    return 0;
}

int plan_mv(Invocation &inv, std::vector<Change> *out)
{
    const std::string &from = inv.args.args[0];
    const std::string &to = inv.args.args[1];
    if (int st = check_key_name(inv, from); st != 0) return st;
    if (int st = check_key_name(inv, to); st != 0) return st;
    if (is_top_level(from) || is_top_level(to))
        return inv.out.fail(inv.what + ": a top-level key cannot be moved or replaced", PROP_E_ARG);
    // The library does not look: a key moved under itself would be cut off
    // from the tree with everything below it.
    if (within(to, from)) return inv.out.fail(inv.what + ": cannot move a key into itself", PROP_E_ARG);
    KeyBook &keys = inv.session.keys();
    Change c = change_for(inv, from, PROP_BATCH_MOVE_KEY);
    c.name = last_component(to);
    if (uint32_t rc = keys.open(from, &c.key); rc != 0) return key_failure(inv, from, rc);
    const std::string parent = parent_name(to);
    if (uint32_t rc = keys.open(parent, &c.target_parent); rc != 0) return key_failure(inv, parent, rc);
    uint32_t rc = keys.open(to, &c.target);
    if (rc == 0 && !inv.args.has("replace"))
        return inv.out.fail(inv.what + ": " + to + " exists (--replace replaces it)", PROP_E_EXISTS);
    if (rc != 0 && rc != PROP_E_STALE) return key_failure(inv, to, rc);
    out->push_back(std::move(c));
    return 0;
}

}  // namespace

void add_write_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "set",
        "KEY VALUE... [--type text|multi|int|int64|bytes] [--file FILE]",
        "set the value of a key, creating it and its missing parents",
        "Types: text (one word, quote it), multi (one string per word), int (0 to\n"
        "4294967295), int64 (0 to 18446744073709551615) and bytes (hex digits, or\n"
        "--file FILE; '-' reads stdin).  --file also reads a text value.  Numbers\n"
        "are decimal or 0x hex; a leading 0 is still decimal (010 is ten).\n"
        "A key that has a value keeps its type unless --type is given, and a\n"
        "value that does not fit that type is refused; a new key is text unless\n"
        "--type says otherwise.  A value beginning with '-' goes after '--', in\n"
        "a batch line too: 'propctl set SYSTEM.flag -- -v' sets the text -v.\n"
        "A new key belongs to the caller: the owner may do anything, the group\n"
        "and others may read.  A value holds at most 81536 bytes.\n",
        {
            {"type", 't', "TYPE", "text, multi, int, int64 or bytes"},
            {"file", 'f', "FILE", "read the value from FILE ('-': stdin)"},
        },
        1,
        kAnyNumber,
        writes_store,
        run_planned,
        plan_set,
        served_always,
    });
    table->push_back(Command{
        "create",
        "KEY",
        "create a key without a value (and its missing parents)",
        "Creating a key that exists changes nothing.\n",
        {},
        1,
        1,
        writes_store,
        run_planned,
        plan_create,
        served_always,
    });
    table->push_back(Command{
        "unset",
        "KEY",
        "remove the value of a key, keeping the key",
        "",
        {},
        1,
        1,
        writes_store,
        run_planned,
        plan_unset,
        served_always,
    });
    table->push_back(Command{
        "rm",
        "[-r] KEY",
        "remove a key (with -r: and everything below it)",
        "Without -r a key that has subkeys is not removed.\n",
        {{"recursive", 'r', nullptr, "remove the whole subtree"}},
        1,
        1,
        writes_store,
        run_planned,
        plan_rm,
        served_always,
    });
    table->push_back(Command{
        "mv",
        "KEY NEWKEY [--replace]",
        "move a key, with everything below it, to a new name",
        "NEWKEY's parent must exist.  A key already at NEWKEY is only replaced\n"
        "(with its whole subtree) when --replace is given.\n",
        {{"replace", 0, nullptr, "replace an existing NEWKEY"}},
        2,
        2,
        writes_store,
        run_planned,
        plan_mv,
        served_always,
    });
}

}  // namespace propctl

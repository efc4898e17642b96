// sec: a key's owner, group and the three permission levels.
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "commands.h"

namespace propctl {

namespace {

struct Level {
    uint32_t value;
    const char *name;
};

constexpr Level kLevels[] = {
    {PROP_PERM_NONE, "NONE"},
    {PROP_PERM_QUERY_KEY, "QUERY_KEY"},
    {PROP_PERM_ENUMERATE_SUB_KEYS, "ENUMERATE_SUB_KEYS"},
    {PROP_PERM_READ, "READ"},
    {PROP_PERM_SET_KEY, "SET_KEY"},
    {PROP_PERM_CREATE_LINK, "CREATE_LINK"},
    {PROP_PERM_CREATE_SUB_KEY, "CREATE_SUB_KEY"},
    {PROP_PERM_DELETE_KEY, "DELETE_KEY"},
    {PROP_PERM_WRITE, "WRITE"},
    {PROP_PERM_ALL_ACCESS, "ALL_ACCESS"},
};

const char *level_name(uint32_t value)
{
    for (const Level &l : kLevels)
        if (l.value == value) return l.name;
    return "";
}

// A level by name (any case) or number; the store keeps one byte of it,
// so larger numbers are refused rather than cut.
bool parse_level(const std::string &text, uint32_t *out)
{
    for (const Level &l : kLevels)
        if (strcasecmp(text.c_str(), l.name) == 0) {
            *out = l.value;
            return true;
        }
    char *end = nullptr;
    unsigned long n = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || n > 255) return false;
    *out = static_cast<uint32_t>(n);
    return true;
}

constexpr const char *kSetters[] = {"owner", "group", "owner-perm", "group-perm", "other-perm"};

bool changes_security(const Parsed &args)
{
    for (const char *s : kSetters)
        if (args.has(s)) return true;
    return false;
}

Access sec_access(const Parsed &args)
{
    return changes_security(args) ? Access::write : Access::read;
}

std::string level_text(uint32_t value)
{
    std::string name = level_name(value);
    return name.empty() ? std::to_string(value) : name + " (" + std::to_string(value) + ")";
}

// Applies the options to sec; "" or what is wrong.
std::string edit(const Parsed &args, sec_attr *sec)
{
    for (const char *who : {"owner", "group"}) {
        if (!args.has(who)) continue;
        std::string name = args.value(who);
        if (name.empty() || name.size() >= PROP_NAME_SIZE)
            return std::string("--") + who + " takes a name of 1 to 63 characters";
        std::snprintf(who[0] == 'o' ? sec->username : sec->groupname, PROP_NAME_SIZE, "%s", name.c_str());
    }
    struct {
        const char *option;
        uint32_t *field;
    } levels[] = {{"owner-perm", &sec->userperm}, {"group-perm", &sec->groupperm}, {"other-perm", &sec->otherperm}};
    for (auto &l : levels)
        if (args.has(l.option) && !parse_level(args.value(l.option), l.field))
            return std::string("--") + l.option + " takes a level name or a number from 0 to 255";
    return "";
}

int plan_sec(Invocation &inv, std::vector<Change> *out)
{
    const std::string &name = inv.args.args[0];
    if (int st = check_key_name(inv, name); st != 0) return st;
    if (!changes_security(inv.args)) return inv.out.fail(inv.what + ": nothing to change", PROP_E_ARG);
    Change c;
    c.what = inv.what;
    c.key_name = name;
    c.opcode = PROP_BATCH_SET_SECURITY;
    uint32_t rc = inv.session.keys().open(name, &c.key);
    // The library replaces all five fields at once: start from the current.
    if (rc == 0) rc = inv.session.store().security(c.key, &c.sec);
    if (rc != 0) return key_failure(inv, name, rc);
    if (std::string bad = edit(inv.args, &c.sec); !bad.empty()) return inv.out.fail(inv.what + ": " + bad, PROP_E_ARG);
    out->push_back(std::move(c));
    return 0;
}

int run_sec(Invocation &inv)
{
    if (changes_security(inv.args)) return run_planned(inv);
    const std::string &name = inv.args.args[0];
    if (int st = check_key_name(inv, name); st != 0) return st;
    Key key;
    sec_attr sec{};
    uint32_t rc = inv.session.store().open(name, &key);
    if (rc == 0) rc = inv.session.store().security(key, &sec);
    if (rc != 0) return key_failure(inv, name, rc);
    inv.out.line(std::string("owner  ") + sec.username + "  " + level_text(sec.userperm));
    inv.out.line(std::string("group  ") + sec.groupname + "  " + level_text(sec.groupperm));
    inv.out.line("other  " + level_text(sec.otherperm));
    Json j;
    j.begin_object().key("key").str(name).key("owner").str(sec.username).key("group").str(sec.groupname);
    j.key("owner_perm").num(sec.userperm).key("group_perm").num(sec.groupperm).key("other_perm").num(sec.otherperm);
    inv.out.document(j.end_object());
    return 0;
}

}  // namespace

void add_security_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "sec",
        "KEY [--owner NAME] [--group NAME] [--owner-perm L] [--group-perm L] [--other-perm L]",
        "show or change the owner, group and permission levels of a key",
        "Without options, shows them.  A level L is a number from 0 to 255 or a\n"
        "name: NONE (0), QUERY_KEY (1), ENUMERATE_SUB_KEYS (2), READ (3), SET_KEY (4),\n"
        "CREATE_LINK (16), CREATE_SUB_KEY (32), DELETE_KEY (40), WRITE (52),\n"
        "ALL_ACCESS (63).  Options not given keep their current value.\n",
        {
            {"owner", 0, "NAME", "the owning user"},
            {"group", 0, "NAME", "the group"},
            {"owner-perm", 0, "L", "the owner's level"},
            {"group-perm", 0, "L", "the group's level"},
            {"other-perm", 0, "L", "everybody else's level"},
        },
        1,
        1,
        sec_access,
        run_sec,
        plan_sec,
        served_always,
    });
}

}  // namespace propctl

// vld: the volume manager's disk groups, their files and mirror copies,
// and the controls its own tools would give (make, mount, fill, take the
// instance down, damage one copy of a block).
#include <cerrno>
#include <cstdlib>

#include "commands.h"
#include "platform/vldsim/admin.h"

namespace propctl {

namespace {

// A decimal number up to max: larger ones are refused, never cut short.
bool number(const std::string &text, uint64_t max, uint64_t *out)
{
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    *out = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0 && *out <= max;
}

constexpr const char *kActions[] = {"list", "create", "mount", "unmount", "fill", "unfill", "down", "up", "damage"};

bool known_action(const std::string &action)
{
    for (const char *a : kActions)
        if (action == a) return true;
    return false;
}

std::string describe_file(const vld_admin_file &f)
{
    if (!f.whole) return "  " + f.name + "  (header unreadable)";
    std::string kind = f.kind == VLD_KIND_REGISTRY ? "store file"
                       : f.kind == VLD_KIND_BACKUP ? "backup file"
                                                   : "kind " + std::to_string(f.kind);
    std::string line = "  " + f.name + "  " + kind + (f.registry ? " (registry file)" : "") + ", " +
                       std::to_string(f.blocks) + " blocks of " + std::to_string(f.block_size) + ", " +
                       std::to_string(f.mirrors) + " mirror copies";
    if (f.max_blocks != VLD_UNLIMITED)
        line += ", grows by " + std::to_string(f.growth) + " to " + std::to_string(f.max_blocks) + " blocks";
    return line + (f.committed ? "" : ", not committed");
}

int list(Invocation &inv)
{
    std::vector<vld_admin_dg> groups;
    if (std::string why = vld_admin_list(&groups); !why.empty()) return inv.out.problem("vld: " + why);
    const bool up = vld_admin_instance_up();
    inv.out.line("volume manager at " + vld_admin_root() + ": instance " + (up ? "up" : "down"));
    if (groups.empty()) inv.out.line("no disk groups ('propctl vld create +NAME' makes one)");
    Json j;
    j.begin_object().key("root").str(vld_admin_root()).key("instance_up").boolean(up).key("disk_groups").begin_array();
    for (const vld_admin_dg &g : groups) {
        inv.out.line(g.name + "  " + (g.mounted ? "mounted" : "not mounted") + (g.full ? ", full" : "") + ", " +
                     std::to_string(g.attrs.mirrors) + " mirror copies, writes " +
                     (g.attrs.sync ? "synced" : "buffered"));
        j.begin_object().key("name").str(g.name).key("mounted").boolean(g.mounted).key("full").boolean(g.full);
        j.key("mirrors").num(g.attrs.mirrors).key("synced").boolean(g.attrs.sync).key("files").begin_array();
        for (const vld_admin_file &f : g.files) {
            inv.out.line(describe_file(f));
            j.begin_object().key("name").str(f.name).key("whole").boolean(f.whole).key("kind").num(f.kind);
            j.key("registry").boolean(f.registry).key("committed").boolean(f.committed).key("blocks").num(f.blocks);
            j.key("block_size").num(f.block_size).key("mirrors").num(f.mirrors).key("growth").num(f.growth);
            j.key("max_blocks").num(f.max_blocks).end_object();
        }
        j.end_array().end_object();
    }
    inv.out.document(j.end_array().end_object());
    return 0;
}

// What is wrong with the words of an action that changes the stand-in;
// "" when they can be acted on.
std::string misuse(const Invocation &inv, const std::string &action, const std::string &name)
{
    const Parsed &a = inv.args;
    uint64_t n = 0;
    if (!known_action(action)) return "unknown action '" + action + "' ('propctl vld --help')";
    if (action != "down" && action != "up" && name.empty()) return action + " needs a disk group or file name";
    if (a.has("copies") && (!number(a.value("copies"), VLD_MAX_MIRRORS, &n) || n < 1))
        return "--copies takes 1 to 6";
    if (a.has("mirror") && (!number(a.value("mirror"), VLD_MAX_MIRRORS, &n) || n < 1))
        return "--mirror takes 1 to 6";
    if (a.has("block") && !number(a.value("block"), UINT32_MAX, &n)) return "--block takes a block number";
    return "";
}

// The actions that change the stand-in; "" or what went wrong.
std::string act(const Invocation &inv, const std::string &action, const std::string &name, std::string *done)
{
    const Parsed &a = inv.args;
    if (action == "down" || action == "up") {
        *done = "instance " + action;
        return vld_admin_instance(action == "up");
    }
    if (action == "create") {
        uint64_t copies = 2;
        if (a.has("copies")) number(a.value("copies"), VLD_MAX_MIRRORS, &copies);
        *done = "created " + name;
        return vld_admin_create_dg(name, static_cast<u32>(copies), !a.has("no-sync"));
    }
    if (action == "mount" || action == "unmount") {
        *done = action + "ed " + name;
        return vld_admin_mount(name, action == "mount");
    }
    if (action == "fill" || action == "unfill") {
        *done = name + (action == "fill" ? " has no free space" : " has free space again");
        return vld_admin_fill(name, action == "fill");
    }
    if (action == "damage") {
        uint64_t mirror = 1, block = 25;
        if (a.has("mirror")) number(a.value("mirror"), VLD_MAX_MIRRORS, &mirror);
        if (a.has("block")) number(a.value("block"), UINT32_MAX, &block);
        *done = "damaged block " + std::to_string(block) + " of mirror copy " + std::to_string(mirror) + " of " + name;
        return vld_admin_damage(name, static_cast<u32>(mirror), block);
    }
    return "";
}

int run_vld(Invocation &inv)
{
    use_root(inv.session.root());
    const std::vector<std::string> &args = inv.args.args;
    const std::string action = args.empty() ? "list" : args[0];
    if (action == "list") return list(inv);
    const std::string name = args.size() > 1 ? args[1] : "";
    if (std::string why = misuse(inv, action, name); !why.empty()) return inv.out.usage("vld: " + why);
    std::string done;
    if (std::string why = act(inv, action, name, &done); !why.empty()) return inv.out.problem("vld: " + why);
    inv.out.line(done);
    Json j;
    inv.out.document(j.begin_object().key("done").str(done).end_object());
    return 0;
}

}  // namespace

void add_vld_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "vld",
        "[list | create +DG | mount +DG | unmount +DG | fill +DG | unfill +DG | down | up | damage NAME]",
        "show and control the volume manager's disk groups",
        "Lists the disk groups of the volume manager (their directory is\n"
        "$ZKV_VLD_ROOT, else 'vld' beside the configuration root) with their files\n"
        "and mirror copies.  A cluster registry lives in disk groups: see\n"
        "'propctl init --disk-group'.  The other actions do what the volume\n"
        "manager's own tools do, to try out how the registry takes it:\n"
        "  create +DG      a disk group (--copies N mirror copies per file, default 2;\n"
        "                  --no-sync: writes are buffered, not durable)\n"
        "  mount, unmount  make a disk group reachable or not\n"
        "  fill, unfill    leave it no space to extend files, or give it back\n"
        "  down, up        stop or start the instance: every disk group goes away\n"
        "  damage NAME     overwrite one block of one mirror copy of a file (NAME a\n"
        "                  complete file name, or +DG for its registry file;\n"
        "                  --mirror M, default 1; --block B, default 25, the boot block)\n",
        {
            {"copies", 0, "N", "create: mirror copies per file (1 to 6, default 2)"},
            {"no-sync", 0, nullptr, "create: buffered writes, not durable against power loss"},
            {"mirror", 0, "M", "damage: the mirror copy (default 1)"},
            {"block", 0, "B", "damage: the block of the file (default 25, the store's boot block)"},
        },
        0,
        2,
        no_store,
        run_vld,
        nullptr,
    });
}

}  // namespace propctl

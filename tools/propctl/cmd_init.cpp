// init: a new store under the root.
#include "commands.h"
#include "storesize.h"

namespace propctl {

namespace {

bool parse_copies(const std::string &text, size_t *out)
{
    if (text.size() != 1 || text[0] < '1' || text[0] > '5') return false;
    *out = static_cast<size_t>(text[0] - '0');
    return true;
}

// Disk groups for the copies of a cluster registry: one each, "+" added
// where it was left off.  "" or what is wrong.
std::string disk_groups(const Parsed &a, size_t copies, StoreDesc *desc)
{
    const std::vector<std::string> &groups = a.values("disk-group");
    if (desc->kind != Kind::cluster) return "--disk-group needs --cluster (a local registry lives in a file)";
    if (a.has("location")) return "--disk-group and --location cannot be mixed";
    if (a.has("copies") && copies != groups.size())
        return groups.size() == 1 ? "each copy needs a disk group of its own: repeat --disk-group"
                                  : "--copies and the number of --disk-group differ";
    if (groups.size() > PROP_MAX_LOCATIONS) return "a cluster registry has at most 5 locations";
    for (const std::string &g : groups) {
        std::string name = g.empty() || g[0] != '+' ? "+" + g : g;
        for (const std::string &seen : desc->locations)
            if (seen == name) return "each copy needs a disk group of its own: " + name + " is named twice";
        desc->locations.push_back(name);
    }
    return "";
}

// The kind and locations asked for; "" or what is wrong with them.
std::string describe_request(const Invocation &inv, StoreDesc *desc)
{
    const Parsed &a = inv.args;
    desc->kind = a.has("cluster") ? Kind::cluster : Kind::local;
    desc->developer = a.has("dev");
    const std::vector<std::string> &given = a.values("location");
    size_t copies = given.empty() ? 1 : given.size();
    if (a.has("copies")) {
        if (desc->kind != Kind::cluster) return "--copies needs --cluster";
        if (!parse_copies(a.value("copies"), &copies)) return "--copies takes 1 to 5";
        if (!given.empty() && given.size() != copies) return "--copies and the number of --location differ";
    }
    if (a.has("size")) {
        if (a.has("disk-group")) return "--size is for files: a store in the volume manager has the disk group's sizes";
        std::string why;
        if (!parse_size(a.value("size"), &desc->size, &why)) return "--size: " + why;
        if (desc->size < kDefaultLocationBytes)
            return "--size is at least " + std::to_string(kDefaultLocationBytes) + " bytes (" +
                   size_text(kDefaultLocationBytes) + ", the default)";
        if (desc->size > largest_location_bytes())
            return "--size is at most " + std::to_string(largest_location_bytes()) + " bytes (" +
                   size_text(largest_location_bytes()) + ")";
    }
    if (a.has("disk-group")) return disk_groups(a, copies, desc);
    if (desc->kind == Kind::local && copies != 1) return "a local registry has one location";
    if (copies > PROP_MAX_LOCATIONS) return "a cluster registry has at most 5 locations";
    for (size_t i = 0; i < copies; i++)
        desc->locations.push_back(given.empty() ? default_location(inv.session.root(), desc->kind, static_cast<unsigned>(i))
                                                : absolute_path(given[i]));
    return "";
}

int run_init(Invocation &inv)
{
    StoreDesc desc;
    std::string bad = describe_request(inv, &desc);
    if (!bad.empty()) return inv.out.usage("init: " + bad);
    if (int st = inv.session.format(desc, "init"); st != 0) return st;
    // What the store ended up on: a disk group is named by its file now.
    const StoreDesc &made = inv.session.desc();
    const bool durable = locations_durable(made);
    inv.out.line("created a " + std::string(kind_name(desc.kind)) + " registry at " + inv.session.root().dir);
    for (const std::string &loc : made.locations) inv.out.line("  location " + loc);
    inv.out.line(durable             ? "  durable: writes go to the device before they are reported done"
                 : made.developer ? "  developer mode: buffered writes, not durable against power loss"
                                  : "  not durable: a disk group buffers its writes");
    Json j;
    j.begin_object().key("root").str(inv.session.root().dir).key("kind").str(kind_name(desc.kind));
    j.key("durable").boolean(durable).key("locations").begin_array();
    for (const std::string &loc : made.locations) j.str(loc);
    j.end_array().end_object();
    inv.out.document(j);
    return 0;
}

}  // namespace

void add_init_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "init",
        "[--cluster [--copies N]] [--location PATH | --disk-group +DG]... [--size SIZE] [--dev]",
        "create a store under the root",
        "Creates a local registry (one location, the default) or a cluster registry\n"
        "(--cluster: one to five mirrored locations).  Locations are files under\n"
        "ROOT/data unless --location names them; put copies on different disks.\n"
        "A cluster registry may instead live in the volume manager: one copy in\n"
        "each disk group named by --disk-group (made, with 2 mirror copies, when it\n"
        "does not exist yet; 'propctl vld' shows them).  The store file takes the\n"
        "place of the disk group's name in the configuration.\n"
        "Both kinds write with direct I/O, synced before a change is done, and are\n"
        "durable against power loss; --dev (developer mode) buffers writes and is\n"
        "not.  An init cut short leaves no store, and running it again makes one;\n"
        "a finished store is never formatted over.\n"
        "\n"
        "Each location file is 480.2 MiB, room for about 100,000 keys, unless\n"
        "--size sets it (bytes, or K, M, G, T: powers of 1024; at least the\n"
        "default, at most 125.8 GiB).  Files are sparse: the disk is used as keys\n"
        "are written.  Every key takes at least one 4096-byte page; a value over\n"
        "256 bytes takes more.  A store made with --size can later grow to four\n"
        "times its size ('propctl grow'), one made without it to 588.2 MiB.\n",
        {
            {"cluster", 0, nullptr, "a cluster registry, mirrored on every location"},
            {"copies", 0, "N", "number of locations of a cluster registry (1 to 5; default 1)"},
            {"location", 0, "PATH", "a location file (repeat for each copy)"},
            {"disk-group", 0, "+DG", "a disk group of the volume manager (repeat for each copy)"},
            {"size", 0, "SIZE", "bytes of each location file (default 480.2 MiB)"},
            {"dev", 0, nullptr, "developer mode: buffered I/O, not durable"},
        },
        0,
        0,
        no_store,
        run_init,
        nullptr,
    });
}

}  // namespace propctl

// init: a new store under the root.
#include "commands.h"

namespace propctl {

namespace {

bool parse_copies(const std::string &text, size_t *out)
{
    if (text.size() != 1 || text[0] < '1' || text[0] > '5') return false;
    *out = static_cast<size_t>(text[0] - '0');
    return true;
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
    if (!bad.empty()) return inv.out.problem("init: " + bad);
    if (int st = inv.session.format(desc, "init"); st != 0) return st;
    const bool durable = !desc.developer;
    inv.out.line("created a " + std::string(kind_name(desc.kind)) + " registry at " + inv.session.root().dir);
    for (const std::string &loc : desc.locations) inv.out.line("  location " + loc);
    inv.out.line(durable ? "  durable: writes go to the device before they are reported done"
                         : "  developer mode: buffered writes, not durable against power loss");
    Json j;
    j.begin_object().key("root").str(inv.session.root().dir).key("kind").str(kind_name(desc.kind));
    j.key("durable").boolean(durable).key("locations").begin_array();
    for (const std::string &loc : desc.locations) j.str(loc);
    j.end_array().end_object();
    inv.out.document(j);
    return 0;
}

}  // namespace

void add_init_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "init",
        "[--cluster [--copies N]] [--location PATH]... [--dev]",
        "create a store under the root",
        "Creates a local registry (one location, the default) or a cluster registry\n"
        "(--cluster: one to five mirrored locations).  Locations are files under\n"
        "ROOT/data unless --location names them; put copies on different disks.\n"
        "Both kinds write with direct, synchronous I/O and are durable against\n"
        "power loss; --dev (developer mode) buffers writes and is not.  An init\n"
        "cut short leaves no store, and running it again makes one; a finished\n"
        "store is never formatted over.\n",
        {
            {"cluster", 0, nullptr, "a cluster registry, mirrored on every location"},
            {"copies", 0, "N", "number of locations of a cluster registry (1 to 5; default 1)"},
            {"location", 0, "PATH", "a location file (repeat for each copy)"},
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

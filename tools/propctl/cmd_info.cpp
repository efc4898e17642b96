// info: what and where the store is.
#include "commands.h"

namespace propctl {

namespace {

int run_info(Invocation &inv)
{
    const StoreDesc &d = inv.session.desc();
    StoreInfo info;
    if (uint32_t rc = inv.session.store().describe(d.kind, &info); rc != 0) return store_failure(inv, "info", rc);
    const bool durable = locations_durable(d);
    inv.out.line("root            " + inv.session.root().dir);
    inv.out.line("registry        " + std::string(kind_name(d.kind)) + ", " + std::to_string(info.locations.size()) +
                 (info.locations.size() == 1 ? " location" : " mirrored locations"));
    inv.out.line(std::string("durable         ") + (durable         ? "yes"
                                                  : d.developer ? "no (developer mode: buffered writes)"
                                                                : "no (a disk group buffers its writes)"));
    inv.out.line("format version  " + std::to_string(info.format_version));
    inv.out.line(std::string("propctl         ") + PROPCTL_VERSION);
    for (size_t i = 0; i < info.locations.size(); i++)
        inv.out.line("location " + std::to_string(i) + "      " + info.locations[i] + "  (device id " +
                     std::to_string(info.device_ids[i]) + ")");
    Json j;
    j.begin_object().key("root").str(inv.session.root().dir).key("kind").str(kind_name(d.kind));
    j.key("durable").boolean(durable).key("format_version").num(info.format_version);
    j.key("version").str(PROPCTL_VERSION).key("locations").begin_array();
    for (size_t i = 0; i < info.locations.size(); i++)
        j.begin_object().key("path").str(info.locations[i]).key("device_id").num(info.device_ids[i]).end_object();
    inv.out.document(j.end_array().end_object());
    return 0;
}

}  // namespace

void add_info_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "info",
        "",
        "show the store: kind, durability, versions, locations and device ids",
        "",
        {},
        0,
        0,
        // The format version is only answered at a level that may write.
        writes_store,
        run_info,
        nullptr,
        served_always,
    });
}

}  // namespace propctl

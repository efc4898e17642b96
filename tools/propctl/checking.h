// What check runs on a store and verify on a backup: the status scan of
// every block of every location, then the walk of the key tree.
#pragma once

#include <cstdint>

#include "commands.h"
#include "watch.h"

namespace propctl {

struct Checked {
    prop_status status{};
    uint32_t device_ids[PROP_MAX_LOCATIONS] = {};
    size_t locations = 0;
    Watched scan;
    Watched tree;
    uint64_t keys = 0;  // keys the walk reached
    bool sound = false;
};

// Runs both on the store or backup the session holds; 0, or the exit
// status of a failure it has reported.
int run_checks(Invocation &inv, Checked *out);
// The scan alone: the locations, their states and device ids.
int scan_locations(Invocation &inv, Checked *out);
// "current", "stale", "corrupt"...: a location's state for people.
const char *location_state_name(uint32_t state);
// What they found, for people; what names what was checked ("store").
void print_checks(const Invocation &inv, const Checked &c, const char *what);
// The same as members of the open JSON object j.
void checks_json(Json &j, const Checked &c);

}  // namespace propctl

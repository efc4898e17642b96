// What the library logs while one call runs, collected from this thread's
// operation log: the findings of a scan or a walk, and why a backup
// stopped.  propctl and the daemon report the same lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "propreg/frontend.h"

namespace propctl {

struct Watched {
    uint32_t rc = 0;
    std::vector<std::string> lines;  // the operation log, without time stamps
};

// Runs call with the log attached to zkv; its lines, without their time
// stamps, go to lines.  Returns what call returned.
uint32_t logged(przkv_ctx *zkv, const std::function<uint32_t()> &call, std::vector<std::string> *lines);

// Runs call; the words the library gave with a failure beyond its code's
// (why a batch was refused as a whole: the undo log's bound, say) go to
// *why, "" when it gave none.  Returns what call returned.
uint32_t explained(przkv_ctx *zkv, const std::function<uint32_t()> &call, std::string *why);

}  // namespace propctl

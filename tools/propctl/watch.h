// Long reads of the whole store (the status scan, the corruption check):
// while the call runs, another thread shows on stderr how many pages it has
// read, and what the library reported along the way is collected from this
// thread's operation log.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "oplog.h"
#include "session.h"

namespace propctl {

Watched watch(const Session &session, const std::string &label, const std::function<uint32_t()> &call);
Watched watch(przkv_ctx *zkv, const std::string &label, const std::function<uint32_t()> &call);

}  // namespace propctl

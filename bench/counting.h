// Reads, writes and durable barriers of each store location, counted through the library's
// file seam: a fault layer without rules sits under every file the library
// opens while a counter lives.
#pragma once

#include <string>
#include <vector>

#include "core/types.h"
#include "platform/fault_env.h"

struct IoCount {
    std::vector<u64> writes;  // per location, in the order of the paths
    std::vector<u64> reads;
    std::vector<u64> barriers;
};

class IoCounter {
  public:
    IoCounter();
    ~IoCounter();
    IoCounter(const IoCounter &) = delete;
    IoCounter &operator=(const IoCounter &) = delete;

    // Reads, writes and barriers seen so far on each of the paths.
    IoCount now(const std::vector<std::string> &paths) const;

  private:
    FaultEnv env_;
    Env *previous_;
};

// What happened between two counts.
IoCount io_delta(const IoCount &before, const IoCount &after);

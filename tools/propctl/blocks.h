// One raw block of a store, read for support work, and what its fields
// hold: propctl reads it from the store it opened, and the daemon from a
// read-only view of the store it serves, with the same code.
#pragma once

#include <cstdint>
#include <string>

#include "propreg/prop.h"

namespace propctl {

inline constexpr size_t kBlockSize = 4096;
inline constexpr uint32_t kReportSize = 8192;  // what show holds at most

struct RawBlock {
    uint32_t number = 0;   // in: the block asked for by number; out: the block read
    uint32_t found = 0;    // 0, 38 (free) or 39 (its header does not validate)
    std::string bytes;     // kBlockSize of them
    std::string report;    // show: what the fields hold
};

// Reads the block of key's tree node (key "": the block out->number) from
// location (0 to 4, or PROP_BLOCK_ALL_LOCATIONS), and with show what it holds.  0 or
// the code of the step that failed.
uint32_t read_block(backend_ctx *ctx, const std::string &key, uint32_t location, bool show, RawBlock *out);

}  // namespace propctl

// The fixed-width names every floor uses, platform's own included: kept
// here so that platform, the lowest floor, needs nothing from above it.
#pragma once

#include <cstddef>
#include <cstdint>

using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;
using u64 = uint64_t;
using i32 = int32_t;
using i64 = int64_t;

#define PROP_PRINTF(fmt_idx, args_idx) __attribute__((format(printf, fmt_idx, args_idx)))

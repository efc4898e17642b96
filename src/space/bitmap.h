// Bit arithmetic on one free-space bitmap (4064 bytes, 32512 bits): bit b
// is bit (b & 7) of byte b >> 3, and a set bit means "in use".
#pragma once

#include "core/types.h"

constexpr u32 PROPR_BITMAP_BYTES = 4064;
constexpr u32 PROPR_BITMAP_BITS = PROPR_BITMAP_BYTES * 8;

inline bool bitmap_test(const u8 *map, u32 bit)
{
    return (map[bit >> 3] >> (bit & 7)) & 1U;
}
inline void bitmap_set(u8 *map, u32 bit)
{
    map[bit >> 3] = static_cast<u8>(map[bit >> 3] | (1U << (bit & 7)));
}
inline void bitmap_clear(u8 *map, u32 bit)
{
    map[bit >> 3] = static_cast<u8>(map[bit >> 3] & ~(1U << (bit & 7)));
}

// The lowest clear bit at or above from, or -1 when every such bit is set.
i32 bitmap_first_clear(const u8 *map, u32 from);
// The highest set bit, or -1 when no bit is set.
i32 bitmap_highest_set(const u8 *map);

// The bounds-checked big-endian cursor over a 4096-byte block: every
// on-disk integer outside the block header is read and written through it.
#pragma once

#include "core/types.h"

enum : u32 {
    CURSOR_U32 = 1,     // a u32 as 4 big-endian bytes
    CURSOR_STRING = 2,  // a zero-terminated string, without its terminator
    CURSOR_U32_ALT = 3, // a u32, as mode 1
};

// Writes at *cursor and advances it; PROP_OK, or PROP_E_STORAGE with nothing written and the
// cursor unchanged when the data does not fit.
// proprutabuf: append to buffer.
u32 proprutabuf(u8 *buf, i32 *cursor, const void *source, u32 mode);
// Reads at *cursor and advances it; PROP_OK, or PROP_E_STORAGE with the destination set to 0.
// proprutrbuf: read from buffer.
u32 proprutrbuf(const u8 *buf, i32 *cursor, void *destination, u32 mode);

// Fixed-offset forms for record fields.
// In range, the load is inlined: slot scans read several fields per entry.
// Out of range goes through the cursor, which logs and yields 0.
inline u32 be32_at(const u8 *buf, i32 offset)
{
    if (offset >= 0 && offset <= static_cast<i32>(PROP_PAGE_SIZE) - 4)
        return (static_cast<u32>(buf[offset]) << 24) | (static_cast<u32>(buf[offset + 1]) << 16) |
               (static_cast<u32>(buf[offset + 2]) << 8) | buf[offset + 3];
    u32 v = 0;
    proprutrbuf(buf, &offset, &v, CURSOR_U32);
    return v;
}
inline u32 be32_put(u8 *buf, i32 offset, u32 value)
{
    return proprutabuf(buf, &offset, &value, CURSOR_U32);
}

#include "space/bitmap.h"

#include <bit>
#include <cstring>

i32 bitmap_first_clear(const u8 *map, u32 from)
{
    if (from >= PROPR_BITMAP_BITS) return -1;
    // Finish the partial byte bit by bit, then skip full bytes whole.
    u32 bit = from;
    for (; (bit & 7) != 0; ++bit)
        if (!bitmap_test(map, bit)) return static_cast<i32>(bit);
    u32 byte = bit >> 3;
    // A page allocation scans from the start of a map whose front is full:
    // skip eight full bytes at a time.
    for (u64 word = 0; byte + 8 <= PROPR_BITMAP_BYTES; byte += 8) {
        std::memcpy(&word, map + byte, 8);
        if (word != ~u64{0}) break;
    }
    for (; byte < PROPR_BITMAP_BYTES; ++byte) {
        if (map[byte] == 0xFF) continue;
        u32 free_bits = static_cast<u8>(~map[byte]);
        return static_cast<i32>(byte * 8 + static_cast<u32>(std::countr_zero(free_bits)));
    }
    return -1;
}

i32 bitmap_highest_set(const u8 *map)
{
    for (u32 byte = PROPR_BITMAP_BYTES; byte-- > 0;) {
        if (map[byte] == 0) continue;
        return static_cast<i32>(byte * 8 + 7 - static_cast<u32>(std::countl_zero(map[byte])));
    }
    return -1;
}

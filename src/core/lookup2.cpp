#include "core/lookup2.h"

namespace {

inline void mix(u32 &a, u32 &b, u32 &c)
{
    a -= b; a -= c; a ^= (c >> 13);
    b -= c; b -= a; b ^= (a << 8);
    c -= a; c -= b; c ^= (b >> 13);
    a -= b; a -= c; a ^= (c >> 12);
    b -= c; b -= a; b ^= (a << 16);
    c -= a; c -= b; c ^= (b >> 5);
    a -= b; a -= c; a ^= (c >> 3);
    b -= c; b -= a; b ^= (a << 10);
    c -= a; c -= b; c ^= (b >> 15);
}

inline u32 le32(const u8 *k)
{
    return k[0] | (static_cast<u32>(k[1]) << 8) | (static_cast<u32>(k[2]) << 16) |
           (static_cast<u32>(k[3]) << 24);
}

}  // namespace

u32 lookup2_hash(const void *key, size_t length, u32 initval)
{
    const u8 *k = static_cast<const u8 *>(key);
    u32 a = 0x9e3779b9, b = 0x9e3779b9, c = initval;
    size_t len = length;
    while (len >= 12) {
        a += le32(k);
        b += le32(k + 4);
        c += le32(k + 8);
        mix(a, b, c);
        k += 12;
        len -= 12;
    }
    c += static_cast<u32>(length);
    switch (len) {  // the low byte of c is taken by the length
    case 11: c += static_cast<u32>(k[10]) << 24; [[fallthrough]];
    case 10: c += static_cast<u32>(k[9]) << 16; [[fallthrough]];
    case 9: c += static_cast<u32>(k[8]) << 8; [[fallthrough]];
    case 8: b += static_cast<u32>(k[7]) << 24; [[fallthrough]];
    case 7: b += static_cast<u32>(k[6]) << 16; [[fallthrough]];
    case 6: b += static_cast<u32>(k[5]) << 8; [[fallthrough]];
    case 5: b += k[4]; [[fallthrough]];
    case 4: a += static_cast<u32>(k[3]) << 24; [[fallthrough]];
    case 3: a += static_cast<u32>(k[2]) << 16; [[fallthrough]];
    case 2: a += static_cast<u32>(k[1]) << 8; [[fallthrough]];
    case 1: a += k[0]; [[fallthrough]];
    default: break;
    }
    mix(a, b, c);
    return c;
}

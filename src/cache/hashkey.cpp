#include <cstring>

#include "cache/internal.h"
#include "core/lookup2.h"

namespace propreg {

namespace {

constexpr u32 kParentSeed = 0x4903193D;
constexpr u32 kBucketSeed = 0x3E6B2FCF;
constexpr char kSeparator = '.';
constexpr char kJoin[] = "_@@";
constexpr size_t kJoinLen = sizeof kJoin - 1;

// Writes n in decimal, backwards from the end of buf; returns where it starts.
char *decimal_tail(char (&buf)[10], u32 n)
{
    char *p = buf + sizeof buf;
    do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    return p;
}

}  // namespace

keyparts parse_keyname(const char *name, size_t len)
{
    keyparts kp{0, 0, 0, 0};
    size_t prev_end = 0;  // end of the component before the current one
    size_t i = 0;
    while (i < len) {
        if (name[i] == kSeparator) {
            i++;
            continue;
        }
        size_t start = i;
        while (i < len && name[i] != kSeparator) i++;
        kp.depth++;
        kp.parent_len = prev_end;
        kp.last_off = start;
        kp.last_len = i - start;
        prev_end = i;
    }
    return kp;
}

bool build_hashkey(const char *name, const keyparts &kp, hashkey_buf *out)
{
    char digits[10];
    const char *num = decimal_tail(digits, lookup2_hash(name, kp.parent_len, kParentSeed) & 0x7FFFFFFFu);
    size_t numlen = static_cast<size_t>(digits + sizeof digits - num);
    if (kp.last_len + kJoinLen + numlen + 1 > sizeof out->text) return false;
    char *p = out->text;
    std::memcpy(p, name + kp.last_off, kp.last_len);
    p += kp.last_len;
    std::memcpy(p, kJoin, kJoinLen);
    p += kJoinLen;
    std::memcpy(p, num, numlen);
    p[numlen] = '\0';
    return true;
}

u32 hashkey_bucket_hash(const char *key, size_t length)
{
    return lookup2_hash(key, length, kBucketSeed) & 0xFFFFu;
}

}  // namespace propreg

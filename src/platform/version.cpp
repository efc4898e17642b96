#include "platform/version.h"

namespace {

struct VersionField {
    u32 shift;
    u32 max;
};

constexpr VersionField kFields[] = {{24, 0xFF}, {20, 0xF}, {12, 0xFF}, {8, 0xF}, {0, 0xFF}};
constexpr u32 kNumFields = sizeof(kFields) / sizeof(kFields[0]);

// Parses one decimal component starting at *p, stopping at '.' or the end.
// Returns false for an empty component, a non-digit or a value above max.
bool parse_component(const char **p, u32 max, u32 *value)
{
    const char *s = *p;
    u32 v = 0;
    u32 digits = 0;
    for (; *s >= '0' && *s <= '9'; s++, digits++) {
        v = v * 10 + static_cast<u32>(*s - '0');
        if (v > max) return false;
    }
    if (digits == 0 || (*s != '.' && *s != '\0')) return false;
    *p = s;
    *value = v;
    return true;
}

}  // namespace

bool version_to_number(const char *text, u32 *number)
{
    if (number == nullptr) return false;
    *number = 0;
    if (text == nullptr || *text == '\0') return false;
    u32 packed = 0;
    const char *p = text;
    for (u32 i = 0;; i++) {
        u32 v = 0;
        if (i == kNumFields || !parse_component(&p, kFields[i].max, &v)) return false;
        packed |= v << kFields[i].shift;
        if (*p == '\0') break;
        p++;  // the '.'
    }
    *number = packed;
    return true;
}

#include "format/cursor.h"

#include <cstring>

#include "platform/trace.h"

namespace {

constexpr i32 kBlock = static_cast<i32>(PROP_PAGE_SIZE);

trace_comp raw()
{
    static trace_comp comp = trace_component_named(TRACE_RAW);
    return comp;
}

}  // namespace

u32 proprutabuf(u8 *buf, i32 *cursor, const void *source, u32 mode)
{
    i32 at = *cursor;
    if (at < 0) {
        trace_print(raw(), 0, "proprutabuf: ERROR....negative offset passed %d", at);
        return PROP_E_STORAGE;
    }
    if (at > kBlock) {
        trace_print(raw(), 0, "proprutabuf: ERROR....large offset passed %d", at);
        return PROP_E_STORAGE;
    }
    switch (mode) {
    case CURSOR_STRING: {
        const char *s = static_cast<const char *>(source);
        i32 len = static_cast<i32>(std::strlen(s));
        if (at > kBlock - len) {
            trace_print(raw(), 0,
                        "proprutabuf:0 The buffer does not have space to store the data. Offset passed is [%d] String [%s]. Pointer will NOT be incremented, and data NOT copied",
                        at, s);
            return PROP_E_STORAGE;
        }
        std::memcpy(buf + at, s, static_cast<size_t>(len));
        *cursor = at + len;
        return PROP_OK;
    }
    case CURSOR_U32:
    case CURSOR_U32_ALT: {
        if (at > kBlock - 4) {
            trace_print(raw(), 0,
                        mode == CURSOR_U32
                            ? "proprutabuf:1 The offset passed is invalid [%d]. Pointer will NOT be incremented, and data NOT copied"
                            : "proprutabuf:2 The offset passed is invalid [%d]. Pointer will NOT be incremented, and data NOT copied",
                        at);
            return PROP_E_STORAGE;
        }
        u32 v;
        std::memcpy(&v, source, 4);
        buf[at] = static_cast<u8>(v >> 24);
        buf[at + 1] = static_cast<u8>(v >> 16);
        buf[at + 2] = static_cast<u8>(v >> 8);
        buf[at + 3] = static_cast<u8>(v);
        *cursor = at + 4;
        return PROP_OK;
    }
    default:
        return PROP_OK;
    }
}

u32 proprutrbuf(const u8 *buf, i32 *cursor, void *destination, u32 mode)
{
    if (mode != CURSOR_U32 && mode != CURSOR_U32_ALT) return PROP_OK;
    i32 at = *cursor;
    if (at < 0 || at > kBlock - 4) {
        trace_print(raw(), 0, "proprutrbuf: the offset passed is invalid [%d]. Pointer will NOT be incremented.", at);
        u32 zero = 0;
        std::memcpy(destination, &zero, 4);
        return PROP_E_STORAGE;
    }
    u32 v = (static_cast<u32>(buf[at]) << 24) | (static_cast<u32>(buf[at + 1]) << 16) |
            (static_cast<u32>(buf[at + 2]) << 8) | buf[at + 3];
    std::memcpy(destination, &v, 4);
    *cursor = at + 4;
    return PROP_OK;
}

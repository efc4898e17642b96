#include "core/tag.h"

#include <cstring>

#include "platform/trace.h"

namespace {

constexpr size_t kTagLen = 8;

trace_comp utl()
{
    static trace_comp comp = trace_component_named(TRACE_UTL);
    return comp;
}

}  // namespace

void u_set_tag(void *record, const char *tag)
{
    if (record == nullptr || tag == nullptr) return;
    auto *r = static_cast<char *>(record);
    std::memcpy(r, tag, kTagLen);
    r[kTagLen] = '\0';
}

u32 u_check_tag(const void *record, const char *tag)
{
    if (record == nullptr || tag == nullptr) {
        trace_print(utl(), 0, "u_check_tag: Parameter passed was NULL");
        return 0;
    }
    const auto *r = static_cast<const unsigned char *>(record);
    for (size_t i = 0; i < kTagLen; i++) {
        if (r[i] != static_cast<unsigned char>(tag[i])) {
            trace_print(utl(), 0,
                        "u_check_tag: Tag check failed on %dth comparison for [%s]. Ptr passed was [%x] Byte was [%d]",
                        static_cast<int>(i), tag, u_ptr32(record), static_cast<int>(r[i]));
            return 0;
        }
    }
    return 1;
}

#include "storage/report.h"

#include "core/error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/handle.h"

trace_comp ut_osd(const proprhandle *handle)
{
    if (handle != nullptr && handle->proprhandle_trace_osd != nullptr) return handle->proprhandle_trace_osd;
    static trace_comp comp = trace_component_named(TRACE_OSD);
    return comp;
}

void ut_os_text(int err, char *buf, size_t size)
{
    if (buf == nullptr || size == 0) return;
    const char *text = strerror_r(err, buf, size);
    if (text != buf) std::snprintf(buf, size, "%s", text);
}

// Until the error elements of the front-end context are reachable through
// the core's error-element functions, the component error is kept in the
// table's global element, which every caller can read.
void ut_comp_error(przkv_ctx *zkv, u32 msgno, u32 arg, const char *text)
{
    u_set_comp_error(zkv, nullptr, msgno, arg, 25, text);
}

void ut_os_error(const proprhandle *handle, int err)
{
    if (handle == nullptr) return;
    char text[256];
    ut_os_text(err, text, sizeof text);
    ut_comp_error(handle->proprhandle_zkvctx, UT_COMPMSG_OS, static_cast<u32>(err), text);
}

namespace {

PROP_PRINTF(3, 0) size_t errbuf_vput(char *buf, size_t capacity, const char *format, va_list ap)
{
    if (buf == nullptr || capacity == 0) return 0;
    std::vsnprintf(buf, capacity, format, ap);
    return std::strlen(buf);
}

}  // namespace

void ut_errbuf_set(char *buf, u64 *size, const char *format, ...)
{
    if (size == nullptr) return;
    va_list ap;
    va_start(ap, format);
    *size = errbuf_vput(buf, static_cast<size_t>(*size), format, ap);
    va_end(ap);
}

void ut_errbuf_set(char *buf, u32 *size, const char *format, ...)
{
    if (size == nullptr) return;
    va_list ap;
    va_start(ap, format);
    *size = static_cast<u32>(errbuf_vput(buf, *size, format, ap));
    va_end(ap);
}

#include "storage/report.h"

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
    static trace_comp utl = trace_component_named(TRACE_UTL);
    if (zkv == nullptr) {
        trace_print(utl, 0, "u_set_comp_error: ZKV context was NULL. Cannot set the component error.");
        return;
    }
    trace_print(utl, 4, "u_set_comp_error: Setting comp error [%d] for comp type [%d]",
                static_cast<int>(arg), static_cast<int>(msgno));
    prop_errelem *elem = zkv->errtab.global;
    if (elem == nullptr) return;
    elem->comp_msg = msgno;
    elem->comp_arg = arg;
    std::snprintf(elem->comp_text, sizeof elem->comp_text, "%s", text != nullptr ? text : "");
}

void ut_os_error(const proprhandle *handle, int err)
{
    if (handle == nullptr) return;
    char text[256];
    ut_os_text(err, text, sizeof text);
    ut_comp_error(handle->proprhandle_zkvctx, UT_COMPMSG_OS, static_cast<u32>(err), text);
}

// The handle's client context, and what every operation does after the
// client fails.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "core/error.h"
#include "vld/vldint.h"
#include "vld/vldname.h"

namespace vldops {

namespace {

// What the client calls back with its own lines.
PROP_PRINTF(2, 3) int client_print(void *comp, const char *format, ...)
{
    char line[VLD_MESSAGE_SIZE];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    trace_print(static_cast<trace_comp>(comp), 0, "%s", line);
    return 1;
}

void raise_unavailable(proprhandle *handle, bool backup)
{
    char logname[PROP_LOCNAME_SIZE] = "";
    if (trace_log_name(logname, sizeof logname) != 0) logname[0] = '\0';
    alert_print(alert_base(handle) + (backup ? 21 : 13), "%s", logname);
}

}  // namespace

vld_context *client(const proprhandle *handle)
{
    return handle != nullptr && handle->proprhandle_vld != nullptr ? handle->proprhandle_vld->ctx : nullptr;
}

u32 alert_base(const proprhandle *handle)
{
    return prop_alert_base(handle != nullptr ? handle->proprhandle_zkvctx : nullptr);
}

u32 split(const char *location, Name *out)
{
    u32 dgsz = sizeof out->dg, fsz = sizeof out->fname;
    const u32 rc = prou_parse_vldfname(location, out->dg, &dgsz, out->fname, &fsz);
    out->dg_bare = out->dg + 1;
    return rc;
}

void record(proprhandle *handle, const vld_error *err, char *stack)
{
    vld_error_message(err, stack, VLD_MESSAGE_SIZE);
    u_set_comp_error(handle != nullptr ? handle->proprhandle_zkvctx : nullptr, nullptr, PROP_COMPMSG_FREE,
                     err != nullptr ? err->status : 0, PROP_COMPTYPE_OS, stack);
}

u32 diagnose(proprhandle *handle, const vld_error *err, const char *who, vld_file *file, const char *dg_bare,
             bool backup)
{
    trace_comp tc = vt(handle);
    char stack[VLD_MESSAGE_SIZE];
    record(handle, err, stack);
    trace_print(tc, 0, "%s: VLD error stack:[%s]", who, stack);
    vld_error check{};
    vld_context *ctx = client(handle);
    u32 st = file != nullptr ? vld_check_handle(&check, ctx, file) : VLD_OK;
    const bool by_handle = st != VLD_OK;
    if (!by_handle && dg_bare != nullptr) st = vld_check_mount(&check, ctx, dg_bare);
    if (st == VLD_EDOWN) {
        trace_print(tc, 0, "%s: The VLD instance is down", who);
    } else if (st == VLD_ENODG) {
        if (by_handle)
            trace_print(tc, 0, "%s: The VLD disk group is not found or not mounted", who);
        else
            trace_print(tc, 0, "%s: The VLD disk group %s is not found or not mounted", who, dg_bare);
    } else {
        return VLD_OK;
    }
    raise_unavailable(handle, backup);
    return st;
}

u32 access_mode(u32 level, u32 *mode)
{
    switch (level) {
    case PROP_LEVEL_RW:
    case PROP_LEVEL_CACHING:
    case PROP_LEVEL_UPGRADE:
    case PROP_LEVEL_LEGACY5: *mode = VLD_MODE_RW; return 0;
    case PROP_LEVEL_READONLY:
    case PROP_LEVEL_LEGACY6:
    case PROP_LEVEL_BACKUP:
    case 0xffffffff: *mode = VLD_MODE_READ; return 0;
    default: return PROP_E_CTX;
    }
}

}  // namespace vldops

using namespace vldops;

u32 proprvldini(proprhandle *handle, u32 mode)
{
    if (handle == nullptr) return PROP_E_CTX;
    if (client(handle) != nullptr) return 0;
    trace_comp tc = vt(handle);
    proprvld_state *state = handle->proprhandle_vld;
    MetaPtr<proprvld_state> made;
    if (state == nullptr) {
        made = MetaPtr<proprvld_state>::alloc(handle->metactx);
        if (!made) {
            trace_print(tc, 0, "proprvldini: Failed to create vld context");
            return PROP_E_NOMEM;
        }
        state = made.get();
        std::memset(state, 0, sizeof *state);
        state->callbacks.print = client_print;
    }
    // The client traces as much as the handle's own volume-manager lines.
    vld_error err{};
    state->ctx = vld_create_context(&err, trace_get_level(tc), &state->callbacks, tc);
    if (state->ctx == nullptr) {
        char stack[VLD_MESSAGE_SIZE];
        record(handle, &err, stack);
        trace_print(tc, 0, "proprvldini: Failed to create vld context");
        trace_print(tc, 0, "proprvldini: VLD error stack:[%s]", stack);
        if (err.status == VLD_EDOWN) raise_unavailable(handle, mode == PROPRVLD_MODE_BACKUP);
        return PROP_E_STORAGE;
    }
    if (made) handle->proprhandle_vld = made.release();
    trace_print(tc, 4, "proprvldini: Successfully initialized VLD ctx");
    return 0;
}

u32 proprvldterm(proprhandle *handle)
{
    if (handle == nullptr || handle->proprhandle_vld == nullptr) return 0;
    trace_comp tc = vt(handle);
    proprvld_state *state = handle->proprhandle_vld;
    vld_error err{};
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        if (state->kept[i] != nullptr) vld_close_file(&err, state->ctx, state->kept[i], 1);
        state->kept[i] = nullptr;
    }
    u32 rc = 0;
    if (state->ctx != nullptr && vld_destroy_context(&err, state->ctx, 1) != VLD_OK) {
        char stack[VLD_MESSAGE_SIZE];
        record(handle, &err, stack);
        trace_print(tc, 0, "proprvldterm: Failed in vld_destroy_context [%d]", static_cast<int>(err.status));
        if (err.status == VLD_EDOWN) raise_unavailable(handle, false);
        rc = PROP_E_STORAGE;
    }
    state->ctx = nullptr;
    u_freem(handle->metactx, state);
    handle->proprhandle_vld = nullptr;
    trace_print(tc, 2, "proprvldterm: Successfully terminated VLD ctx");
    return rc;
}

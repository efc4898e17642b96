// The checks a configuration change must pass before it starts: the store
// must keep a working majority of its locations.
#include "io/io.h"
#include "io/slot.h"

using namespace propreg;

namespace {

constexpr u32 PRECHECK_REOPEN_FLAGS = PROPRIO_OPEN_ZKV | PROPRIO_OPEN_VLD_CREATE | PROPRIO_OPEN_NO_VLD_REREAD;

proprhandle *handle_of(backend_ctx *ctx, const char *who)
{
    if (ctx == nullptr || ctx->propb_ctx == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0, "%s: Backend context passed is null", who);
        return nullptr;
    }
    return ctx->propb_ctx;
}

u32 reopen(proprhandle *handle)
{
    propriocl(handle, PROPRIO_OPEN_ZKV);
    const u32 rc = proprioo(handle, 1, 1, PRECHECK_REOPEN_FLAGS);
    if (rc != 0) {
        trace_print(io_trace(handle), 0, "prop_precheck_confchange: failed in calling proprioo Retval:[%d]",
                    static_cast<int>(rc));
        return rc;
    }
    trace_print(io_trace(handle), 1, "prop_precheck_confchange: Successfully closed and reopened the handles.");
    return 0;
}

// Every open location must still answer; one that does not is taken out of
// service now, so the checks below count it as down.
void probe_open_locations(proprhandle *handle)
{
    const u32 configured = handle->proprhandle_configured_device_count;
    for (u32 i = 0; i < configured; i++) {
        if (io_slot_state(handle, i) != PROP_SLOT_OPEN) continue;
        u8 boot[PROP_PAGE_SIZE];
        if (proprior(handle, boot, PROP_PAGE_SIZE, 0, 0, i) == 0) continue;
        io_slot_unusable(handle, i, false, "prop_precheck_confchange");
        if (configured == 2) propriowm(handle);
    }
}

}  // namespace

u32 prop_precheck_confchange(backend_ctx *ctx, u32 devnum, const char *newdev)
{
    proprhandle *handle = handle_of(ctx, "prop_precheck_confchange");
    if (handle == nullptr) return PROP_E_CTX;
    trace_comp tc = io_trace(handle);
    if (newdev == nullptr) {
        trace_print(tc, 0, "prop_precheck_confchange: NULL newdev passed");
        return PROP_E_NULL;
    }
    const przkv_ctx *zkv = handle->proprhandle_zkvctx;
    const bool reopen_first = zkv != nullptr && zkv->reopen_before_precheck != 0;
    // The context lock comes before the I/O mutex, as everywhere else.
    RwGuard lock(&ctx->prop_rwlock, reopen_first ? RwGuard::Exclusive : RwGuard::Shared);
    IoLock io_lock(handle);
    if (reopen_first) {
        const u32 rc = reopen(handle);
        if (rc != 0) return rc;
    }
    probe_open_locations(handle);
    u32 rc = 0;
    if (newdev[0] != '\0') {
        rc = proprio_prechk_addreplace(ctx, devnum, newdev);
        if (rc != 0)
            trace_print(tc, 0, "prop_precheck_confchange: Pre check for add/replace operation failed. Retval:[%d]",
                        static_cast<int>(rc));
    } else {
        rc = prop_precheck_delete(ctx, devnum);
        if (rc != 0)
            trace_print(tc, 0, "prop_precheck_confchange: Pre check for delete operation failed. Retval:[%d]",
                        static_cast<int>(rc));
    }
    if (rc != 0) return rc;
    trace_print(tc, 4, "prop_precheck_confchange: All pre-checks for the delete/add/replace operation succeeded.");
    return 0;
}

u32 prop_precheck_delete(backend_ctx *ctx, u32 devnum)
{
    proprhandle *handle = handle_of(ctx, "prop_precheck_delete");
    if (handle == nullptr) return PROP_E_CTX;
    trace_comp tc = io_trace(handle);
    if (devnum >= PROP_NUM_SLOTS || io_slot_state(handle, devnum) != PROP_SLOT_OPEN) return 0;
    const u32 configured = handle->proprhandle_configured_device_count;
    u32 working = 0;
    for (u32 i = 0; i < configured; i++) {
        const u32 state = io_slot_state(handle, i);
        trace_print(tc, 4, "prop_precheck_delete: The status of the dev at %d is %d ", static_cast<int>(i),
                    static_cast<int>(state));
        if (state == PROP_SLOT_OPEN) working++;
    }
    trace_print(tc, 4, "prop_precheck_delete: open %d total %d devices", static_cast<int>(working),
                static_cast<int>(configured));
    // The working locations left must be a strict majority of those left.
    if (2 * (working - 1) > configured - 1) return 0;
    trace_print(tc, 0,
                "prop_prechk_delete: Deleting the device results in minority of working configured "
                "devices. Number of working devices after the delete [%d]. Total number of configured "
                "devices after delete [%d].",
                static_cast<int>(working - 1), static_cast<int>(configured - 1));
    return PROP_E_MINORITY;
}

u32 proprio_prechk_addreplace(backend_ctx *ctx, u32 devnum, const char *newdev)
{
    proprhandle *handle = handle_of(ctx, "proprio_prechk_addreplace");
    if (handle == nullptr) return PROP_E_CTX;
    trace_comp tc = io_trace(handle);
    for (u32 i = 0; i < handle->proprhandle_configured_device_count; i++) {
        const u32 state = io_slot_state(handle, i);
        if (state == PROP_SLOT_OPEN) continue;
        const char *name = handle->proprhandle_filename[i];
        if (i == devnum) {
            trace_print(tc, 1, "proprio_prechk_addreplace: The location [%.256s] is not ONLINE [%d], but it is being replaced.",
                        name, static_cast<int>(state));
            continue;
        }
        trace_print(tc, 0,
                    "proprio_prechk_addreplace: The location [%.256s] is not ONLINE [%d]. Cannot continue "
                    "with add/replace. This device must be deleted before proceeding with add/replace. "
                    "Device to be added: [%.256s] cfg:[%d]",
                    name, static_cast<int>(state), newdev, static_cast<int>(devnum));
        return PROP_E_MINORITY;
    }
    return 0;
}

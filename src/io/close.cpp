// Closing the locations, re-opening them after a configuration change, and
// bringing stale mirrors up to date.
#include "core/alloc.h"
#include "io/io.h"
#include "io/pagecache.h"
#include "io/slot.h"
#include "io/vldbridge.h"
#include "storage/device.h"

using namespace propreg;

u32 propriocl(proprhandle *handle, u32 flags)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    trace_comp tc = io_trace(handle);
    // The locations opened next may hold another store, or this one as
    // another node left it.
    pagecache_clear(handle);
    {
        IoLock lock(handle);
        for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
            handle->proprhandle_my_votes[i] = 0;
            handle->proprhandle_total_votes[i] = 0;
            if (handle->proprhandle_loctype[i] != PROP_LOCTYPE_VLD) continue;
            const bool keep = (flags & PROPRIO_OPEN_REUSE_VLD) != 0 &&
                              handle->proprhandle_native_state[i] == PROP_SLOT_OPEN;
            if (keep) trace_print(tc, 2, "propriocl: Copied handle for [%s]", handle->proprhandle_filename[i]);
            io_vld_close(handle, i, keep);
            handle->proprhandle_native[i] = nullptr;
        }
    }
    const u32 rc = utclose(handle);
    // Every slot is closed now, also one that never held a handle: a slot
    // left "open" or "failed" would outlive the set it belonged to.
    // One hold for the whole set: a snapshot of the states sees all of it
    // closed or none.
    IoLock lock(handle);
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) slot_set_state(handle, i, PROP_SLOT_CLOSED, "propriocl");
    return rc;
}

u32 proprio_reinit(proprhandle *handle, u32 flags)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    trace_comp tc = io_trace(handle);
    u32 rc = propriocl(handle, flags | PROPRIO_OPEN_ZKV);
    if (rc != 0)
        trace_print(tc, 0,
                    "proprio_reinit: Failed to close handles to current open devices. Retval:[%d] Not a "
                    "fatal failure.",
                    static_cast<int>(rc));
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        slot_set_state(handle, i, PROP_SLOT_UNCONFIGURED, "proprio_reinit");
        handle->proprhandle_native_numpage[i] = 0;
        handle->proprhandle_my_votes[i] = 0;
        handle->proprhandle_total_votes[i] = 0;
    }
    handle->proprhandle_read_device = 0;
    if (handle->bootbuf != nullptr) u_freem(handle->metactx, handle->bootbuf);
    if (handle->superbuf != nullptr) u_freem(handle->metactx, handle->superbuf);
    handle->bootbuf = nullptr;
    handle->superbuf = nullptr;
    trace_print(tc, 2, "proprio_reinit: Successfully cleared all devices related date in the backend handle.");

    const przkv_ctx *zkv = handle->proprhandle_zkvctx;
    const u32 kind = zkv != nullptr && zkv->registry_kind == PROP_KIND_NKV ? PROPRIO_OPEN_NKV : PROPRIO_OPEN_ZKV;
    rc = proprioo(handle, 1, 1, flags | kind);
    if (rc != 0) {
        trace_print(tc, 0, "proprio_reinit: Failed to open new devices. Retval:[%d]", static_cast<int>(rc));
        return rc;
    }
    const proprio_hooks *hooks = handle->proprhandle_io_hooks;
    if (hooks == nullptr || hooks->reread_boot == nullptr) return 0;
    rc = hooks->reread_boot(handle);
    if (rc != 0) {
        trace_print(tc, 0, "proprio_reinit: Error reading the bootblock or superblock. Retval:[%d]",
                    static_cast<int>(rc));
        return rc;
    }
    trace_print(tc, 2, "proprio_reinit: Successfully refreshed the boot block and super block.");
    return 0;
}

namespace {

u32 first_open(proprhandle *handle)
{
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++)
        if (io_slot_state(handle, i) == PROP_SLOT_OPEN) return i;
    return PROP_NUM_SLOTS;
}

}  // namespace

u32 propriosync(proprhandle *handle)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    trace_comp tc = io_trace(handle);
    trace_print(tc, 2, "propriosync:Syncing devices if need be");
    u32 src = first_open(handle);
    if (src == PROP_NUM_SLOTS) {
        trace_print(tc, 0, "propriosync: no disk in open state");
        return PROP_E_STORAGE;
    }
    for (u32 dst = 0; dst < handle->proprhandle_configured_device_count; dst++) {
        if (io_slot_state(handle, dst) != PROP_SLOT_STALE) continue;
        for (;;) {
            trace_print(tc, 1, "propriosync:Syncing device from %d to %d", static_cast<int>(src),
                        static_cast<int>(dst));
            if (proprio_copy(handle, dst, src) == 0) {
                slot_set_state(handle, dst, PROP_SLOT_OPEN, "propriosync");
                break;
            }
            if (io_slot_state(handle, src) == PROP_SLOT_OPEN) {
                io_slot_unusable(handle, dst, false, "propriosync");
                break;
            }
            // The source failed, not the target: copy from the next open one.
            src = first_open(handle);
            if (src == PROP_NUM_SLOTS) {
                trace_print(tc, 0, "propriosync: no disk in open state");
                return PROP_E_STORAGE;
            }
        }
    }
    const u32 rc = propriowm(handle);
    if (rc != 0) {
        trace_print(tc, 0, "propriosync: failed to write new votes (%d)", static_cast<int>(rc));
        return PROP_E_STORAGE;
    }
    return 0;
}

// Copying the store from one location to another (a stale mirror, or a
// location being added), and checking a location before it is added.
#include <cstring>

#include "core/alloc.h"
#include "io/io.h"
#include "io/slot.h"
#include "io/vldbridge.h"
#include "storage/device.h"

using namespace propreg;

namespace {

constexpr u32 COPY_STEP_PAGES = 250;

// The used page count U, from the free-space layer above.
u32 used_pages(proprhandle *handle, u32 *used)
{
    const proprio_hooks *hooks = handle->proprhandle_io_hooks;
    if (hooks == nullptr || hooks->used_pages == nullptr) return PROP_E_STORAGE;
    return hooks->used_pages(handle, used);
}

u32 check_target_size(proprhandle *handle, u32 dst, u32 src)
{
    trace_comp tc = io_trace(handle);
    const u32 target = handle->proprhandle_native_numpage[dst];
    const u32 numpage = handle->numpage;
    const u32 num_fcl = handle->proprhandle_num_fcl;
    if (numpage != 0) {
        if (static_cast<u64>(target) < 2ull * num_fcl + numpage) {
            trace_print(tc, 0,
                        "proprio_copy:0: Target disk (totalpage=%d) is too small compared with the "
                        "current disk (numpage=%d, num_fcl=%d)",
                        static_cast<int>(target), static_cast<int>(numpage), static_cast<int>(num_fcl));
            return PROP_E_STORAGE;
        }
    } else if (target < handle->proprhandle_native_numpage[src]) {
        trace_print(tc, 0, "proprio_copy:0: Destination disk is too small (%d, %d)", static_cast<int>(target),
                    static_cast<int>(handle->proprhandle_native_numpage[src]));
        return PROP_E_STORAGE;
    }
    return 0;
}

// The store's pages, at their own offsets: everything up to and including
// the log metadata block, then the name pages and the used tnode pages.
// The log slots after the first are never needed on the copy.
u32 copy_areas(proprhandle *handle, u32 dst, u32 src, u32 used)
{
    trace_comp tc = io_trace(handle);
    const u32 lsst = handle->proprhandle_lsst;
    const u32 step1_offset = PROP_PAGE_SIZE;
    const u32 step1_pages = lsst / PROP_PAGE_SIZE;
    const u32 step2_offset = handle->proprhandle_num_log * PROP_PAGE_SIZE + lsst;
    const u32 step2_pages = (handle->proprhandle_rtnst - step2_offset) / PROP_PAGE_SIZE + used + 1;
    trace_print(tc, 2,
                "proprio_copy: STEP 1: offset:[%d] numpage:[%d] destindex:[%d] srcindex:[%d] Total pages:[%d]",
                static_cast<int>(step1_offset), static_cast<int>(step1_pages), static_cast<int>(dst),
                static_cast<int>(src), static_cast<int>(step1_pages + step2_pages));
    u32 rc = proprio_copy_pages(handle, dst, src, step1_offset, step1_pages);
    if (rc != 0) {
        trace_print(tc, 0,
                    "proprio_copy: STEP 1: Failed in function proprio_copy_pages(). offset:[%d] "
                    "numpage:[%d] destindex:[%d] srcindex:[%d] Retval:[%d]",
                    static_cast<int>(step1_offset), static_cast<int>(step1_pages), static_cast<int>(dst),
                    static_cast<int>(src), static_cast<int>(rc));
        return rc;
    }
    trace_print(tc, 2, "proprio_copy: STEP 2: offset:[%d] numpage:[%d]", static_cast<int>(step2_offset),
                static_cast<int>(step2_pages));
    rc = proprio_copy_pages(handle, dst, src, step2_offset, step2_pages);
    if (rc != 0)
        trace_print(tc, 0,
                    "proprio_copy: STEP 2: Failed in function proprio_copy_pages(). offset:[%d] "
                    "numpage:[%d] destindex:[%d] srcindex:[%d] Retval:[%d]",
                    static_cast<int>(step2_offset), static_cast<int>(step2_pages), static_cast<int>(dst),
                    static_cast<int>(src), static_cast<int>(rc));
    return rc;
}

// The boot block goes last, so that the copy only becomes a store once
// everything else is in place.
u32 copy_boot_block(proprhandle *handle, u32 dst, u32 src)
{
    u8 boot[PROP_PAGE_SIZE];
    u32 rc = proprior(handle, boot, PROP_PAGE_SIZE, 0, 0, src);
    if (rc != 0) {
        io_slot_unusable(handle, src, true, "proprio_copy");
        return rc;
    }
    rc = propriowv_bootbuf(handle, boot, 1, 2, dst);
    if (rc == 0)
        trace_print(io_trace(handle), 2, "propriow_copy: assigned 1/2 vote to disk (%s)",
                    handle->proprhandle_filename[dst]);
    return rc;
}

}  // namespace

u32 proprio_copy(proprhandle *handle, u32 dst, u32 src)
{
    if (handle == nullptr || dst >= PROP_NUM_SLOTS || src >= PROP_NUM_SLOTS) return PROP_E_STORAGE;
    trace_comp tc = io_trace(handle);
    u32 rc = check_target_size(handle, dst, src);
    if (rc != 0) return rc;
    if (handle->proprhandle_num_fcl == 0) {
        trace_print(tc, 0, "proprio_copy:1_: num_fcl is <= 0");
        return PROP_E_STORAGE;
    }
    trace_print(tc, 1, "proprio_copy:Copying from dev %d to dev %d", static_cast<int>(src), static_cast<int>(dst));
    u32 used = 0;
    if (used_pages(handle, &used) != 0) {
        trace_print(tc, 0, "proprio_copy:2:could not read fcl");
        return PROP_E_STORAGE;
    }
    rc = copy_areas(handle, dst, src, used);
    if (rc == 0) rc = copy_boot_block(handle, dst, src);
    if (rc == 0) return 0;
    // A partial copy must never be opened as a store.
    static const u8 zeros[PROP_PAGE_SIZE] = {};
    const u32 trc = propriow(handle, zeros, PROP_PAGE_SIZE, 0, dst);
    if (trc != 0)
        trace_print(tc, 0, "proprio_copy: failed to trash the boot block on device %d (%d)", static_cast<int>(dst),
                    static_cast<int>(trc));
    return rc;
}

u32 proprio_copy_pages(proprhandle *handle, u32 dst, u32 src, u64 offset, u32 numpage)
{
    if (handle == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0, "proprio_copy_pages: Invalid backend handle");
        return PROP_E_CTX;
    }
    if (numpage == 0) return 0;
    trace_comp tc = io_trace(handle);
    const u32 step = numpage < COPY_STEP_PAGES ? numpage : COPY_STEP_PAGES;
    MetaPtr<u8> buffer = MetaPtr<u8>::alloc(handle->metactx, static_cast<size_t>(step) * PROP_PAGE_SIZE);
    if (!buffer) {
        trace_print(tc, 0, "proprio_copy_pages: Could not allocate memory.");
        return PROP_E_NOMEM;
    }
    while (numpage > 0) {
        const u32 pages = numpage < step ? numpage : step;
        const u32 bytes = pages * PROP_PAGE_SIZE;
        u32 rc = proprior(handle, buffer.get(), bytes, offset, 0, src);
        if (rc != 0) {
            trace_print(tc, 0, "proprio_copy_pages: Could not read from device %s", handle->proprhandle_filename[src]);
            io_slot_unusable(handle, src, true, "proprio_copy_pages");
            return rc;
        }
        rc = propriow(handle, buffer.get(), bytes, offset, dst);
        if (rc != 0) {
            trace_print(tc, 0, "proprio_copy_pages: Could not write to zkv device %s", handle->proprhandle_filename[dst]);
            return rc;
        }
        offset += bytes;
        numpage -= pages;
    }
    return 0;
}

u32 propriodvch(proprhandle *handle, const char *name, u64 size, u32 create, u32 flags)
{
    if (handle == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0, "propriodvch: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    if (name == nullptr) return PROP_E_NULL;
    trace_comp tc = io_trace(handle);
    u32 rc = 0;
    if (std::strchr(name, '+') != nullptr) {
        rc = io_vld_init(handle);
        if (rc != 0) {
            trace_print(tc, 0, "propriodvch: proprvldini failed [%d]", static_cast<int>(rc));
            return rc;
        }
        rc = io_vld_devcheck(handle, name, size, create);
    } else {
        rc = utdvch(handle, name, size, create, flags);
    }
    if (rc != 0)
        trace_print(tc, 0, "propriodvch: Error  [%d] returned device check for [%s]", static_cast<int>(rc), name);
    return rc;
}

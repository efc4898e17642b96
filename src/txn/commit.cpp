#include "txn/commit.h"

#include <cstring>

#include "cache/cache.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "format/storemap.h"
#include "io/group.h"
#include "io/pagecache.h"
#include "space/fcl.h"
#include "space/pagelist.h"
#include "space/uttrace.h"
#include "txn/blockio.h"
#include "txn/log.h"

namespace {

u32 other_copy(u32 copy)
{
    return copy ^ 1U;
}

u32 release_freed_pages(proprhandle *handle)
{
    trace_comp tc = ut_trace(handle);
    for (u32 i = 0; i < handle->proprhandle_free_page_list_used; ++i) {
        u32 page = handle->propr_handle_free_page_list[i];
        u32 rc = proprutcfp(handle, page, 0);
        if (rc != PROP_OK) {
            trace_print(tc, 0, "proprutfsu: Failed to free page [%d]. Return [%d]", static_cast<int>(page),
                        static_cast<int>(rc));
            return PROP_E_STORAGE;
        }
        trace_print(tc, 4, "proprutfsu: Committed free page [%d]. Return [%d]", static_cast<int>(page),
                    static_cast<int>(rc));
    }
    return PROP_OK;
}

// Adds every changed bitmap page to the commit's group, for the copy that
// is not current; the current copy is never overwritten.  Sets *any when
// one changed.
u32 add_changed_bitmaps(proprhandle *handle, WriteGroup &group, bool *any)
{
    trace_comp tc = ut_trace(handle);
    *any = false;
    alignas(8) u8 block[PROP_PAGE_SIZE];
    for (u32 k = 0; k < handle->proprhandle_num_fcl; ++k) {
        const propr_fcl *fcl = handle->proprhandle_fcl[k];
        trace_print(tc, 4, "proprutfsu: Checking for FREE LIST UPDATES in page %d", static_cast<int>(k));
        if (!fcl->propr_fcl_changed) continue;
        *any = true;
        u32 target = other_copy(fcl->free_space_addr);
        u32 addr = propr_fcl_addr(k, target);
        trace_print(tc, 4, "proprutfsu: Free List page %d Has Changed", static_cast<int>(k));
        trace_print(tc, 4, "proprutfsu: free space shadow [%d]", static_cast<int>(target));
        std::memcpy(block, &fcl->propr_fcl_hdr, sizeof(propr_hdr));
        std::memcpy(block + sizeof(propr_hdr), fcl->propr_fcl_page, PROPR_BITMAP_BYTES);
        ut_set_blocknum(block, addr);
        trace_print(tc, 4, "proprutfsu: WRITING PAGE NUM [%d] to phy addr [%d] First 2 bytes are [%x] [%x]",
                    static_cast<int>(k), static_cast<int>(addr), static_cast<unsigned>(fcl->propr_fcl_page[0]),
                    static_cast<unsigned>(fcl->propr_fcl_page[1]));
        hdr_stamp_checksum(block, PROP_PAGE_SIZE);
        u32 rc = group.add(block, PROP_PAGE_SIZE, addr);
        if (rc != PROP_OK) {
            trace_print(tc, 0, "proprutfsu: Failed [%d] to write the free space page", static_cast<int>(rc));
            return rc;
        }
    }
    return PROP_OK;
}

// Builds in super the superblock that names the new bitmap copies and adds
// it to the commit's group, for the copy the selector does not name yet.
u32 add_superblock(proprhandle *handle, WriteGroup &group, u8 *super, u32 selector)
{
    std::memcpy(super, handle->superbuf, PROP_PAGE_SIZE);
    u32 addr = propr_super_addr(selector);
    ut_set_blocknum(super, addr);
    for (u32 k = 0; k < handle->proprhandle_num_fcl; ++k) {
        const propr_fcl *fcl = handle->proprhandle_fcl[k];
        u32 copy = fcl->propr_fcl_changed ? other_copy(fcl->free_space_addr) : fcl->free_space_addr;
        be32_put(super, SUPER_OFF_FREE_SPACE_ADDR + 4 * static_cast<i32>(k), copy);
    }
    trace_print(ut_trace(handle), 4, "proprutfsu: SUPER BLOCK ADDR = %d, loc = %d", static_cast<int>(selector),
                static_cast<int>(addr));
    hdr_stamp_checksum(super, PROP_PAGE_SIZE);
    u32 rc = group.add(super, PROP_PAGE_SIZE, addr);
    if (rc != PROP_OK)
        trace_print(ut_trace(handle), 0, "fsu:1: problem [%d] writing the superblock", static_cast<int>(rc));
    return rc;
}

// After the commit point: the new copies are current.
void adopt_new_copies(proprhandle *handle, bool any_bitmap, const u8 *super)
{
    trace_comp tc = ut_trace(handle);
    for (u32 k = 0; k < handle->proprhandle_num_fcl; ++k) {
        propr_fcl *fcl = handle->proprhandle_fcl[k];
        if (fcl->propr_fcl_changed) {
            fcl->free_space_addr = other_copy(fcl->free_space_addr);
            fcl->propr_fcl_hdr.propr_hdr_blocknum =
                propr_blocknum(propr_fcl_addr(k, fcl->free_space_addr));
        }
        fcl->propr_fcl_changed = 0;
        if (fcl->propr_fcl_first_free >= 0 && fcl->propr_fcl_first_free < fcl->propr_fcl_last_reserved) {
            fcl->propr_fcl_last_reserved = fcl->propr_fcl_first_free;
            trace_print(tc, 4, "proprutfsu: RESETTING propr_fcl_last_reserved");
        }
    }
    if (any_bitmap) std::memcpy(handle->superbuf, super, PROP_PAGE_SIZE);
    handle->super_block_addr = handle->bootbuf[BOOT_OFF_SUPER_SELECTOR];
}

// A commit write that failed may still have reached some locations: too
// few for a quorum, or beside one that ran out of space.  Putting the open
// transaction's boot block back on them lets the rollback that follows
// undo the transaction there too, so a failed commit leaves every
// location as it was.
void reopen_transaction(proprhandle *handle)
{
    u32 rc = ut_stamp_write(handle, handle->bootbuf, 0);
    if (rc != PROP_OK)
        trace_print(ut_trace(handle), 0, "proprutfsu: problem [%d] writing back the bootblock of the open transaction",
                    static_cast<int>(rc));
}

void clear_log(proprhandle *handle)
{
    propr_log *log = handle->proprhandle_propr_log;
    std::memset(log->propr_log_buf, 0, PROP_PAGE_SIZE);
    log->propr_log_opid = 0;
    propr_pagelist_clear(handle->metactx, log->propr_log_tnode_list, &log->propr_log_ltail, log->propr_log_tnode_list_max,
                         &log->propr_log_tnode_set);
}

// The transaction is over in memory: log, kept pages and page lists.
void finish(proprhandle *handle)
{
    clear_log(handle);
    ut_pending_end(handle);
    pagecache_commit(handle);
    proprut_clear_pagelists(handle);
    propr_log *log = handle->proprhandle_propr_log;
    handle->proprhandle_isvalidlog = 0;
    trace_print(ut_trace(handle), 3,
                "proprutfsu: Cleared log buf, opid, ltail in log structure op_id = %d, log_lsn = %d, ltail = %d",
                static_cast<int>(log->propr_log_opid), static_cast<int>(log->propr_log_lsn),
                static_cast<int>(log->propr_log_ltail));
}

// The store is committed from here on; a cache failure is reported but
// changes nothing on disk.
u32 settle_cache(proprhandle *handle)
{
    if (handle->proprhandle_cache != nullptr && proprch_make_permanent(handle->proprhandle_cache, 0) != PROP_OK) {
        trace_print(ut_trace(handle), 0, "fsu: Problem making entries permanent");
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

}  // namespace

u32 proprutfsu(proprhandle *handle)
{
    if (handle == nullptr || handle->proprhandle_propr_log == nullptr ||
        handle->proprhandle_propr_log->propr_log_buf == nullptr || handle->bootbuf == nullptr ||
        handle->superbuf == nullptr)
        return PROP_E_STORAGE;
    trace_comp tc = ut_trace(handle);
    propr_log *log = handle->proprhandle_propr_log;
    u32 selector = handle->bootbuf[BOOT_OFF_SUPER_SELECTOR];
    trace_print(tc, 4,
                "proprutfsu: The superblock address is %d, numpage=%d, log_addr = %d, num_log=%d, ndk_addr = %d, num_ndk = %d, num_fcl = %d",
                static_cast<int>(selector), static_cast<int>(handle->numpage),
                static_cast<int>(handle->proprhandle_lsst), static_cast<int>(handle->proprhandle_num_log),
                static_cast<int>(handle->ndk_addr), static_cast<int>(handle->num_ndk),
                static_cast<int>(handle->proprhandle_num_fcl));

    u32 rc = release_freed_pages(handle);
    if (rc != PROP_OK) return rc;
    // The bitmaps and the superblock go out with the transaction's pages,
    // all before the boot block that names them (pending.cpp).  Until the
    // boot block is on disk the handle must still describe the old state,
    // which a rollback returns to.
    WriteGroup group(handle);
    bool any_bitmap = false;
    rc = add_changed_bitmaps(handle, group, &any_bitmap);
    if (rc != PROP_OK) return rc;
    alignas(8) u8 super[PROP_PAGE_SIZE];
    if (any_bitmap) {
        selector = other_copy(selector);
        rc = add_superblock(handle, group, super, selector);
        if (rc != PROP_OK) return rc;
    }
    if (!any_bitmap && ut_pending_empty(handle)) {
        // Nothing changed: nothing is written, and the store stays as it
        // was, log dead.
        handle->bootbuf[BOOT_OFF_LOG_VALID] = 0;
        finish(handle);
        return settle_cache(handle);
    }
    rc = ut_pending_flush(handle, &group);
    if (rc != PROP_OK) return rc;

    // The boot block is changed in the handle's own buffer, because the
    // vote hand-over after a lost location rewrites the survivor from it;
    // a failed write puts the old one back.
    alignas(8) u8 old_boot[PROP_PAGE_SIZE];
    std::memcpy(old_boot, handle->bootbuf, PROP_PAGE_SIZE);
    u8 *boot = handle->bootbuf;
    boot[BOOT_OFF_SUPER_SELECTOR] = static_cast<u8>(selector);
    be32_put(boot, BOOT_OFF_COMMIT_LSN, log->propr_log_lsn);
    boot[BOOT_OFF_LOG_VALID] = 0;
    trace_print(tc, 4, "proprutfsu: finished updating the boot block in memory");
    rc = ut_stamp_write(handle, boot, 0);
    if (rc != PROP_OK) {
        trace_print(tc, 0, "fsu:1: problem [%d] writing the bootblock", static_cast<int>(rc));
        std::memcpy(handle->bootbuf, old_boot, PROP_PAGE_SIZE);
        reopen_transaction(handle);
        return rc;
    }

    adopt_new_copies(handle, any_bitmap, super);
    finish(handle);
    return settle_cache(handle);
}

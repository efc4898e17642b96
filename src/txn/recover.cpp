#include "txn/recover.h"

#include <cstring>

#include "cache/cache.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "format/storemap.h"
#include "core/alloc.h"
#include "core/slotstate.h"
#include "io/devhist.h"
#include "io/group.h"
#include "io/io.h"
#include "io/pagecache.h"
#include "io/vldbridge.h"
#include "space/fcl.h"
#include "space/pagelist.h"
#include "space/uttrace.h"
#include "txn/blockio.h"
#include "txn/log.h"

namespace {

// One location being rolled back: every read and write goes to it alone.
struct Location {
    proprhandle *handle;
    u32 slot;
    const char *name;
    trace_comp tc;

    u32 read(u8 *buf, u64 addr, u32 pages = 1) const
    {
        return proprior(handle, buf, pages * PROP_PAGE_SIZE, addr, 0, slot);
    }
    u32 write(u8 *buf, u64 addr) const { return ut_stamp_write(handle, buf, addr, slot); }
};

// Images read and put back per round: one read of neighbouring log slots,
// one group of pages.
constexpr u32 kRestoreStep = 64;

u32 read_boot(const Location &loc, u8 *boot)
{
    u32 rc = loc.read(boot, 0);
    if (rc != PROP_OK) {
        trace_print(loc.tc, 0, "rrecover_helper:1:problem reading the bootblock [%s,%d] [%d]", loc.name,
                    static_cast<int>(loc.slot), static_cast<int>(rc));
        return rc;
    }
    if (!proprut_isblk_valid_buf(boot, PROPR_BLK_METADATA)) {
        trace_print(loc.tc, 0, "rrecover_helper:1:boot block is not valid [%s,%d]", loc.name,
                    static_cast<int>(loc.slot));
        return PROP_E_STORAGE;
    }
    trace_print(loc.tc, 4, "rrecover_helper: READ THE BOOT BUFFER");
    return PROP_OK;
}

u32 read_logmeta(const Location &loc, u8 *meta)
{
    u32 rc = loc.read(meta, loc.handle->proprhandle_lsst);
    if (rc != PROP_OK) {
        trace_print(loc.tc, 0, "rrecover_helper:4:problem reading the log meta data [%s,%d] [%d]", loc.name,
                    static_cast<int>(loc.slot), static_cast<int>(rc));
        return rc;
    }
    if (!proprut_isblk_valid_buf(meta, PROPR_BLK_METADATA)) {
        trace_print(loc.tc, 0, "rrecover_helper:1:log metadata is not valid [%s,%d]", loc.name,
                    static_cast<int>(loc.slot));
        return PROP_E_STORAGE;
    }
    trace_print(loc.tc, 4, "rrecover_helper:LOG metadata read");
    return PROP_OK;
}

// The page an image belongs to: its own header first; when the header
// names page 0 (the root's number, and also what an image without a
// number carries), the metadata's root slot, then its table.
u32 image_page(const Location &loc, const u8 *meta, const propr_hdr &hdr, u32 k, u32 *page)
{
    *page = hdr.propr_hdr_undo_blkno;
    if (*page != 0) return PROP_OK;
    if (be32_at(meta, LOGMETA_OFF_ROOT_SLOT) == k + 1) return PROP_OK;
    trace_print(loc.tc, 1,
                "rrecover_helper:8: Saved blk # [%d] from the header is invalid. Saved blk index [%d] in undo log space (start from 0).",
                static_cast<int>(*page), static_cast<int>(k));
    if (k >= LOGMETA_TABLE_ENTRIES) {
        trace_print(loc.tc, 0, "rrecover_helper:10: Failed to retrieve saved blk #. Returning [%d].",
                    PROP_E_STORAGE);
        return PROP_E_STORAGE;
    }
    *page = be32_at(meta, LOGMETA_OFF_TABLE + 4 * static_cast<i32>(k));
    trace_print(loc.tc, 1, "rrecover_helper:9: Retrieved saved blk # [%d] from the tnode addr table. ",
                static_cast<int>(*page));
    return PROP_OK;
}

// Puts the image of log slot k + 1 (read into image) into the group, for
// its page.
u32 restore_image(const Location &loc, const u8 *meta, u32 k, u8 *image, WriteGroup &group)
{
    proprhandle *handle = loc.handle;
    u64 slot_addr = propr_log_slot_addr(handle->proprhandle_lsst, k + 1);
    propr_hdr hdr;
    std::memcpy(&hdr, image, sizeof hdr);
    if (!proprut_isblk_valid(&hdr, PROPR_BLK_ANY)) {
        trace_print(loc.tc, 0, "rrecover_helper:5:The hdr of the saved blk [%d] is invalid [%s,%d]",
                    static_cast<int>(k), loc.name, static_cast<int>(loc.slot));
        return PROP_E_STORAGE;
    }
    u32 page = 0;
    u32 rc = image_page(loc, meta, hdr, k, &page);
    if (rc != PROP_OK) return rc;
    trace_print(loc.tc, 2,
                "rrecover_helper: RESTORING PAGES FROM LOG  REAL PAGE NUMBER=%d, ADDRESS IN LOG SPACE = %d rtnst = %d\n",
                static_cast<int>(page), static_cast<int>(slot_addr), static_cast<int>(handle->proprhandle_rtnst));
    // A damaged number must not send the image outside the tnode area.
    if (page >= handle->numpage) {
        trace_print(loc.tc, 0, "rrecover_helper: saved blk # [%d] is beyond the tnode area [%d] [%s,%d]",
                    static_cast<int>(page), static_cast<int>(handle->numpage), loc.name, static_cast<int>(loc.slot));
        return PROP_E_STORAGE;
    }

    u64 target = ut_page_addr(handle, page);
    trace_print(loc.tc, 4, "rrecover_helper: phy_addr = %d", static_cast<int>(target));
    hdr.propr_hdr_blocknum = propr_blocknum(target);
    hdr.propr_hdr_undo_blkno = 0;
    std::memcpy(image, &hdr, sizeof hdr);
    hdr_stamp_checksum(image, PROP_PAGE_SIZE);
    return group.add(image, PROP_PAGE_SIZE, target);
}

// Puts every image back, a round of neighbouring slots at a time; each
// round is one group, made durable before the log is cleared.  An image is
// only ever of a page's state before the transaction, so the order
// between them does not matter.
u32 restore_images(const Location &loc, const u8 *meta, u32 ltail)
{
    proprhandle *handle = loc.handle;
    // Without memory for a round, one image at a time: a rollback must go
    // through when memory has run out.
    alignas(8) u8 one[PROP_PAGE_SIZE];
    MetaPtr<u8> many = MetaPtr<u8>::alloc(handle->metactx, size_t{kRestoreStep} * PROP_PAGE_SIZE);
    u8 *images = many ? many.get() : one;
    const u32 step = many ? kRestoreStep : 1;
    WriteGroup group(handle);
    for (u32 first = 0; first < ltail; first += step) {
        const u32 n = ltail - first < step ? ltail - first : step;
        u32 rc = loc.read(images, propr_log_slot_addr(handle->proprhandle_lsst, first + 1), n);
        if (rc != PROP_OK) {
            trace_print(loc.tc, 0, "rrecover_helper:6:problem reading the logspace [%s,%d] [%d]", loc.name,
                        static_cast<int>(loc.slot), static_cast<int>(rc));
            return rc;
        }
        for (u32 i = 0; i < n && rc == PROP_OK; i++)
            rc = restore_image(loc, meta, first + i, images + size_t{i} * PROP_PAGE_SIZE, group);
        if (rc != PROP_OK) return rc;
        rc = group.flush(loc.slot);
        if (rc != PROP_OK) {
            trace_print(loc.tc, 0, "rrecover_helper:7:problem writing to phy address [%d] to disk [%s,%d]",
                        static_cast<int>(handle->proprhandle_rtnst), loc.name, static_cast<int>(loc.slot));
            return rc;
        }
    }
    return PROP_OK;
}

// The log is cleared (metadata with the committed lsn, boot block with
// the log dead) in one group: whichever part arrives, the log no longer
// counts as live.
u32 clear_log(const Location &loc, u8 *boot, u32 commit_lsn)
{
    alignas(8) u8 meta[PROP_PAGE_SIZE] = {};
    propr_hdr hdr;
    hdr_init(loc.handle, &hdr, loc.handle->proprhandle_lsst, PROPR_BLK_METADATA);
    std::memcpy(meta, &hdr, sizeof hdr);
    be32_put(meta, LOGMETA_OFF_LSN, commit_lsn);
    hdr_stamp_checksum(meta, PROP_PAGE_SIZE);
    boot[BOOT_OFF_LOG_VALID] = 0;
    hdr_stamp_checksum(boot, PROP_PAGE_SIZE);
    WriteGroup group(loc.handle);
    u32 rc = group.add(meta, PROP_PAGE_SIZE, loc.handle->proprhandle_lsst);
    if (rc == PROP_OK) rc = group.add(boot, PROP_PAGE_SIZE, 0);
    if (rc == PROP_OK) rc = group.flush(loc.slot);
    if (rc != PROP_OK) {
        trace_print(loc.tc, 0, "rrecover_helper: problem %d clearing the log metadata buffer on disk [%s,%d]",
                    PROP_E_STORAGE, loc.name, static_cast<int>(loc.slot));
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

u32 mark_log_dead(const Location &loc, u8 *boot)
{
    boot[BOOT_OFF_LOG_VALID] = 0;
    if (loc.write(boot, 0) != PROP_OK) {
        trace_print(loc.tc, 0, "rrecover_helper:18:problem writing the bootblock [%s,%d]", loc.name,
                    static_cast<int>(loc.slot));
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

u32 undo_location(const Location &loc, propr_log *log)
{
    proprhandle *handle = loc.handle;
    alignas(8) u8 boot[PROP_PAGE_SIZE];
    alignas(8) u8 meta[PROP_PAGE_SIZE];
    u32 rc = read_boot(loc, boot);
    if (rc != PROP_OK) return rc;
    u32 commit_lsn = be32_at(boot, BOOT_OFF_COMMIT_LSN);
    rc = read_logmeta(loc, meta);
    if (rc != PROP_OK) return rc;
    log->propr_log_lsn = be32_at(meta, LOGMETA_OFF_LSN);
    bool live = boot[BOOT_OFF_LOG_VALID] != 0;

    if (handle->proprhandle_recover_dev_flag && be32_at(boot, DEV_HIST_COUNT) == 2) {
        rc = dev_whist(boot, handle->proprhandle_devid, nullptr);
        if (rc != PROP_OK) {
            trace_print(loc.tc, 0, "rrecover_helper: could not write device id [%s,%d]", loc.name,
                        static_cast<int>(loc.slot));
            return rc;
        }
        if (!live) {
            trace_print(loc.tc, 2, "rrecover_helper: No recovery needed. Updated device history for [%s] [%d]",
                        loc.name, static_cast<int>(loc.slot));
            return mark_log_dead(loc, boot);
        }
    }
    if (!live) {
        trace_print(loc.tc, 2, "proprrecover:2: no recovery required for disk [%s,%d]", loc.name,
                    static_cast<int>(loc.slot));
        return PROP_OK;
    }
    // Marked live, but the metadata counts nothing past the commit: the
    // transaction was cut before its first images were counted (no page
    // changes before that), or a recovery before its boot block went out.
    // Nothing is undone, but the mark is cleared: left, it has backup
    // refuse the store and every reader guess whether a transaction is open.
    if (commit_lsn == log->propr_log_lsn) {
        trace_print(loc.tc, 2, "proprrecover:2.1: no recovery required for disk [%s,%d]", loc.name,
                    static_cast<int>(loc.slot));
        return mark_log_dead(loc, boot);
    }

    trace_print(loc.tc, 2, "rrecover_helper:LOG is valid");
    trace_print(loc.tc, 1, "rrecover_helper:3: recovery required for disk[%s,%d]", loc.name,
                static_cast<int>(loc.slot));
    log->propr_log_opid = be32_at(meta, LOGMETA_OFF_OPID);
    log->propr_log_ltail = be32_at(meta, LOGMETA_OFF_LTAIL);
    trace_print(loc.tc, 2, "rrecover_helper: RECOVERING op_id = %d, log_lsn = %d, ltail = %d",
                static_cast<int>(log->propr_log_opid), static_cast<int>(log->propr_log_lsn),
                static_cast<int>(log->propr_log_ltail));
    if (log->propr_log_ltail >= handle->proprhandle_num_log) {
        trace_print(loc.tc, 0, "rrecover_helper: ltail [%d] is beyond the log space [%d] [%s,%d]",
                    static_cast<int>(log->propr_log_ltail), static_cast<int>(handle->proprhandle_num_log), loc.name,
                    static_cast<int>(loc.slot));
        return PROP_E_STORAGE;
    }
    rc = restore_images(loc, meta, log->propr_log_ltail);
    if (rc != PROP_OK) return rc;
    trace_print(loc.tc, 2, "rrecover_helper: FINISHED writing UNDO PAGES");
    trace_print(loc.tc, 2, "rrecover: Now clearing up log structure");
    return clear_log(loc, boot, commit_lsn);
}

void alert_location(proprhandle *handle, u32 slot)
{
    char logname[PROP_LOCNAME_SIZE] = "";
    if (trace_log_name(logname, sizeof logname) != 0) logname[0] = '\0';
    alert_print(prop_alert_base(handle->proprhandle_zkvctx) + 6, "%s %s", handle->proprhandle_filename[slot],
                logname);
}

// A volume-manager file's boot block is rewritten first, so that every
// copy inside its disk group holds the one the undo starts from.
void sync_vld_location(proprhandle *handle, u32 slot)
{
    const u32 state = handle->proprhandle_native_state[slot];
    if (handle->proprhandle_loctype[slot] != PROP_LOCTYPE_VLD || (state != PROP_SLOT_STALE && state != PROP_SLOT_OPEN))
        return;
    if (u32 rc = propreg::io_vld_sync(handle, slot); rc != PROP_OK) {
        trace_print(ut_trace(handle), 0, "proprrecover: Error [%d] syncing VLD location [%s],", static_cast<int>(rc),
                    handle->proprhandle_filename[slot]);
        slot_set_state(handle, slot, PROP_SLOT_UNUSABLE, "proprrecover");
    }
}

void rollback_locations(backend_ctx *ctx, proprhandle *handle, u32 flags)
{
    u32 count = handle->proprhandle_configured_device_count;
    if (count > PROP_NUM_SLOTS) count = PROP_NUM_SLOTS;
    for (u32 i = 0; i < count; ++i) {
        if ((flags & PROPR_RECOVER_NO_VLD_SYNC) == 0) sync_vld_location(handle, i);
        if (handle->proprhandle_native_state[i] != PROP_SLOT_OPEN) continue;
        u32 rc = rrecover_helper(ctx, i);
        if (rc == PROP_OK) continue;
        slot_set_state(handle, i, PROP_SLOT_UNUSABLE, "proprrecover");
        trace_print(ut_trace(handle), 0, "proprrecover: fail to recover the disk (%s,%d) Return %d",
                    handle->proprhandle_filename[i], static_cast<int>(i), static_cast<int>(rc));
        alert_location(handle, i);
    }
}

// Bitmaps changed by the aborted transaction reload from their current
// copies, which the transaction never wrote.
void reset_bitmaps(proprhandle *handle)
{
    if (handle->proprhandle_fcl == nullptr) return;
    for (u32 k = 0; k < handle->proprhandle_num_fcl; ++k) {
        propr_fcl *fcl = handle->proprhandle_fcl[k];
        if (fcl == nullptr) continue;
        if (fcl->propr_fcl_changed) fcl->propr_fcl_read = 0;
        fcl->propr_fcl_changed = 0;
        if (fcl->propr_fcl_first_free >= 0) fcl->propr_fcl_last_reserved = fcl->propr_fcl_first_free;
        fcl->propr_fcl_first_free = -1;
    }
}

void reset_log(proprhandle *handle, u32 lsn)
{
    handle->proprhandle_isvalidlog = 0;
    propr_log *log = handle->proprhandle_propr_log;
    if (log == nullptr) return;
    if (log->propr_log_buf != nullptr) std::memset(log->propr_log_buf, 0, PROP_PAGE_SIZE);
    log->propr_log_opid = 0;
    propr_pagelist_clear(handle->metactx, log->propr_log_tnode_list, &log->propr_log_ltail, log->propr_log_tnode_list_max,
                         &log->propr_log_tnode_set);
    log->propr_log_lsn = lsn;
    trace_print(ut_trace(handle), 3,
                "rrecover: Cleared log buf, opid, ltail in log structure op_id = %d, log_lsn = %d, ltail = %d",
                static_cast<int>(log->propr_log_opid), static_cast<int>(log->propr_log_lsn),
                static_cast<int>(log->propr_log_ltail));
}

u32 recover_locked(backend_ctx *ctx, proprhandle *handle, u32 flags)
{
    trace_comp tc = ut_trace(handle);
    trace_print(tc, 2, "prop_recover: Checking for possible recovery scenario");
    propr_log *log = handle->proprhandle_propr_log;
    u32 lsn = log != nullptr ? log->propr_log_lsn : 0;

    // Pages the transaction kept in memory, or wrote to the store, are
    // dropped before anything can read them again.
    ut_pending_end(handle);
    pagecache_rollback(handle);
    rollback_locations(ctx, handle, flags);
    // The boot block in memory follows the disk, where the log is dead now:
    // the vote hand-over of the sync rewrites locations from it.
    if (handle->bootbuf != nullptr) handle->bootbuf[BOOT_OFF_LOG_VALID] = 0;
    const u32 sync_rc = propriosync(handle);
    if (sync_rc != PROP_OK) trace_print(tc, 0, "rrecover:1:problem syncing mirrors [%d]", static_cast<int>(sync_rc));
    // The transaction is gone from every location that could be rolled
    // back, whatever became of the sync: the memory must forget it too, or
    // its pages and cache entries would come back at the next commit.
    trace_print(tc, 2, "rrecover: Now clearing up free page list");
    proprut_clear_pagelists(handle);
    trace_print(tc, 2, "rrecover: Now clearing up intention list");
    reset_bitmaps(handle);
    trace_print(tc, 2, "rrecover: Now clearing up log structure");
    reset_log(handle, lsn);
    if (handle->proprhandle_cache != nullptr) {
        const u32 rc = proprch_delete_transient(handle->proprhandle_cache, 0);
        if (rc != PROP_OK) {
            trace_print(tc, 0, "rrecover: Problem [%d] deleting transient cache entries", static_cast<int>(rc));
            return PROP_E_STORAGE;
        }
    }
    return sync_rc;
}

}  // namespace

u32 rrecover_helper(backend_ctx *ctx, u32 slot)
{
    if (ctx == nullptr || ctx->propb_ctx == nullptr) return PROP_E_CTX;
    proprhandle *handle = ctx->propb_ctx;
    if (slot >= PROP_NUM_SLOTS) return PROP_E_STORAGE;
    propr_log scratch{};
    propr_log *log = handle->proprhandle_propr_log != nullptr ? handle->proprhandle_propr_log : &scratch;
    Location loc{handle, slot, handle->proprhandle_filename[slot], ut_trace(handle)};
    trace_print(loc.tc, 2, "prop_recover_helper: Checking for possible recovery scenario for disk [%s,%d]",
                loc.name, static_cast<int>(slot));
    log->propr_log_lsn = 0;
    log->propr_log_opid = 0;
    log->propr_log_ltail = 0;
    return undo_location(loc, log);
}

u32 proprrecover(backend_ctx *ctx, u32 flags)
{
    if (ctx == nullptr) {
        trace_print(ut_trace(nullptr), 0, "rrecover: Null context passed ");
        return PROP_E_CTX;
    }
    proprhandle *handle = ctx->propb_ctx;
    if (handle == nullptr) {
        trace_print(ut_trace(nullptr), 0, "rrecover: Backend context passed is null");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, (flags & PROPR_RECOVER_HOLDS_LOCK) ? RwGuard::None : RwGuard::Exclusive);
    return recover_locked(ctx, handle, flags);
}

u32 rrecovernumpage(backend_ctx *ctx)
{
    if (ctx == nullptr) {
        trace_print(ut_trace(nullptr), 0, "rrecovernumpage: Null context passed ");
        return PROP_E_CTX;
    }
    proprhandle *handle = ctx->propb_ctx;
    if (handle == nullptr) {
        trace_print(ut_trace(nullptr), 0, "rrecovernumpage: Backend context passed is null");
        return PROP_E_CTX;
    }
    trace_comp tc = ut_trace(handle);
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    u32 rc = proprrecover(ctx, PROPR_RECOVER_HOLDS_LOCK);
    if (rc != PROP_OK) {
        trace_print(tc, 0, "rrecovernumpage: failed to call proprrecover (%d)", static_cast<int>(rc));
        return rc;
    }

    u32 smallest = 0;
    for (u32 i = 0; i < PROP_NUM_SLOTS; ++i) {
        if (handle->proprhandle_native_state[i] != PROP_SLOT_OPEN) continue;
        u32 pages = handle->proprhandle_native_numpage[i];
        if (smallest == 0 || pages < smallest) smallest = pages;
    }
    u32 computed = rut_compute_remaining_numpage(handle, smallest);
    if (computed == 0) {
        trace_print(tc, 0, "rrecovernumpage: numpage is too small (%d)", static_cast<int>(computed));
        return PROP_E_STORAGE;
    }
    // Locations grown since the format let the tnode area grow as far as
    // the bitmap pages the format laid out can count.
    const u64 covered = u64{handle->proprhandle_num_fcl} * PROPR_BITS_PER_FCL;
    if (computed > covered) computed = static_cast<u32>(covered);
    if (handle->numpage == computed) return PROP_OK;
    if (handle->numpage != 0 && handle->numpage < computed)
        trace_print(tc, 1, "rrecovernumpage: the locations hold %d pages: numpage grows from %d",
                    static_cast<int>(computed), static_cast<int>(handle->numpage));
    else
        trace_print(tc, 0, "rrecovernumpage: numpage on device is not correct (%d); recalculate (%d)",
                    static_cast<int>(handle->numpage), static_cast<int>(computed));
    const u32 recorded = handle->numpage;
    handle->numpage = computed;
    be32_put(handle->bootbuf, BOOT_OFF_NUMPAGE, computed);
    trace_print(tc, 4, "rrecovernumpage:10: numpage = %d written to bootblock", static_cast<int>(computed));
    if (ut_stamp_write(handle, handle->bootbuf, 0) != PROP_OK) {
        trace_print(tc, 0, "rrecover:10:problem writing the boot block");
        handle->numpage = recorded;
        be32_put(handle->bootbuf, BOOT_OFF_NUMPAGE, recorded);
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

// Writing one raw block back: the last resort of a support tool.  A block
// of the tnode area is written inside a transaction of its own, so a crash
// in the middle leaves the old block or the new one; afterwards the handle
// lets go of whatever it kept from the old one.
#include <cstring>

#include "cache/cache.h"
#include "diag/blocks.h"
#include "diag/diag.h"
#include "io/io.h"
#include "io/pagecache.h"
#include "keys/keyhandle.h"
#include "lifecycle/init.h"
#include "platform/thread.h"
#include "space/fcl.h"
#include "txn/commit.h"
#include "txn/log.h"
#include "txn/pending.h"
#include "txn/recover.h"

using namespace diag;

namespace {

constexpr block_op kSet = {"prsblock", "sblock", "inbuf and/or inout_size"};
constexpr u32 kSetBlockOp = 18;  // operation code the transaction records

u32 header_number(const u8 *block)
{
    propr_hdr hdr;
    std::memcpy(&hdr, block, sizeof hdr);
    return hdr.propr_hdr_blocknum;
}

u32 header_type(const u8 *block)
{
    propr_hdr hdr;
    std::memcpy(&hdr, block, sizeof hdr);
    return hdr.propr_hdr_block_type;
}

// The block the call names, taken from the key or from the block itself.
u32 target(proprhandle *h, const propr_keyhandle *keyh, const u8 *block, u32 flags, place *at)
{
    if ((flags & DIAG_BY_KEY) == 0 && (flags & DIAG_BY_NUMBER) != 0)
        trace_print(raw(h), 4, "prsblock: blknum passed : %d", static_cast<int>(header_number(block)));
    if (u32 rc = locate_block(h, kSet, keyh, header_number(block), flags, at); rc != PROP_OK) return rc;
    if ((flags & DIAG_BY_KEY) == 0) return PROP_OK;
    trace_print(raw(h), 4, "prsblock: keyname passed : %s", keyh->propr_keyhandle_keyname);
    const u32 own = propr_blocknum(at->offset);
    if (header_number(block) != own) {
        trace_print(raw(h), 0, "sblock: blocknumber mismatch, blkno=%d, hdr_blkno=%d\n", static_cast<int>(own),
                    static_cast<int>(header_number(block)));
        return PROP_E_BADHDR;
    }
    return PROP_OK;
}

// Replacing a tnode by number needs the right to write the key it holds now.
u32 may_write(proprhandle *h, const prop_secctx *secctx, const place &at, const u8 *block, u32 flags)
{
    trace_comp tc = raw(h);
    if ((flags & DIAG_BY_KEY) != 0) return PROP_OK;
    if (header_type(block) != PROPR_BLK_TNODE) {
        trace_print(tc, 4, "prsblock: implicit permission granted to write non-tnode");
        return PROP_OK;
    }
    const u32 bypass = flags & PROP_FLAG_BYPASS;
    trace_print(tc, 4, "%s", bypass ? "sblock: re-reading tnode with BYPASS flag" : "sblock: re-reading tnode");
    // Read past a bad header either way: a block being repaired must not
    // take the location that holds it out of service.
    alignas(8) u8 stored[PROP_PAGE_SIZE];
    u32 rc = read_block(h, DIAG_ALL_LOCATIONS, at.offset, 0, stored);
    if (rc == PROP_OK && bypass == 0 && proprut_isblk_valid_buf(stored, PROPR_BLK_TNODE) == 0) rc = PROP_R_BADTNODE;
    if (rc != PROP_OK) {
        trace_print(tc, 0, "sblock: failure in proprutrtnode(), err=%d", static_cast<int>(rc));
        return PROP_E_STORAGE;
    }
    if (tnode_permission(h, secctx, stored, PROP_PERM_WRITE, kSet) != PROP_OK) {
        trace_print(tc, 0, "prsblock: No permission to write the tnode");
        return PROP_E_PERM;
    }
    trace_print(tc, 4, "prsblock: explicit permission granted to write tnode");
    return PROP_OK;
}

u32 write_block(proprhandle *h, u32 location, const place &at, u8 *block)
{
    hdr_stamp_checksum(block, PROP_PAGE_SIZE);
    const u32 selector = location == DIAG_ALL_LOCATIONS ? PROPRIO_ALL : location;
    if (propriow(h, block, PROP_PAGE_SIZE, at.offset, selector) != PROP_OK) {
        trace_print(raw(h), 0, "sblock: Problem writing the block at offset %d", static_cast<int>(at.offset));
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

// The transaction around a page of the tnode area.  The image saved is
// the block as the written location(s) hold it; a block recovery could not
// put back (its header does not validate) is written without one, since
// there is nothing sound to return to.
u32 write_logged(backend_ctx *ctx, u32 location, const place &at, u8 *block)
{
    proprhandle *h = ctx->propb_ctx;
    alignas(8) u8 old[PROP_PAGE_SIZE];
    if (read_block(h, location, at.offset, 0, old) != PROP_OK) {
        trace_print(raw(h), 0, "sblock: Problem reading the block at offset %d", static_cast<int>(at.offset));
        return PROP_E_STORAGE;
    }
    if (proprut_isblk_valid_buf(old, PROPR_BLK_ANY) == 0) {
        trace_print(raw(h), 2, "prsblock: nologging");
        return write_block(h, location, at, block);
    }
    trace_print(raw(h), 4, "prsblock: logging");
    if (proprutbeginlog(h, kSetBlockOp) != PROP_OK) {
        trace_print(raw(h), 0, "prsblock: Problem in begin log");
        proprrecover(ctx, PROPR_RECOVER_HOLDS_LOCK);
        return PROP_E_STORAGE;
    }
    if (proprutlog(h, at.page, old) != PROP_OK) {
        trace_print(raw(h), 0, "prsblock: Problem in writing log");
        proprrecover(ctx, PROPR_RECOVER_HOLDS_LOCK);
        return PROP_E_STORAGE;
    }
    // The image and the metadata that counts it are on the store before
    // the block changes in place, on one location or on all.
    if (ut_pending_flush(h) != PROP_OK || write_block(h, location, at, block) != PROP_OK ||
        proprutfsu(h) != PROP_OK) {
        proprrecover(ctx, PROPR_RECOVER_HOLDS_LOCK);
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

// A page of the tnode area may have been a tnode or a child-entry page the
// key cache resolved a name through: the cache starts empty again, and so
// does the page cache, whatever it held of the block's neighbours.
u32 forget_cached_keys(proprhandle *h)
{
    pagecache_clear(h);
    if (h->proprhandle_cache == nullptr) return PROP_OK;
    proprch_ctx *fresh = nullptr;
    if (proprch_init(h, &fresh) != PROP_OK) {
        trace_print(raw(h), 0, "prsblock: could not renew the key cache");
        return PROP_E_STORAGE;
    }
    proprch_terminate(h->proprhandle_cache);
    h->proprhandle_cache = fresh;
    return PROP_OK;
}

// The boot block, the superblocks, the bitmap pages and the name pages are
// kept in memory: they are read again, so that the next commit builds on
// the patched block instead of writing the old one back.
u32 reread_metadata(proprhandle *h)
{
    if (u32 rc = propribctx(h, 1, 0); rc != PROP_OK) {
        trace_print(raw(h), 0, "prsblock: could not read the boot block and superblock again [%d]", static_cast<int>(rc));
        return PROP_E_STORAGE;
    }
    for (u32 i = 0; i < h->proprhandle_num_fcl; i++) {
        h->proprhandle_fcl[i]->propr_fcl_read = 0;
        h->proprhandle_fcl[i]->propr_fcl_changed = 0;
        h->proprhandle_fcl[i]->propr_fcl_first_free = -1;
    }
    return PROP_OK;
}

}  // namespace

u32 proprsblock(backend_ctx *ctx, propr_keyhandle *keyh, u32 location, const void *inbuf, u32 *inout_size,
                u32 flags)
{
    if (!ctx_usable(ctx, kSet.name)) return PROP_E_CTX;
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    proprhandle *h = ctx->propb_ctx;
    if (u32 rc = check_block_args(h, kSet, inbuf != nullptr, inout_size, location); rc != PROP_OK) return rc;
    alignas(8) u8 block[PROP_PAGE_SIZE];
    std::memcpy(block, inbuf, PROP_PAGE_SIZE);
    place at{};
    if (u32 rc = target(h, keyh, block, flags, &at); rc != PROP_OK) return rc;

    if (at.in_tnodes) {
        bool isfree = false;
        if (page_free(h, at.page, &isfree) != PROP_OK) return PROP_E_STORAGE;
        if (isfree) {
            trace_print(raw(h), 0, "sblock: trying to write unallocated block");
            return PROP_E_NOTALLOC;
        }
    }
    if (proprut_isblk_valid_buf(block, at.expected) == 0) {
        trace_print(raw(h), 0, "sblock: Problem validating the block header");
        return PROP_E_BADHDR;
    }
    if (u32 rc = may_write(h, ctx->prop_sctx, at, block, flags); rc != PROP_OK) return rc;

    if (!at.in_tnodes) {
        trace_print(raw(h), 4, "prsblock: nologging");
        if (u32 rc = write_block(h, location, at, block); rc != PROP_OK) return rc;
        *inout_size = PROP_PAGE_SIZE;
        return reread_metadata(h);
    }
    if (u32 rc = write_logged(ctx, location, at, block); rc != PROP_OK) return rc;
    *inout_size = PROP_PAGE_SIZE;
    return forget_cached_keys(h);
}

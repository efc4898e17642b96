// Reading one raw block for a support tool.
#include <cstring>

#include "diag/blocks.h"
#include "diag/diag.h"
#include "platform/thread.h"

using namespace diag;

namespace {

constexpr block_op kGet = {"prgblock", "gblock", "outbuf, blkno and/or inout_size"};

// A block read by number is shown according to what it holds: anything
// that is not a valid block of its place only to a privileged caller, a
// tnode to whoever may read its key, every other block to anyone.
u32 may_read(proprhandle *h, const prop_secctx *secctx, const place &at, const u8 *block)
{
    trace_comp tc = raw(h);
    if (proprut_isblk_valid_buf(block, at.expected) == 0) {
        if (invalid_block_permission(h, secctx) != PROP_OK) {
            trace_print(tc, 0, "prgblock: no permission to read invalid block");
            return PROP_E_PERM;
        }
        trace_print(tc, 4, "prgblock: permission granted to read invalid block");
        return PROP_OK;
    }
    propr_hdr hdr;
    std::memcpy(&hdr, block, sizeof hdr);
    if (hdr.propr_hdr_block_type != PROPR_BLK_TNODE) {
        trace_print(tc, 4, "prgblock: implicit permission granted to read non-tnode");
        return PROP_OK;
    }
    if (tnode_permission(h, secctx, block, PROP_PERM_QUERY_KEY, kGet) != PROP_OK) {
        trace_print(tc, 0, "prgblock: No permission to read the tnode");
        return PROP_E_PERM;
    }
    trace_print(tc, 4, "prgblock: explicit permission granted to read tnode");
    return PROP_OK;
}

// 0, 38 (free) or 39 (header); a free page read by key ends the call.
u32 judge(proprhandle *h, const place &at, u32 flags, const u8 *block, bool *give)
{
    *give = true;
    if (at.in_tnodes) {
        bool isfree = false;
        if (u32 rc = page_free(h, at.page, &isfree); rc != PROP_OK) {
            trace_print(raw(h), 0, "gblock: proprutifp got error %d", static_cast<int>(rc));
            return PROP_E_STORAGE;
        }
        if (isfree) {
            if (flags & DIAG_BY_KEY) {
                trace_print(raw(h), 0, "gblock: FCL map shows an allocated block [%d] as free", static_cast<int>(at.page));
                *give = false;
            } else {
                trace_print(raw(h), 1, "gblock: read unallocated page %d", static_cast<int>(at.page));
            }
            return PROP_E_NOTALLOC;
        }
    }
    if (proprut_isblk_valid_buf(block, at.expected) == 0) {
        trace_print(raw(h), 1, "gblock: Problem validating the block header - IGNORED");
        return PROP_E_BADHDR;
    }
    return PROP_OK;
}

}  // namespace

u32 proprgblock(backend_ctx *ctx, propr_keyhandle *keyh, u32 location, void *outbuf, u32 *inout_size, u32 *blkno,
                u32 flags)
{
    if (!ctx_usable(ctx, kGet.name)) return PROP_E_CTX;
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Shared);
    proprhandle *h = ctx->propb_ctx;
    trace_print(raw(h), 4, "prgblock: inside proprgblock");
    if (u32 rc = check_block_args(h, kGet, outbuf != nullptr && blkno != nullptr, inout_size, location); rc != PROP_OK)
        return rc;
    place at{};
    if (u32 rc = locate_block(h, kGet, keyh, *blkno, flags, &at); rc != PROP_OK) return rc;

    alignas(8) u8 block[PROP_PAGE_SIZE];
    if (read_block(h, location, at.offset, flags, block) != PROP_OK) {
        trace_print(raw(h), 0, "gblock: Problem reading the block at offset %d", static_cast<int>(at.offset));
        return PROP_E_STORAGE;
    }
    bool give = true;
    const u32 rc = judge(h, at, flags, block, &give);
    if (!give || rc == PROP_E_STORAGE) return rc;
    if ((flags & DIAG_BY_KEY) == 0 && may_read(h, ctx->prop_sctx, at, block) != PROP_OK) return PROP_E_PERM;

    std::memcpy(outbuf, block, PROP_PAGE_SIZE);
    *inout_size = PROP_PAGE_SIZE;
    *blkno = propr_blocknum(at.offset);
    return rc;
}

#include "diag/blocks.h"

#include "diag/diag.h"
#include "io/io.h"
#include "keys/keyhandle.h"
#include "tree/permission.h"

namespace diag {

namespace {

bool location_known(const proprhandle *h, u32 location)
{
    if (location == DIAG_ALL_LOCATIONS) return true;
    if (location >= PROP_NUM_SLOTS) return false;
    return h->proprhandle_filename[location][0] != '\0' || h->proprhandle_native[location] != nullptr;
}

}  // namespace

u32 check_block_args(const proprhandle *h, const block_op &op, bool pointers_given, u32 *inout_size, u32 location)
{
    if (!pointers_given || inout_size == nullptr) {
        trace_print(raw(h), 1, "%s: null pointer passed for %s", op.name, op.null_names);
        return PROP_E_NULL;
    }
    if (*inout_size < PROP_PAGE_SIZE) {
        trace_print(raw(h), 0, "%s: buffer passed is too small", op.name);
        *inout_size = PROP_PAGE_SIZE;
        return PROP_E_BUFSZ;
    }
    if (!location_known(h, location)) {
        trace_print(raw(h), 0, "%s: invalid location passed [%d]", op.name, static_cast<int>(location));
        return PROP_E_ARG;
    }
    return PROP_OK;
}

u32 locate_block(const proprhandle *h, const block_op &op, const propr_keyhandle *keyh, u32 blkno, u32 flags,
                 place *out)
{
    if (flags & DIAG_BY_KEY) {
        if (!propr_keyhandle_valid(keyh)) {
            trace_print(raw(h), 0, "%s: NULL or INVALID keyh passed", op.name);
            return PROP_E_KEYH;
        }
        if (keyh->propr_keyhandle_kdesc == nullptr) {
            trace_print(raw(h), 0, "%s: Backend key handle passed is null", op.name);
            return PROP_E_KEYH;
        }
        const u32 page = keyh->propr_keyhandle_kdesc->kd_tnode;
        if (!place_of_page(h, page, out)) {
            trace_print(raw(h), 0, "%s: Block number [%d] passed out of range", op.name,
                        static_cast<int>(propr_blocknum(propr_page_addr(h->proprhandle_rtnst, page))));
            return PROP_E_ARG;
        }
        out->expected = PROPR_BLK_TNODE;
        return PROP_OK;
    }
    if (flags & DIAG_BY_NUMBER) {
        if (!place_of_number(h, blkno, out)) {
            trace_print(raw(h), 0, "%s: Block number [%d] passed out of range", op.name, static_cast<int>(blkno));
            return PROP_E_ARG;
        }
        return PROP_OK;
    }
    trace_print(raw(h), 0, "%s: Invalid flag passed [%d]", op.name, static_cast<int>(flags));
    return PROP_E_ARG;
}

u32 read_block(proprhandle *h, u32 location, u64 offset, u32 flags, u8 *block)
{
    const u32 selector = location == DIAG_ALL_LOCATIONS ? PROPRIO_ALL : location;
    u32 rc = proprior(h, block, PROP_PAGE_SIZE, offset, flags | PROP_FLAG_BYPASS, selector);
    return rc == PROP_OK ? PROP_OK : PROP_E_STORAGE;
}

u32 page_free(proprhandle *h, u32 page, bool *isfree)
{
    bitmaps map(h);
    if (u32 rc = map.load_for(page); rc != PROP_OK) return PROP_E_STORAGE;
    *isfree = !map.used(page);
    return PROP_OK;
}

u32 tnode_permission(proprhandle *h, const prop_secctx *secctx, const u8 *raw_tnode, u32 required, const block_op &op)
{
    sec_attr sec;
    tnode_security(h, raw_tnode, &sec, op.inner);
    return proprut_check_permission(h, secctx, &sec, required) == PROP_OK ? PROP_OK : PROP_E_PERM;
}

u32 invalid_block_permission(proprhandle *h, const prop_secctx *secctx)
{
    const sec_attr grants_nothing{};
    return proprut_check_permission(h, secctx, &grants_nothing, PROP_PERM_QUERY_KEY) == PROP_OK ? PROP_OK
                                                                                              : PROP_E_PERM;
}

}  // namespace diag

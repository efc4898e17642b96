// Reading a value back: the inline bytes of the tnode, then its VAL pages.
#include <algorithm>
#include <cstring>

#include "core/alloc.h"
#include "format/block.h"
#include "io/io.h"
#include "keys/common.h"
#include "keys/keyhandle.h"
#include "keys/keys.h"
#include "keys/values.h"
#include "tree/tnode.h"
#include "txn/blockio.h"
#include "txn/pending.h"

using namespace propreg;

namespace {

void trace_text(const char *fmt_what, const u8 *bytes, u32 n)
{
    trace_print(keys_raw(), 4, "prgval: %s=[%.*s]", fmt_what, static_cast<int>(strnlen(reinterpret_cast<const char *>(bytes), n)),
                reinterpret_cast<const char *>(bytes));
}

// Copies the value of a tnode read into raw; *out has room for it.
u32 copy_value(proprhandle *handle, const tnode &node, const u8 *raw, u8 *out)
{
    u32 size = node.value_size;
    u32 pages = 0, direct = 0, single = 0;
    if (proprutfnop(handle, size, &pages, &direct, &single) != PROP_OK) {
        trace_print(keys_raw(), 0, "prgval: Could not find number of pages required");
        return PROP_E_STORAGE;
    }
    u32 done = std::min(size, TNODE_INLINE_VALUE_SIZE);
    if (done > 0) std::memcpy(out, node.inline_value, done);
    bool text = node.data_type == PROP_TYPE_TEXT && trace_enabled(keys_raw(), 4);
    if (text) trace_text(direct > 0 ? "INTNODEVAL" : "OUTVAL", out, done);
    if (direct == 0) return PROP_OK;
    value_addrs va = value_addrs_read(raw, "prgval: value page");
    // The value pages are read together, then taken in order.
    MetaPtr<keys_block> blocks = MetaPtr<keys_block>::alloc(handle->metactx, direct);
    if (!blocks) return PROP_E_NOMEM;
    proprio_read reads[TNODE_NUM_DIRECT];
    for (u32 i = 0; i < direct; i++)
        reads[i] = proprio_read{blocks[i].b, PROP_PAGE_SIZE, ut_page_addr(handle, va.direct[i]), 0};
    ut_pages_read(handle, reads, direct, 0);
    for (u32 i = 0; i < direct; i++) {
        trace_print(keys_raw(), 4,
                    "prgval: calling proprutrbuf addr=%d, curptr = %d, i = %d num_direct = %d, num_single = %d "
                    "*outsize = %d",
                    static_cast<int>(va.direct[i]), static_cast<int>(done), static_cast<int>(i),
                    static_cast<int>(direct), static_cast<int>(single), static_cast<int>(size));
        if (u32 rc = reads[i].result; rc != PROP_OK) {
            trace_print(keys_raw(), 0, "\n proprgval: problem reading the value %d, %d\n", static_cast<int>(rc),
                        static_cast<int>(va.direct[i]));
            return PROP_E_STORAGE;
        }
        const keys_block &blk = blocks[i];
        if (proprut_isblk_valid_buf(blk.b, PROPR_BLK_VAL) == 0) return PROP_E_STORAGE;
        u32 n = std::min(PROPR_PAGE_ADDR_SIZE, size - done);
        std::memcpy(out + done, blk.b + sizeof(propr_hdr), n);
        if (text)
            trace_print(keys_raw(), 4, "prgval: OUTVAL=[%.*s] val_ptr = %d", static_cast<int>(n),
                        reinterpret_cast<const char *>(out + done), static_cast<int>(done));
        done += n;
    }
    return PROP_OK;
}

}  // namespace

u32 prgval(backend_ctx *ctx, propr_keyhandle *keyhandle, u32 *dtype, void *value, u32 *size, u32)
{
    if (!ctx_valid(ctx)) {
        trace_print(keys_raw(), 0, "prgval: Null context passed ");
        return PROP_E_CTX;
    }
    // Taken even inside a batch: get is never part of one.
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    proprhandle *handle = nullptr;
    if (u32 rc = check_key_handles(ctx, keyhandle, "prgval", "NULL keyhandle passed", &handle); rc != PROP_OK)
        return rc;
    if (dtype == nullptr || size == nullptr || (value == nullptr && *size > 0)) {
        trace_print(keys_raw(), 0, "prgval: NULL type, value or size passed");
        return PROP_E_NULL;
    }
    u32 addr = 0;
    if (u32 rc = propr_keyhandle_addr(handle, keyhandle, "prgval", PROP_E_STALE, &addr); rc != PROP_OK) return rc;
    trace_print(keys_raw(), 2, "prgval: Inside proprgval3 %d", static_cast<int>(addr));
    tnode node{};
    keys_block raw;
    if (proprutrtnode(handle, &node, addr, raw.b, 0) != PROP_OK) {
        trace_print(keys_raw(), 0, "prgval: problem reading the tnode");
        return PROP_E_STORAGE;
    }
    u32 capacity = *size;
    *size = node.value_size;
    keyhandle->propr_keyhandle_valsize = node.value_size;
    trace_print(keys_raw(), 4, "prgval: successfully read the tnode at address %d,  outsize = %d",
                static_cast<int>(addr), static_cast<int>(node.value_size));
    if (capacity < node.value_size) {
        trace_print(keys_raw(), 1, "prgval:buffer passed is too small");
        return PROP_E_BUFSZ;
    }
    *dtype = node.data_type;
    trace_print(keys_raw(), 4, "prgval: Datatype passed back is %d", static_cast<int>(node.data_type));
    if (u32 rc = copy_value(handle, node, raw.b, static_cast<u8 *>(value)); rc != PROP_OK) return rc;
    trace_print(keys_raw(), 4, "prgval: returning from proprgval outsize = %d", static_cast<int>(*size));
    return PROP_OK;
}

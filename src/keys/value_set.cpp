// Setting a value: the first 256 bytes go into the key's tnode, the rest
// into up to 20 VAL pages it names.  Pages the value keeps are rewritten in
// place (after their old image is saved), missing ones are allocated and
// surplus ones are freed at commit.
#include <algorithm>
#include <cstring>

#include "keys/common.h"
#include "keys/keyhandle.h"
#include "keys/keys.h"
#include "keys/values.h"
#include "space/fcl.h"
#include "tree/tnode.h"
#include "txn/commit.h"
#include "txn/log.h"
#include "txn/readahead.h"

using namespace propreg;

namespace {

void trace_value(const char *fmt_text, const char *fmt_plain, u32 dtype, const void *value, u32 size)
{
    if (!trace_enabled(keys_raw(), 4)) return;
    if (dtype == PROP_TYPE_TEXT && value != nullptr) {
        // A text value need not end in a NUL: print at most its bytes.
        int n = static_cast<int>(std::min<u32>(size, 1024));
        const char *text = static_cast<const char *>(value);
        n = static_cast<int>(strnlen(text, static_cast<size_t>(n)));
        trace_print(keys_raw(), 4, "%s: Inside %s, invalue [%.*s], dtype [%d]", fmt_text, fmt_plain, n, text,
                    static_cast<int>(dtype));
    } else {
        trace_print(keys_raw(), 4, "%s: Inside %s, dtype [%d]", fmt_text, fmt_plain, static_cast<int>(dtype));
    }
}

struct page_counts {
    u32 pages = 0;
    u32 direct = 0;
    u32 single = 0;
};

u32 count_pages(proprhandle *handle, u32 size, page_counts *pc)
{
    return proprutfnop(handle, size, &pc->pages, &pc->direct, &pc->single);
}

// Saves the tnode and the value pages that are about to be overwritten.
u32 log_old_pages(proprhandle *handle, u32 addr, const u8 *raw, const value_addrs &va, u32 overwrite, bool grows)
{
    if (keys_log_once(handle, addr, raw) != PROP_OK) {
        trace_print(keys_raw(), 0, "proprsetvali: Problem in writing log (parent tnode)");
        return PROP_E_STORAGE;
    }
    // The old value pages are read together, not one after another.
    page_readahead ahead(handle);
    ahead.want(va.direct, overwrite);
    for (u32 i = 0; i < overwrite; i++) {
        if (keys_log_once(handle, va.direct[i], ahead.peek(va.direct[i])) == PROP_OK) continue;
        trace_print(keys_raw(), 0, grows ? "proprsetval1: Problem in writing log (parent tnode)"
                                         : "proprsetvali: Problem in writing log (parent tnode)");
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

// Gives every page the new value needs an address.
u32 allocate_pages(proprhandle *handle, value_addrs &va, u32 direct)
{
    for (u32 i = 0; i < direct; i++) {
        if (va.direct[i] != 0) continue;
        u32 page = 0;
        if (u32 rc = proprutffp(handle, &page); rc != PROP_OK) {
            trace_print(keys_raw(), 0, "proprsetvali: proprutffp failed (%d)", static_cast<int>(rc));
            return rc;
        }
        trace_print(keys_raw(), 4, "proprsetvali: returned from proprutffp:  free_space_addr = %d",
                    static_cast<int>(page));
        va.direct[i] = page;
        trace_print(keys_raw(), 4, "proprsetvali: free space addr = %d", static_cast<int>(page));
    }
    return PROP_OK;
}

u32 write_pages(proprhandle *handle, const value_addrs &va, u32 direct, const u8 *value, u32 size)
{
    trace_print(keys_raw(), 4, "proprsetvali:copying the data into value_buf %d num_direc = %d",
                static_cast<int>(size), static_cast<int>(direct));
    u32 done = TNODE_INLINE_VALUE_SIZE;
    for (u32 i = 0; i < direct; i++) {
        u32 n = std::min(PROPR_PAGE_ADDR_SIZE, size - done);
        trace_print(keys_raw(), 4, "proprsetvali: WRITING the VALUE into logical addr = %d i = %d",
                    static_cast<int>(va.direct[i]), static_cast<int>(i));
        if (u32 rc = value_page_write(handle, va.direct[i], value + done, n); rc != PROP_OK) {
            trace_print(keys_raw(), 0, "proprsetvali: problem writing the value_block %d, %d\n", static_cast<int>(rc),
                        static_cast<int>(va.direct[i]));
            return rc;
        }
        done += n;
    }
    trace_print(keys_raw(), 4, "proprsetvali: Finished writing directly addressed value blocks");
    return PROP_OK;
}

// Surplus pages go back to free space at commit, so a rollback never finds
// one of them reused.
u32 free_surplus(proprhandle *handle, value_addrs &va, u32 direct)
{
    for (u32 i = direct; i < TNODE_NUM_DIRECT; i++) {
        if (va.direct[i] == 0) continue;
        if (proprutcfp(handle, va.direct[i], PROPR_FREE_DEFERRED) != PROP_OK) {
            trace_print(keys_raw(), 0, "proprsetvali: could not free the tnode");
            return PROP_E_STORAGE;
        }
        trace_print(keys_raw(), 4, "proprsetvali: Clearing DIRECT ADDRESS %d", static_cast<int>(i));
        va.direct[i] = 0;
    }
    return PROP_OK;
}

// Everything between the begin and the commit; the caller rolls back on
// failure.
u32 setval_apply(proprhandle *handle, u32 addr, u32 dtype, const u8 *value, u32 size)
{
    tnode node{};
    keys_block raw;
    if (proprutrtnode(handle, &node, addr, raw.b, 0) != PROP_OK) {
        trace_print(keys_raw(), 0, "proprsetvali: problem reading the tnode");
        return PROP_E_STORAGE;
    }
    trace_print(keys_raw(), 4, "proprsetvali: Successfully read the tnode, tnode value size = %d",
                static_cast<int>(node.value_size));
    page_counts old_pc, new_pc;
    if (count_pages(handle, node.value_size, &old_pc) != PROP_OK || count_pages(handle, size, &new_pc) != PROP_OK) {
        trace_print(keys_raw(), 0, "proprsetvali: proprutfnop call was not successful");
        return PROP_E_STORAGE;
    }
    value_addrs va = value_addrs_read(raw.b, "proprsetvali: reading DIRECT ADDRESSES");
    u32 overwrite = std::min(old_pc.direct, new_pc.direct);
    if (u32 rc = log_old_pages(handle, addr, raw.b, va, overwrite, new_pc.direct > old_pc.direct); rc != PROP_OK)
        return rc;

    std::memset(node.inline_value, 0, sizeof node.inline_value);
    if (size > TNODE_INLINE_VALUE_SIZE) trace_print(keys_raw(), 4, "proprsetvali: Putting the value in the tnode");
    if (size > 0) std::memcpy(node.inline_value, value, std::min(size, TNODE_INLINE_VALUE_SIZE));
    if (u32 rc = allocate_pages(handle, va, new_pc.direct); rc != PROP_OK) return rc;
    if (u32 rc = write_pages(handle, va, new_pc.direct, value, size); rc != PROP_OK) return rc;
    if (u32 rc = free_surplus(handle, va, new_pc.direct); rc != PROP_OK) return rc;

    node.value_size = size;
    node.data_type = static_cast<u8>(dtype);
    trace_print(keys_raw(), 4, "proprsetvali: datatype stored is %d", static_cast<int>(node.data_type));
    trace_print(keys_raw(), 4, "proprsetvali: The size of the value is %d", static_cast<int>(size));
    value_addrs_write(raw.b, va, "proprsetvali: WRITING ADDRESSES AGAIN");
    // The tnode writer leaves the inline area alone for an empty value.
    if (size == 0) std::memset(raw.b + TNODE_OFF_INLINE_VALUE, 0, TNODE_INLINE_VALUE_SIZE);
    if (u32 rc = proprutwtnode(handle, &node, addr, raw.b); rc != PROP_OK) {
        trace_print(keys_raw(), 0, "proprsetvali: problem writing the tnode %d, %d\n", static_cast<int>(rc),
                    static_cast<int>(addr));
        return rc;
    }
    return PROP_OK;
}

// Early refusals: a transaction the caller (or the batch) holds open is
// rolled back, one this call would have begun was never begun.
u32 refuse(backend_ctx *ctx, bool caller_txn, u32 rc)
{
    return caller_txn ? keys_rollback(ctx, "proprsetvali", rc) : rc;
}

}  // namespace

u32 proprsetval(backend_ctx *ctx, propr_keyhandle *keyhandle, u32 dtype, const void *value, u32 size, u32 flags)
{
    if (!ctx_valid(ctx)) {
        trace_print(keys_raw(), 0, "proprsetval: ctx is NULL");
        return PROP_E_STORAGE;
    }
    if (ctx->propb_ctx == nullptr) {
        trace_print(keys_raw(), 0, "proprsetval: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    trace_value("proprsetval", "proprsetval", dtype, value, size);
    if (!propr_keyhandle_valid(keyhandle)) {
        trace_print(keys_raw(), 0, "proprsetval: NULL keyhandle passed");
        return PROP_E_KEYH;
    }
    RwGuard lock(&ctx->prop_rwlock, ctx_lock_mode(flags));
    return proprsetvali(ctx, keyhandle, dtype, value, size, 1, flags);
}

u32 proprsetvali(backend_ctx *ctx, propr_keyhandle *keyhandle, u32 dtype, const void *value, u32 size,
                 u32 own_txn, u32 flags)
{
    if (ctx == nullptr) {
        trace_print(keys_raw(), 0, "proprsetvali: Null context passed ");
        return PROP_E_CTX;
    }
    bool caller_txn = own_txn == 0 || in_batch(flags);
    proprhandle *handle = ctx->propb_ctx;
    if (handle == nullptr) {
        trace_print(keys_raw(), 0, "proprsetvali: Backend context passed is null");
        return PROP_E_CTX;
    }
    trace_value("proprsetvali", "proprsetvali", dtype, value, size);
    if (!propr_keyhandle_valid(keyhandle)) {
        trace_print(keys_raw(), 0, "proprsetvali: NULL keyhandle passed");
        return refuse(ctx, caller_txn, PROP_E_KEYH);
    }
    if (keyhandle->propr_keyhandle_kdesc == nullptr) {
        trace_print(keys_raw(), 0, "proprsetvali: Key handle passed is null");
        return refuse(ctx, caller_txn, PROP_E_KEYH);
    }
    if (value == nullptr && size > 0) {
        trace_print(keys_raw(), 0, "proprsetvali: NULL value passed with size %d", static_cast<int>(size));
        return refuse(ctx, caller_txn, PROP_E_NULL);
    }
    if (size > PROPR_MAX_VALUE_SIZE) {
        trace_print(keys_raw(), 4, "proprsetvali: Value too big");
        return refuse(ctx, caller_txn, PROP_E_TOOBIG);
    }
    if (dtype > PROPR_MAX_DATA_TYPE) {
        trace_print(keys_raw(), 0, "proprsetvali: Data type [%u] does not fit in one byte", dtype);
        return refuse(ctx, caller_txn, PROP_E_ARG);
    }
    // Inside the caller's transaction the handle was made in it.
    u32 addr = keyhandle->propr_keyhandle_kdesc->kd_tnode;
    if (own_txn != 0) {
        if (u32 rc = propr_keyhandle_addr(handle, keyhandle, "proprsetvali", PROP_E_STALE, &addr); rc != PROP_OK)
            return refuse(ctx, caller_txn, rc);
    }
    trace_print(keys_raw(), 4, "proprsetvali: tnode address = %d", static_cast<int>(addr));
    if (!caller_txn && proprutbeginlog(handle, PROP_BATCH_SET_VALUE) != PROP_OK) {
        trace_print(keys_raw(), 0, "proprdkey: Problem in begin log");
        return PROP_E_STORAGE;
    }
    if (u32 rc = setval_apply(handle, addr, dtype, static_cast<const u8 *>(value), size); rc != PROP_OK)
        return keys_rollback(ctx, "proprsetvali", rc);
    if (!caller_txn) {
        if (u32 rc = proprutfsu(handle); rc != PROP_OK) return keys_rollback(ctx, "proprsetvali", rc);
    }
    keyhandle->propr_keyhandle_valsize = size;
    trace_print(keys_raw(), 4, "proprsetvali: successfully set the value finally");
    return PROP_OK;
}

// Deleting a value: the tnode's inline bytes are cleared and its VAL pages
// go back to free space at commit.
#include <cstring>

#include "keys/common.h"
#include "keys/keyhandle.h"
#include "keys/keys.h"
#include "keys/values.h"
#include "space/fcl.h"
#include "tree/tnode.h"
#include "txn/commit.h"
#include "txn/log.h"

using namespace propreg;

u32 prdvali(proprhandle *handle, tnode *node, u32 page, u8 *raw, u32 write, u32)
{
    if (node->value_size == 0) {
        trace_print(keys_raw(), 4, "prdvali: value already empty");
        return PROP_R_EMPTYVAL;
    }
    std::memset(node->inline_value, 0, sizeof node->inline_value);
    std::memset(raw + TNODE_OFF_INLINE_VALUE, 0, TNODE_INLINE_VALUE_SIZE);
    value_addrs va = value_addrs_read(raw, "prdvali: reading DIRECT ADDRESSES");
    for (u32 &a : va.direct) {
        if (a == 0) continue;
        if (proprutcfp(handle, a, PROPR_FREE_DEFERRED) != PROP_OK) {
            trace_print(keys_raw(), 0, "prdval: could not free the zkv page");
            return PROP_E_STORAGE;
        }
        a = 0;
    }
    value_addrs_write(raw, va, "prdvali: WRITING ADDRESSES");
    node->value_size = 0;
    node->data_type = 0;
    if (write == 0) return PROP_OK;
    if (u32 rc = proprutwtnode(handle, node, page, raw); rc != PROP_OK) {
        trace_print(keys_raw(), 0, "prdval: problem writing the tnode %d, %d\n", static_cast<int>(rc),
                    static_cast<int>(page));
        return rc;
    }
    return PROP_OK;
}

u32 prdval(backend_ctx *ctx, propr_keyhandle *keyhandle, u32 flags)
{
    if (!ctx_valid(ctx)) {
        trace_print(keys_raw(), 0, "prdval: Null context passed ");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, ctx_lock_mode(flags));
    proprhandle *handle = nullptr;
    if (u32 rc = check_key_handles(ctx, keyhandle, "prdval", "NULL keyhandle passed", &handle); rc != PROP_OK)
        return rc;
    u32 addr = 0;
    if (u32 rc = propr_keyhandle_addr(handle, keyhandle, "prdval", PROP_E_STALE, &addr); rc != PROP_OK) return rc;
    trace_print(keys_raw(), 4, "prdval: address of the tnode for the key is %d, key_comp_name = %s",
                static_cast<int>(addr),
                keyhandle->propr_keyhandle_kdesc->kd_name != nullptr ? keyhandle->propr_keyhandle_kdesc->kd_name : "");
    tnode node{};
    keys_block raw;
    if (proprutrtnode(handle, &node, addr, raw.b, 0) != PROP_OK) {
        trace_print(keys_raw(), 0, "prdval: problem reading the tnode");
        if (in_batch(flags)) return keys_rollback(ctx, "prdval", PROP_E_STORAGE);
        return PROP_E_STORAGE;
    }
    // An empty value needs no transaction at all.
    if (node.value_size == 0) {
        trace_print(keys_raw(), 4, "prdvali: value already empty");
        trace_print(keys_raw(), 4, "prdval: no value present ");
        keyhandle->propr_keyhandle_valsize = 0;
        return PROP_OK;
    }
    if (!in_batch(flags) && proprutbeginlog(handle, PROP_BATCH_DELETE_VALUE) != PROP_OK) {
        trace_print(keys_raw(), 0, "prdval: Problem in begin log");
        return PROP_E_STORAGE;
    }
    if (keys_log_once(handle, addr, raw.b) != PROP_OK) {
        trace_print(keys_raw(), 0, "prdval: Problem in writing log (parent tnode)");
        return keys_rollback(ctx, "prdval", PROP_E_STORAGE);
    }
    if (prdvali(handle, &node, addr, raw.b, 1, flags) != PROP_OK) {
        trace_print(keys_raw(), 0, "prdval: could not delete the value");
        return keys_rollback(ctx, "prdval", PROP_E_STORAGE);
    }
    trace_print(keys_raw(), 4, "prdval: successfully deleted the value ");
    if (!in_batch(flags)) {
        if (u32 rc = proprutfsu(handle); rc != PROP_OK) return keys_rollback(ctx, "prdval", rc);
    }
    keyhandle->propr_keyhandle_valsize = 0;
    return PROP_OK;
}

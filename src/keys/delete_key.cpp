// Deleting a key: alone when it has no subkeys, or with its whole subtree.
// Either way it is one transaction in which only the parent's entries are
// written; every page the key (and its subtree) held goes back to free
// space at commit, and the key cache forgets the key, and everything
// below it, once the change is committed.
#include <cstring>

#include "cache/cache.h"
#include "keys/common.h"
#include "keys/keyhandle.h"
#include "keys/keyplace.h"
#include "keys/keys.h"
#include "keys/treeops.h"
#include "space/fcl.h"
#include "tree/kce.h"
#include "tree/tnode.h"
#include "txn/commit.h"
#include "txn/log.h"

using namespace propreg;

namespace {

// A key without subkeys: its value pages, its entry, its tnode.
u32 delete_alone(proprhandle *handle, const key_place &at, key_entry &entry, const tnode &read, keys_block &raw,
                 u32 flags)
{
    tnode node = read;
    if (u32 rc = prdvali(handle, &node, at.addr, raw.b, 0, flags); rc != PROP_OK && rc != PROP_R_EMPTYVAL) {
        trace_print(keys_raw(), 0, "prdkey: problem deleting value ");
        return PROP_E_STORAGE;
    }
    if (u32 rc = proprutdkce(handle, &entry.kd, flags | PROPR_FREE_DEFERRED); rc != PROP_OK) {
        trace_print(keys_raw(), 0, "prdkey: Could not delete the KCE from parent tnode. Ret [%d]",
                    static_cast<int>(rc));
        return keys_outward(rc);
    }
    if (proprutcfp(handle, at.addr, PROPR_FREE_DEFERRED) != PROP_OK) {
        trace_print(keys_raw(), 0, "prdkey: could not free the tnode");
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

// A key with everything below it, then its entry.
u32 delete_tree(backend_ctx *ctx, const key_place &at, key_entry &entry, u32 flags)
{
    proprhandle *handle = ctx->propb_ctx;
    trace_print(keys_raw(), 4, "prdkey: RECURSIVE delete option chosen ");
    if (u32 rc = proprdkrec(ctx, handle, at.addr, &entry.kd, flags); rc != PROP_OK) return rc;
    if (u32 rc = proprutdkce(handle, &entry.kd, flags | PROPR_FREE_DEFERRED); rc != PROP_OK) {
        trace_print(keys_raw(), 0, "prdkey: Could not delete KCE from the parent tnode. Ret [%d]",
                    static_cast<int>(rc));
        return keys_outward(rc);
    }
    return PROP_OK;
}

// Everything from the begin to the commit; any failure rolls back.
u32 delete_in_txn(backend_ctx *ctx, propr_keyhandle *kh, const key_place &at, u32 recursive, const tnode &node,
                  keys_block &raw, u32 flags)
{
    proprhandle *handle = ctx->propb_ctx;
    u32 opid = recursive != 0 ? PROP_BATCH_DELETE_TREE : PROP_BATCH_DELETE_KEY;
    if (!in_batch(flags) && proprutbeginlog(handle, opid) != PROP_OK) {
        trace_print(keys_raw(), 0, "prdkey: Problem in begin log");
        return PROP_E_STORAGE;
    }
    key_entry entry;
    key_entry_of(kh, at, &entry);
    trace_print(
        keys_raw(), 4,
        "prdkey: address of the tnode for the key is %d, parent_addr = %d, key_comp_name = [%s], key_name = [%s]",
        static_cast<int>(at.addr), static_cast<int>(at.parent), entry.name, kh->propr_keyhandle_keyname);
    if (keys_log_once(handle, at.parent, nullptr) != PROP_OK) {
        trace_print(keys_raw(), 0, "prdkey: Problem in writing log (parent tnode)");
        return keys_rollback(ctx, "prdkey", PROP_E_STORAGE);
    }
    u32 rc = recursive != 0 ? delete_tree(ctx, at, entry, flags) : delete_alone(handle, at, entry, node, raw, flags);
    if (rc != PROP_OK) return keys_rollback(ctx, "prdkey", rc);
    if (!in_batch(flags)) {
        if (rc = proprutfsu(handle); rc != PROP_OK) return keys_rollback(ctx, "prdkey", rc);
    }
    return PROP_OK;
}

}  // namespace

u32 prdkey(backend_ctx *ctx, propr_keyhandle *keyhandle, u32 recursive, u32 flags)
{
    if (!ctx_valid(ctx)) {
        trace_print(keys_raw(), 0, "prdkey: Null context passed ");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, ctx_lock_mode(flags));
    proprhandle *handle = ctx->propb_ctx;
    if (handle == nullptr) {
        trace_print(keys_raw(), 0, "prdkey: Backend context passed is null");
        return PROP_E_CTX;
    }
    trace_print(keys_raw(), 4, "prdkey: inside proprdkey");
    if (!propr_keyhandle_valid(keyhandle)) {
        trace_print(keys_raw(), 0, "prdkey: NULL keyhandle passed");
        return PROP_E_KEYH;
    }
    if (keyhandle->propr_keyhandle_kdesc == nullptr) {
        trace_print(keys_raw(), 0, "prdkey: Backend key handle passed is null");
        return PROP_E_KEYH;
    }
    if (propr_keyhandle_fixed(keyhandle)) {
        trace_print(keys_raw(), 0, "prdkey: [%s] is a top-level key and is never deleted",
                    keyhandle->propr_keyhandle_keyname);
        return PROP_E_ARG;
    }
    key_place at{};
    if (u32 rc = propr_keyhandle_place(handle, keyhandle, keycheck_texts_of("prdkey"), PROP_E_STALE, true, &at);
        rc != PROP_OK)
        return rc;
    // A plain delete of a key with subkeys is refused before anything is
    // written.
    tnode node{};
    keys_block raw;
    if (recursive == 0) {
        if (proprutrtnode(handle, &node, at.addr, raw.b, 0) != PROP_OK) {
            trace_print(keys_raw(), 0, "prdkey: problem reading the tnode");
            return PROP_E_STORAGE;
        }
        if (node.num_subkey != 0) {
            trace_print(keys_raw(), 2, "prdkey: the key is not empty");
            return PROP_E_NOTEMPTY;
        }
    }
    if (u32 rc = delete_in_txn(ctx, keyhandle, at, recursive, node, raw, flags); rc != PROP_OK) return rc;

    const char *name = keyhandle->propr_keyhandle_keyname;
    trace_print(keys_raw(), 4, "prdkey: Deleting [%s] from backend cache", name);
    u32 rc = proprch_delete(handle->proprhandle_cache, name, recursive != 0 ? 1 : 0, keyhandle->propr_keyhandle_depth,
                            flags & PROP_FLAG_IN_BATCH);
    if (rc != PROP_OK && rc != PROP_R_NOTCACHED)
        trace_print(keys_raw(), 0, "prdkey: Problem deleting [%s] from backend cache %d", name, static_cast<int>(rc));
    if (recursive != 0) trace_print(keys_raw(), 4, "prdkey: return from proprdkey retval = %d key_name=[%s]", 0, name);
    trace_print(keys_raw(), 4, "prdkey: returning from proprdkey retval [%d]", 0);
    return PROP_OK;
}

// A key's security: read from its tnode as names and levels, and replaced
// as a whole inside one transaction.
#include "core/handle.h"
#include "keys/common.h"
#include "keys/keyhandle.h"
#include "keys/keys.h"
#include "tree/names.h"
#include "tree/security.h"
#include "tree/tnode.h"
#include "txn/commit.h"
#include "txn/log.h"

using namespace propreg;

namespace propreg {

u32 keys_tnode_security(proprhandle *handle, const tnode *node, sec_attr *sec)
{
    u32 len = PROP_NAME_SIZE;
    if (proprutidtoname(handle, node->owner_id, &len, sec->username, NAME_KIND_OWNER) != PROP_OK)
        return NAME_KIND_OWNER;
    len = PROP_NAME_SIZE;
    if (proprutidtoname(handle, node->group_id, &len, sec->groupname, NAME_KIND_GROUP) != PROP_OK)
        return NAME_KIND_GROUP;
    sec->userperm = node->user_perm;
    sec->groupperm = node->group_perm;
    sec->otherperm = node->other_perm;
    return PROP_OK;
}

}  // namespace propreg

u32 proprgsec_tnode(proprhandle *handle, const key_desc *kd, const tnode *node, sec_attr *sec)
{
    if (handle == nullptr) {
        trace_print(keys_raw(), 0, "propr_dump_ctx: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    *sec = sec_attr{};
    tnode read{};
    keys_block raw;
    if (node == nullptr) {
        if (proprutrtnode(handle, &read, kd->kd_tnode, raw.b, 0) != PROP_OK) {
            trace_print(keys_raw(), 0, "prgsec: problem reading the tnode");
            return PROP_E_STORAGE;
        }
        node = &read;
    }
    if (u32 kind = keys_tnode_security(handle, node, sec); kind != 0) {
        if (kind == NAME_KIND_OWNER)
            trace_print(keys_raw(), 0, "proprgsec_tnode: failed to retrieve user name for id %d",
                        static_cast<int>(node->owner_id));
        else
            trace_print(keys_raw(), 0, "proprgsec_tnode: failed to retrieve group name for id %d",
                        static_cast<int>(node->group_id));
        *sec = sec_attr{};
        return PROP_E_STORAGE;
    }
    trace_print(keys_raw(), 4, "prgsec: back from converting id to name");
    trace_print(keys_raw(), 4, "prgsec: CHECK get user_perm = %d, group_perm = %d, other_perm = %d",
                static_cast<int>(sec->userperm), static_cast<int>(sec->groupperm), static_cast<int>(sec->otherperm));
    return PROP_OK;
}

u32 prgsec(backend_ctx *ctx, propr_keyhandle *keyhandle, sec_attr *sec)
{
    if (!ctx_valid(ctx)) {
        trace_print(keys_raw(), 0, "prgsec: null context passed ");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    proprhandle *handle = nullptr;
    if (u32 rc = check_key_handles(ctx, keyhandle, "prgsec", "Null handle passed ", &handle); rc != PROP_OK)
        return rc;
    if (sec == nullptr) {
        trace_print(keys_raw(), 0, "prgsec: Null security record passed");
        return PROP_E_NULL;
    }
    u32 addr = 0;
    if (u32 rc = propr_keyhandle_addr(handle, keyhandle, "prgsec", PROP_E_STALE, &addr); rc != PROP_OK) return rc;
    key_desc kd = *keyhandle->propr_keyhandle_kdesc;
    kd.kd_tnode = addr;
    if (proprgsec_tnode(handle, &kd, nullptr, sec) != PROP_OK) return PROP_E_STORAGE;
    trace_print(keys_raw(), 4,
                "\nproprgsec: get security owner=[%s], group=[%s], user_perm = %d, group_perm = %d, other_perm = %d",
                sec->username, sec->groupname, static_cast<int>(sec->userperm), static_cast<int>(sec->groupperm),
                static_cast<int>(sec->otherperm));
    return PROP_OK;
}

namespace {

// Reads, logs, changes and writes the key's tnode; the caller rolls back
// on failure.
u32 ssec_apply(proprhandle *handle, u32 addr, const sec_attr *sec)
{
    tnode node{};
    keys_block raw;
    if (proprutrtnode(handle, &node, addr, raw.b, 0) != PROP_OK) {
        trace_print(keys_raw(), 0, "proprss: problem reading the tnode");
        return PROP_E_STORAGE;
    }
    if (keys_log_once(handle, addr, raw.b) != PROP_OK) {
        trace_print(keys_raw(), 0, "proprssec: Problem in writing log");
        return PROP_E_STORAGE;
    }
    if (proprssec_tnode(handle, &node, sec) != PROP_OK) {
        trace_print(keys_raw(), 0, "proprssec: problem g/setting owner and group ids");
        return PROP_E_STORAGE;
    }
    if (proprutwtnode(handle, &node, addr, raw.b) != PROP_OK) {
        trace_print(keys_raw(), 0, "proprssec: problem reading the tnode");
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

}  // namespace

u32 proprssec(backend_ctx *ctx, propr_keyhandle *keyhandle, const sec_attr *sec, u32 flags)
{
    if (!ctx_valid(ctx)) {
        trace_print(keys_raw(), 0, "proprssec: Null context passed ");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, ctx_lock_mode(flags));
    proprhandle *handle = nullptr;
    if (u32 rc = check_key_handles(ctx, keyhandle, "proprssec", "NULL keyhandle passed", &handle); rc != PROP_OK)
        return rc;
    // A record no key may have is refused before the transaction begins.
    if (u32 rc = proprssec_check(sec); rc != PROP_OK) {
        trace_print(keys_raw(), 0, rc == PROP_E_NULL ? "proprssec: Null security record passed"
                                                     : "proprssec: Empty owner name passed");
        return rc;
    }
    u32 addr = 0;
    if (u32 rc = propr_keyhandle_addr(handle, keyhandle, "proprssec", PROP_E_STALE, &addr); rc != PROP_OK)
        return rc;
    if (!in_batch(flags) && proprutbeginlog(handle, PROP_BATCH_SET_SECURITY) != PROP_OK) {
        trace_print(keys_raw(), 0, "proprssec: Problem in begin log");
        return PROP_E_STORAGE;
    }
    if (u32 rc = ssec_apply(handle, addr, sec); rc != PROP_OK) return keys_rollback(ctx, "proprssec", rc);
    if (!in_batch(flags)) {
        if (u32 rc = proprutfsu(handle); rc != PROP_OK) return keys_rollback(ctx, "proprssec", rc);
    }
    keyhandle->propr_keyhandle_sec = *sec;
    return PROP_OK;
}

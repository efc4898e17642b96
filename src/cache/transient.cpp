// The end of a batch: commit keeps what the batch made and forgets what it
// deleted; rollback does the opposite.  Neither allocates, so neither can
// fail half-way.
#include "cache/internal.h"

using namespace propreg;

namespace {

struct pass {
    proprch_ctx *ctx;
    u32 status;  // the status this pass acts on
};

// Drops every element with the pass's status, deepest tables first so
// that each dropped element's subtree is already settled.
void drop_all(proprch_ctx *ctx, u32 status)
{
    pass p{ctx, status};
    for (u32 depth = ctx->proprch_ctx_hashtable_num; depth >= 1; depth--) {
        strhash_iterate(
            table_at(ctx, depth)->table,
            [](void *arg, const char *, void *elem) {
                auto *p = static_cast<pass *>(arg);
                auto *e = static_cast<proprch_hashelement *>(elem);
                if (e->status == p->status) drop(p->ctx, e);  // of this table, takes out e alone
                return 0;
            },
            &p);
    }
}

// Makes every element with the pass's status PERMANENT; afterwards no
// element is DELETE_TRANSIENT, so every count of them is reset.
void settle_all(proprch_ctx *ctx, u32 status)
{
    pass p{ctx, status};
    for (u32 depth = 1; depth <= ctx->proprch_ctx_hashtable_num; depth++) {
        strhash_iterate(
            table_at(ctx, depth)->table,
            [](void *arg, const char *, void *elem) {
                auto *p = static_cast<pass *>(arg);
                auto *e = static_cast<proprch_hashelement *>(elem);
                if (e->status == p->status) {
                    e->status = PROPRCH_PERMANENT;
                    trace_print(cache_trace(p->ctx), 4, "proprch_hash_permanent: Made hashelement [%s] perm",
                                e->keyname);
                }
                e->cached_num_del_trans_subkey = 0;
                return 0;
            },
            &p);
    }
}

}  // namespace

u32 proprch_make_permanent(proprch_ctx *cache, u32 flags)
{
    if (cache == nullptr || cache_is_off(cache)) return PROP_E_STORAGE;
    RwGuard lock(&cache->proprch_ctx_rwlock, lock_mode(flags, RwGuard::Exclusive));
    drop_all(cache, PROPRCH_DELETE_TRANSIENT);
    settle_all(cache, PROPRCH_CREATE_TRANSIENT);
    return PROP_OK;
}

u32 proprch_delete_transient(proprch_ctx *cache, u32 flags)
{
    if (cache == nullptr || cache_is_off(cache)) return PROP_E_STORAGE;
    RwGuard lock(&cache->proprch_ctx_rwlock, lock_mode(flags, RwGuard::Exclusive));
    drop_all(cache, PROPRCH_CREATE_TRANSIENT);
    settle_all(cache, PROPRCH_DELETE_TRANSIENT);
    return PROP_OK;
}

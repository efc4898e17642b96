// The end of a batch: commit keeps what the batch made and forgets what it
// deleted; rollback does the opposite.  Neither allocates, so neither can
// fail half-way.
#include "cache/internal.h"

using namespace propreg;

namespace {

struct pass {
    proprch_ctx *ctx;
    u32 status;  // the status this pass acts on
    void (*act)(const pass &p, proprch_hashelement *elem);
};

// Calls p.act for every element, deepest tables first: an element dropped
// there has its subtree settled already.  act may take its element out of
// the table being walked, and only that one.
void each_element(const pass &p)
{
    for (u32 depth = p.ctx->proprch_ctx_hashtable_num; depth >= 1; depth--) {
        strhash_iterate(
            table_at(p.ctx, depth)->table,
            [](void *arg, const char *, void *elem) {
                auto *q = static_cast<const pass *>(arg);
                q->act(*q, static_cast<proprch_hashelement *>(elem));
                return 0;
            },
            const_cast<pass *>(&p));
    }
}

void drop_with_status(const pass &p, proprch_hashelement *e)
{
    if (e->status == p.status) drop(p.ctx, e);
}

// Afterwards no element is DELETE_TRANSIENT, so every count of them is 0.
void make_permanent_with_status(const pass &p, proprch_hashelement *e)
{
    if (e->status == p.status) {
        e->status = PROPRCH_PERMANENT;
        trace_print(cache_trace(p.ctx), 4, "proprch_hash_permanent: Made hashelement [%s] perm", e->keyname);
    }
    e->cached_num_del_trans_subkey = 0;
}

// Drops the elements in status drop_status, then makes those in
// keep_status PERMANENT.
u32 end_batch(proprch_ctx *cache, u32 flags, u32 drop_status, u32 keep_status)
{
    if (cache == nullptr || cache_is_off(cache)) return PROP_E_STORAGE;
    RwGuard lock(&cache->proprch_ctx_rwlock, lock_mode(flags, RwGuard::Exclusive));
    each_element(pass{cache, drop_status, drop_with_status});
    each_element(pass{cache, keep_status, make_permanent_with_status});
    return PROP_OK;
}

}  // namespace

u32 proprch_make_permanent(proprch_ctx *cache, u32 flags)
{
    return end_batch(cache, flags, PROPRCH_DELETE_TRANSIENT, PROPRCH_CREATE_TRANSIENT);
}

u32 proprch_delete_transient(proprch_ctx *cache, u32 flags)
{
    return end_batch(cache, flags, PROPRCH_CREATE_TRANSIENT, PROPRCH_DELETE_TRANSIENT);
}

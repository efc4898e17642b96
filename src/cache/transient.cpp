// The end of a batch: commit keeps what the batch made and forgets what it
// deleted; rollback does the opposite.  Only the batch's own elements are
// visited (the context lists them), so the end of a batch costs what the
// batch changed, not what the cache holds.  Neither allocates, so neither
// can fail half-way.
#include "cache/internal.h"

using namespace propreg;

namespace {

// Drops every element of the list with everything cached below it; a drop
// may take later elements of the list with it.
void drop_all(proprch_ctx *cache, proprch_link *list)
{
    while (list->next != list) {
        proprch_hashelement *e = element_of(list->next);
        proprch_hashelement *parent = parent_of(cache, e);
        drop(cache, e);
        // No element is DELETE_TRANSIENT once the batch has ended.
        if (parent != nullptr) parent->cached_num_del_trans_subkey = 0;
    }
}

void make_all_permanent(proprch_ctx *cache, proprch_link *list)
{
    while (list->next != list) {
        proprch_hashelement *e = element_of(list->next);
        e->status = PROPRCH_PERMANENT;
        track_status(cache, e);
        trace_print(cache_trace(cache), 4, "proprch_hash_permanent: Made hashelement [%s] perm", e->keyname);
        e->cached_num_del_trans_subkey = 0;
        if (proprch_hashelement *parent = parent_of(cache, e); parent != nullptr)
            parent->cached_num_del_trans_subkey = 0;
    }
}

// Drops the elements in status drop_status, then makes those in
// keep_status PERMANENT.
u32 end_batch(proprch_ctx *cache, u32 flags, u32 drop_status, u32 keep_status)
{
    if (cache == nullptr || cache_is_off(cache)) return PROP_E_STORAGE;
    RwGuard lock(&cache->proprch_ctx_rwlock, lock_mode(flags, RwGuard::Exclusive));
    drop_all(cache, transient_list(cache, drop_status));
    make_all_permanent(cache, transient_list(cache, keep_status));
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

#include "cache/internal.h"
#include "core/alloc.h"
#include "core/keyname.h"

using namespace propreg;

namespace {

trace_comp register_component()
{
    trace_comp tc = trace_register("ZKV cache component", TRACE_CAC, 1024, 1, 1);
    if (tc == nullptr) {
        trace_print(nullptr, 0, "proprch_init: Could not register the trace component %s", TRACE_CAC);
        return nullptr;
    }
    u32 level = trace_get_level(tc);
    if (u_get_env_loglevel(TRACE_CAC, &level, nullptr) == 0) trace_set_level(tc, level);
    trace_print(tc, 2, "proprch_init: Registered the trace component %s", TRACE_CAC);
    return tc;
}

// Writers first: under a steady stream of lookups an insert or a commit
// would otherwise wait for a moment with no reader at all.  No path takes
// the shared lock twice, so a waiting writer cannot deadlock a reader.
int init_lock(pthread_rwlock_t *rw)
{
    pthread_rwlockattr_t attr;
    if (pthread_rwlockattr_init(&attr) != 0) return -1;
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    int rc = pthread_rwlock_init(rw, &attr);
    pthread_rwlockattr_destroy(&attr);
    return rc;
}

void destroy_tables(proprch_ctx *ctx)
{
    for (u32 depth = ctx->proprch_ctx_hashtable_num; depth >= 1; depth--) {
        trace_print(cache_trace(ctx), 4, "proprch_terminate: Call proprch_hash_terminate ht depth %d",
                    static_cast<int>(depth));
        table_destroy(ctx, depth);
    }
    ctx->proprch_ctx_hashtable_num = 0;
}

}  // namespace

u32 proprch_init(proprhandle *handle, proprch_ctx **cache)
{
    if (handle == nullptr || cache == nullptr) return PROP_E_STORAGE;
    *cache = nullptr;
    trace_comp tc = register_component();
    trace_print(tc, 4, "proprch_init: Came in init");
    auto ctx = MetaPtr<proprch_ctx>::alloc(handle->metactx);
    if (!ctx) {
        trace_print(tc, 0, "proprch_init: Failed to allocate the memory for cache context");
        return PROP_E_NOMEM;
    }
    ctx->proprch_ctx_metactx = handle->metactx;
    ctx->proprch_ctx_sctx = handle->proprhandle_sctx;
    ctx->proprch_ctx_proprhandle = handle;
    ctx->proprch_ctx_trace = tc;
    if (init_lock(&ctx->proprch_ctx_rwlock) != 0) {
        trace_print(tc, 0, "proprch_init: Failed to create the cache lock");
        return PROP_E_STORAGE;
    }
    if (plat_mutex_init(&ctx->proprch_ctx_transient_mutex) != 0) {
        trace_print(tc, 0, "proprch_init: Failed to create the cache lock");
        plat_rwlock_destroy(&ctx->proprch_ctx_rwlock);
        return PROP_E_STORAGE;
    }
    transient_lists_init(ctx.get());
    for (u32 depth = 1; depth <= PROPRCH_INITIAL_TABLES; depth++) {
        if (table_create(ctx.get(), depth) != PROP_OK) {
            trace_print(tc, 0, "proprch_init: Failed to create the hashtable of depth %d", static_cast<int>(depth));
            destroy_tables(ctx.get());
            plat_mutex_destroy(&ctx->proprch_ctx_transient_mutex);
            plat_rwlock_destroy(&ctx->proprch_ctx_rwlock);
            return PROP_E_STORAGE;
        }
        ctx->proprch_ctx_hashtable_num = depth;
    }
    trace_print(tc, 2, "proprch_init: Initialized first 5 hashtables");
    *cache = ctx.release();
    return PROP_OK;
}

u32 proprch_terminate(proprch_ctx *cache)
{
    if (cache == nullptr) return PROP_E_STORAGE;
    plat_rwlock_exclusive(&cache->proprch_ctx_rwlock);
    destroy_tables(cache);
    plat_rwlock_release(&cache->proprch_ctx_rwlock);
    plat_rwlock_destroy(&cache->proprch_ctx_rwlock);
    plat_mutex_destroy(&cache->proprch_ctx_transient_mutex);
    u_freem(cache->proprch_ctx_metactx, cache);
    return PROP_OK;
}

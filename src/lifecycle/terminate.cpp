#include "lifecycle/terminate.h"

#include <cstring>

#include "cache/cache.h"
#include "core/alloc.h"
#include "core/tag.h"
#include "io/io.h"
#include "keys/keyhandle.h"
#include "lifecycle/newhandle.h"
#include "space/fcl.h"
#include "tree/names.h"
#include "txn/log.h"

using namespace propreg;

namespace {

// The names are freed by their own module, which takes the mutex itself;
// the key cache and the closed key handles are torn down under it so that
// nothing that still holds the handle can see them half-freed.
void free_caches(proprhandle *h)
{
    proprut_free_namecache(h);
    if (h->proprhandle_mutex_created != 0) plat_mutex_lock(&h->proprhandle_mutex);
    if (h->proprhandle_cache != nullptr) proprch_terminate(h->proprhandle_cache);
    h->proprhandle_cache = nullptr;
    propr_keyhandle_drop_closed(h);
    if (h->proprhandle_mutex_created == 0) return;
    plat_mutex_unlock(&h->proprhandle_mutex);
    plat_mutex_destroy(&h->proprhandle_mutex);
    h->proprhandle_mutex_created = 0;
}

}  // namespace

void proprhandleterminate(proprhandle *handle)
{
    if (handle == nullptr) {
        trace_print(lc_trace(nullptr), 0, "proprhandleterminate: Backend handle passed is null");
        return;
    }
    trace_comp tc = lc_trace(handle);
    trace_print(tc, 4, "proprhandleterminate: inside proprhandleterminate");
    // The log's kept pages go back to the I/O layer's pool before it ends.
    proprut_free_log(handle);
    if (proprio_term(handle) != 0)
        trace_print(tc, 4, "proprhandleterminate: could not close the raw device(s)");
    lc_drop_block_buffers(handle);
    proprut_free_fcl(handle);
    handle->proprhandle_num_fcl = 0;
    free_caches(handle);
    u_freem(handle->metactx, handle);
}

u32 proprterminate(backend_ctx *ctx, u32 flags)
{
    trace_comp tc = lc_trace(nullptr);
    if (ctx == nullptr || u_check_tag(ctx, "PROPCTXT") == 0) {
        trace_print(tc, 0, "proprterminate: Null or invalid context passed ");
        return PROP_E_CTX;
    }
    if (ctx->propb_ctx == nullptr) {
        trace_print(tc, 0, "proprterminate: Backend context passed is null");
        return PROP_E_CTX;
    }
    trace_print(lc_trace(ctx->propb_ctx), 4, "proprterminate: inside proprterminate");
    proprhandleterminate(ctx->propb_ctx);
    ctx->propb_ctx = nullptr;
    plat_rwlock_destroy(&ctx->prop_rwlock);
    if ((flags & PROP_TERMINATE_KEEP_CTX) != 0) {
        std::memset(ctx, 0, sizeof *ctx);
        return 0;
    }
    u_freem(ctx->metactx, ctx);
    return 0;
}

// Renewing an open context's hold on its store: reboot initialisation
// re-reads the boot block and superblock; reinitialisation at the CACHING
// level re-opens every location first.
#include <cerrno>

#include "cache/cache.h"
#include "io/io.h"
#include "io/pagecache.h"
#include "lifecycle/init.h"
#include "lifecycle/newhandle.h"
#include "lifecycle/terminate.h"
#include "storage/config.h"

using namespace propreg;

namespace {

// Close flags of a reinitialisation: keep the volume-manager handles for
// the re-open.
constexpr u32 kReinitClose = PROPRIO_OPEN_REUSE_VLD | PROPRIO_OPEN_ZKV;
// Open flags: reuse those handles, let a volume-manager file be created,
// and accept a location set that is one configuration change behind.
constexpr u32 kReinitOpen = PROPRIO_OPEN_RECOVER_DEV | PROPRIO_OPEN_VLD_CREATE | PROPRIO_OPEN_REUSE_VLD;

u32 restart_cache(proprhandle *h)
{
    if (h->proprhandle_cache != nullptr) proprch_terminate(h->proprhandle_cache);
    h->proprhandle_cache = nullptr;
    if (proprch_init(h, &h->proprhandle_cache) == 0) return 0;
    trace_print(lc_trace(h), 0, "proprir: Could not inititalize backend cache context");
    return PROP_E_STORAGE;
}

u32 reboot_locked(backend_ctx *ctx, proprhandle *h)
{
    trace_comp tc = lc_trace(h);
    // The store may have moved on while this node was down.
    pagecache_clear(h);
    u32 rc = propribctx(h, 1, 0);
    // A read-only node may hold handles to a location that was replaced
    // under it: one re-open before the boot block counts as unreadable.
    if (rc == PROP_E_STORAGE && ctx->prop_boot_mode == PROP_LEVEL_READONLY) {
        propriocl(h, 0);
        if (u32 orc = proprioo(h, 1, 1, ut_registry_kind(h)); orc != 0) {
            trace_print(tc, 0, "proprir: failed in calling proprioo (%d)", static_cast<int>(orc));
            return orc;
        }
        rc = propribctx(h, 1, 0);
    }
    if (rc == PROP_E_STORAGE) {
        trace_print(tc, 0, "proprir:problem reading the bootblock %d\n", errno);
        return PROP_E_STORAGE;
    }
    // Any other result of the re-read lets the context go on as it is.
    if (ctx->prop_boot_mode == PROP_LEVEL_CACHING) return restart_cache(h);
    return 0;
}

u32 reinit_locked(proprhandle *h, void *levelarg)
{
    propriocl(h, kReinitClose);
    lc_drop_block_buffers(h);
    h->proprhandle_levelarg = levelarg;
    if (u32 rc = proprioo(h, 1, 1, kReinitOpen | ut_registry_kind(h)); rc != 0) return rc;
    // The next transaction writes the boot block from memory: read it back
    // before anything can use the handle.
    if (u32 rc = propribctx(h, 1, 0); rc != 0) return rc;
    return propriupdategrppridata(h);
}

}  // namespace

u32 proprir(backend_ctx *ctx)
{
    if (ctx == nullptr) {
        trace_print(lc_trace(nullptr), 0, "propropen: Null context passed ");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    if (ctx->propb_ctx == nullptr) {
        trace_print(lc_trace(nullptr), 0, "proprir: Backend context passed is null");
        return PROP_E_CTX;
    }
    return reboot_locked(ctx, ctx->propb_ctx);
}

u32 proprreinit(backend_ctx *ctx, void *levelarg)
{
    if (ctx == nullptr) return PROP_E_CTX;
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    if (ctx->propb_ctx == nullptr) {
        trace_print(lc_trace(nullptr), 0, "proprreinit: Backend context passed is null");
        return PROP_E_CTX;
    }
    return reinit_locked(ctx->propb_ctx, levelarg);
}

#include "lifecycle/newhandle.h"

#include <cstring>

#include "core/alloc.h"
#include "core/tag.h"
#include "devices/devices.h"
#include "io/io.h"
#include "lifecycle/init.h"
#include "space/used.h"
#include "txn/log.h"

namespace propreg {

namespace {

// proprio_reinit re-opens the locations and must find the boot block and
// superblock of what it opened.  An open that repaired its configuration
// re-opens before it ever read them; it reads them next anyway.
u32 reread_boot(proprhandle *handle)
{
    if (handle->proprhandle_num_fcl == 0) return 0;
    return propribctx(handle, 1, 0);
}

// The services of the floors above the I/O layer that it calls back.
const proprio_hooks kHooks = {
    .used_pages = proprut_used_pages,
    .reread_boot = reread_boot,
    .repair_config = proprio_repairconf,
    .set_log_lsn = proprut_set_log_lsn,
};

}  // namespace

proprhandle *lc_handle_new(prop_metactx *meta, prop_secctx *sctx, przkv_ctx *zkv, u32 level)
{
    proprhandle *handle = u_alloc_array<proprhandle>(meta, 1);
    if (handle == nullptr) return nullptr;
    proprut_compreg(handle);
    handle->metactx = meta;
    handle->proprhandle_bootlevel = level;
    handle->proprhandle_zkvctx = zkv;
    handle->proprhandle_sctx = sctx;
    handle->proprhandle_io_hooks = &kHooks;
    return handle;
}

void lc_drop_block_buffers(proprhandle *handle)
{
    for (u8 **buf : {&handle->bootbuf, &handle->superbuf}) {
        if (*buf != nullptr) u_freem(handle->metactx, *buf);
        *buf = nullptr;
    }
}

u32 lc_ctx_fill(backend_ctx *ctx, proprhandle *handle, const lc_callers &callers, u32 level)
{
    ctx->prop_boot_mode = level;
    u_set_tag(ctx->prop_ctx_tag, "PROPCTXT");
    ctx->propb_ctx = handle;
    ctx->metactx = callers.meta;
    ctx->prop_sclsctx = callers.clsctx;
    ctx->prop_sctx = callers.sctx;
    if (plat_rwlock_init(&ctx->prop_rwlock) != 0) {
        trace_print(lc_trace(handle), 0, "proprinit: Could not create the context lock");
        std::memset(ctx, 0, sizeof *ctx);
        return PROP_E_STORAGE;
    }
    ctx->prop_ctx_zkvctx = callers.zkv;
    return 0;
}

}  // namespace propreg

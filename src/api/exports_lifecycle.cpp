// Lifecycle exports and the context dump.
#include "api/dispatch.h"
#include "api/ops.h"
#include "core/handle.h"

using namespace propreg;

u32 prop_setup(backend_ctx **ctx, prop_secctx *secctx, void *clsctx, const sec_attr *topsec,
               prop_metactx *metactx, przkv_ctx *zkvctx, i32 level, u32 *levelarg) noexcept
{
    u32 rc = call_at_level(export_id::setup, nullptr, static_cast<u32>(level), [&] {
        return g_prop_ops.setup(ctx, secctx, clsctx, topsec, metactx, zkvctx, level, levelarg);
    });
    // A new store is worth an alert: the cluster's history shows when it began.
    if (rc == 0) alert_print(prop_alert_base(zkvctx) + 1, "%d", 4);
    return rc;
}

u32 prop_init(backend_ctx **ctx, prop_metactx *metactx, prop_secctx *secctx, void *clsctx, u32 level,
              przkv_ctx *zkvctx, void *levelarg) noexcept
{
    // The node-local registry never had a legacy format.
    if (is_legacy_level(level) && zkvctx != nullptr && zkvctx->registry_kind == PROP_KIND_NKV) return PROP_E_NOCONF;
    return call_at_level(export_id::init, nullptr, level, [&] {
        return g_prop_ops.init(ctx, metactx, secctx, clsctx, level, zkvctx, levelarg);
    });
}

u32 prop_init_reboot(backend_ctx *ctx) noexcept
{
    return dispatch(export_id::init_reboot, ctx, [&] { return g_prop_ops.init_reboot(ctx); });
}

u32 prop_reinit(backend_ctx *ctx, void *levelarg) noexcept
{
    return dispatch(export_id::reinit, ctx, [&] { return g_prop_ops.reinit(ctx, levelarg); });
}

// Calls in progress on the context finish before it ends, and calls that
// come meanwhile are refused with 3.  The context lock alone would not do:
// some calls never take it (closing a key), and those waiting for it would
// wake on a lock already destroyed.  So every export counts itself in and
// out (ctx_call), and this waits for the count to fall to zero.  A caller
// may end a context that other threads still use, but must not call on it
// once this returns.
u32 prop_terminate(backend_ctx *ctx, u32 flags) noexcept
{
    const export_rule &r = rule_of(export_id::terminate);
    u32 rc = 0;
    if (!context_ok(r, ctx, &rc)) return rc;
    const level_gate g = gate(r, ctx->prop_boot_mode);
    if (!g.run) return g.rc;
    if (!ctx_end_calls(ctx)) return refuse(PROP_E_CTX, "propr_terminate: The context is being terminated already");
    // Nothing of an ended context is left to escalate through; one that
    // did not end takes calls again.
    rc = g_prop_ops.terminate(ctx, flags);
    if (rc != 0) ctx_resume_calls(ctx);
    return rc;
}

u32 prop_close_io(backend_ctx *ctx) noexcept
{
    return dispatch(export_id::close_io, ctx, [&] { return g_prop_ops.close_io(ctx); });
}

u32 prop_dump_ctx(backend_ctx *ctx) noexcept
{
    u32 rc = 0;
    if (!context_ok(rule_of(export_id::dump_ctx), ctx, &rc)) return rc;
    if (is_legacy_level(ctx->prop_boot_mode)) {
        trace_print(raw_trace(), 0, "propr_dump_ctx: backend_ctx->prop_boot_mode (%d) is not supported",
                    static_cast<int>(ctx->prop_boot_mode));
        return PROP_E_LEVEL;
    }
    return call_checked(export_id::dump_ctx, ctx, [&] { return g_prop_ops.dump_ctx(ctx); });
}

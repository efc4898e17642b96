// Volume-manager exports and the version query.
#include "api/dispatch.h"
#include "api/ops.h"
#include "core/handle.h"

using namespace propreg;

u32 prop_is_zkvonvld(backend_ctx *ctx, const char *location, u32 *answer, u32 flags) noexcept
{
    u32 rc = 0;
    if (!context_ok(rule_of(export_id::is_zkvonvld), ctx, &rc)) return rc;
    if (answer == nullptr) return refuse(PROP_E_NULL, "propr_is_zkvonvld: NULL parameter zkvonvld passed");
    return call_checked(export_id::is_zkvonvld, ctx,
                        [&] { return g_prop_ops.is_zkvonvld(ctx, location, answer, flags); });
}

u32 prop_delete_vldfile(backend_ctx *ctx, const char *filename, u32 flags) noexcept
{
    u32 rc = 0;
    if (!context_ok(rule_of(export_id::delete_vldfile), ctx, &rc)) return rc;
    if (filename == nullptr) {
        trace_print(ctx->propb_ctx->proprhandle_trace_raw, 0, "propr_delete_vldfile: Filename passed is NULL");
        return PROP_E_NULL;
    }
    return call_checked(export_id::delete_vldfile, ctx,
                        [&] { return g_prop_ops.delete_vldfile(ctx, filename, flags); });
}

u32 prop_vld_directconn(backend_ctx *ctx) noexcept
{
    u32 rc = 0;
    if (!context_ok(rule_of(export_id::vld_directconn), ctx, &rc)) return rc;
    if (ctx->prop_boot_mode != PROP_LEVEL_CACHING) {
        trace_print(raw_trace(), 0,
                    "propr_vld_directconn: Setting direct connection to local VLD instance is only supported in CACHING level. Bootlevel in ctx:[%d]",
                    static_cast<int>(ctx->prop_boot_mode));
        return PROP_E_LEVEL;
    }
    return call_checked(export_id::vld_directconn, ctx, [&] { return g_prop_ops.vld_directconn(ctx); });
}

u32 prop_file_exists(prop_metactx *metactx, const char *filename, u32 *exists, u32 flags) noexcept
{
    if (metactx == nullptr) return refuse(PROP_E_NULL, "propr_file_exists: NULL metactx passed.");
    if (filename == nullptr) return refuse(PROP_E_NULL, "propr_file_exists: Filename passed is NULL.");
    if (exists == nullptr) return refuse(PROP_E_NULL, "propr_file_exists: file_exists passed is NULL.");
    return dispatch(export_id::file_exists, nullptr,
                    [&] { return g_prop_ops.file_exists(metactx, filename, exists, flags); });
}

u32 prop_get_version(backend_ctx *ctx, u32 *version) noexcept
{
    u32 rc = 0;
    if (!context_ok(rule_of(export_id::get_version), ctx, &rc)) return rc;
    if (version == nullptr) return refuse(PROP_E_NULL, "propr_get_version: NULL parameter version passed");
    return call_checked(export_id::get_version, ctx, [&] { return g_prop_ops.get_version(ctx, version); });
}

// Device and configuration exports.
#include "api/dispatch.h"
#include "api/ops.h"
#include "platform/thread.h"

using namespace propreg;

u32 prop_get_conf(backend_ctx *ctx, void *unused, u32 *configured,
                  char locations[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE], u32 *local_only, char hwk_home[4096],
                  char *errorbuf, u64 *errorbuf_sz, u32 flags) noexcept
{
    return dispatch(export_id::get_conf, ctx, [&] {
        return g_prop_ops.get_conf(ctx, unused, configured, locations, local_only, hwk_home, errorbuf, errorbuf_sz,
                                   flags);
    });
}

u32 prop_get_conf_handle(backend_ctx *ctx, char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE]) noexcept
{
    return dispatch(export_id::get_conf_handle, ctx, [&] { return g_prop_ops.get_conf_handle(ctx, names); });
}

u32 prop_check_storage(backend_ctx *ctx, const char *location, char *errorbuf, u32 *errorbuf_sz,
                       u32 flags) noexcept
{
    return dispatch(export_id::check_storage, ctx,
                    [&] { return g_prop_ops.check_storage(ctx, location, errorbuf, errorbuf_sz, flags); });
}

u32 prop_get_dev(backend_ctx *ctx, u32 dev[PROP_MAX_LOCATIONS], char *errorbuf, u64 *errorbuf_sz,
                 u32 flags) noexcept
{
    if (dev == nullptr) return refuse(PROP_E_NULL, "propr_get_dev: NULL dev passed");
    if (errorbuf == nullptr) return refuse(PROP_E_NULL, "propr_get_dev: NULL errorbuf passed");
    if (errorbuf_sz == nullptr) return refuse(PROP_E_NULL, "propr_get_dev: NULL errorbuf_sz passed");
    return dispatch(export_id::get_dev, ctx,
                    [&] { return g_prop_ops.get_dev(ctx, dev, errorbuf, errorbuf_sz, flags); });
}

u32 prop_compare_dev(const u32 dev1[PROP_MAX_LOCATIONS], const u32 dev2[PROP_MAX_LOCATIONS], char *errorbuf,
                     u32 *errorbuf_sz) noexcept
{
    if (dev1 == nullptr || dev2 == nullptr) return refuse(PROP_E_NULL, "propr_compare_dev: NULL dev1 passed");
    if (errorbuf == nullptr) return refuse(PROP_E_NULL, "propr_compare_dev: NULL errorbuf passed");
    if (errorbuf_sz == nullptr) return refuse(PROP_E_NULL, "propr_compare_dev: NULL errorbuf_sz passed");
    return dispatch(export_id::compare_dev, nullptr,
                    [&] { return g_prop_ops.compare_dev(dev1, dev2, errorbuf, errorbuf_sz); });
}

u32 prop_check_dev(backend_ctx *ctx, u32 devnum, const char *newdev) noexcept
{
    return dispatch(export_id::check_dev, ctx, [&] { return g_prop_ops.check_dev(ctx, devnum, newdev); });
}

u32 prop_replace_dev(backend_ctx *ctx, u32 devnum, const char *newdev, u32 master) noexcept
{
    return dispatch(export_id::replace_dev, ctx,
                    [&] { return g_prop_ops.replace_dev(ctx, devnum, newdev, master); });
}

u32 prop_migrate_dev(backend_ctx *ctx, u32 master) noexcept
{
    return dispatch(export_id::migrate_dev, ctx, [&] { return g_prop_ops.migrate_dev(ctx, master); });
}

u32 prop_prechk_confchange(backend_ctx *ctx, u32 devnum, const char *newdev) noexcept
{
    return dispatch(export_id::prechk_confchange, ctx,
                    [&] { return g_prop_ops.prechk_confchange(ctx, devnum, newdev); });
}

u32 prop_overwrite_conf(prop_metactx *metactx) noexcept
{
    return dispatch(export_id::overwrite_conf, nullptr, [&] { return g_prop_ops.overwrite_conf(metactx); });
}

u32 prop_repair_conf(prop_metactx *metactx, u32 devnum, const char *newdev, u32 flags) noexcept
{
    return dispatch(export_id::repair_conf, nullptr,
                    [&] { return g_prop_ops.repair_conf(metactx, devnum, newdev, flags); });
}

u32 prop_autorepair_conf(backend_ctx *ctx,
                         const char published[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE]) noexcept
{
    u32 rc = 0;
    if (!context_ok(rule_of(export_id::autorepair_conf), ctx, &rc)) return rc;
    if (published == nullptr) return refuse(PROP_E_NULL, "propr_autorepair_conf: NULL device passed");
    return call_checked(export_id::autorepair_conf, ctx, [&] {
        // No key operation may see the locations closed between the repair
        // and the re-open.
        RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
        const u32 rc = g_prop_ops.autorepair_conf(ctx, published);
        if (rc != PROP_E_REPAIRED) return rc;
        const u32 r = g_prop_ops.io_reinit(ctx->propb_ctx, 0);
        if (r == 0) return rc;
        trace_print(raw_trace(), 0,
                    "propr_autorepair_conf: Failed to re-initialize the IO handles after auto repair. Retval:[%d]",
                    static_cast<int>(r));
        return r == PROP_E_REPAIRED ? static_cast<u32>(PROP_E_STORAGE) : r;
    });
}

u32 prop_rim_autorepair_conf(prop_metactx *metactx, char local[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE],
                             const char published[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE]) noexcept
{
    if (metactx == nullptr) return refuse(PROP_E_NULL, "propr_rim_autorepair_conf: Meta context passed is NULL");
    return dispatch(export_id::rim_autorepair_conf, nullptr,
                    [&] { return g_prop_ops.rim_autorepair_conf(metactx, local, published); });
}

u32 prop_get_devid(backend_ctx *ctx, const char *location, u32 *zkvid) noexcept
{
    return dispatch(export_id::get_devid, ctx, [&] { return g_prop_ops.get_devid(ctx, location, zkvid); });
}

u32 prop_get_id(backend_ctx *ctx, u32 *zkvid, u32 dev[PROP_MAX_LOCATIONS], u32 flags) noexcept
{
    return dispatch(export_id::get_id, ctx, [&] { return g_prop_ops.get_id(ctx, zkvid, dev, flags); });
}

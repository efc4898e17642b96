// Backup and record-file exports.
#include "api/dispatch.h"
#include "api/ops.h"

using namespace propreg;

u32 prop_bkup(backend_ctx *ctx, char *name) noexcept
{
    return dispatch(export_id::bkup, ctx, [&] { return g_prop_ops.bkup(ctx, name); });
}

u32 prop_recover_media(prop_metactx *metactx, const char *name, u32 flags) noexcept
{
    return dispatch(export_id::recover_media, nullptr,
                    [&] { return g_prop_ops.recover_media(metactx, name, flags); });
}

u32 prop_delete_bkpfile(backend_ctx *ctx, const char *location, const char *filename, u32 flags) noexcept
{
    u32 rc = 0;
    if (!context_ok(rule_of(export_id::delete_bkpfile), ctx, &rc)) return rc;
    if (location == nullptr || filename == nullptr)
        return refuse(PROP_E_NULL, "propr_delete_bkpfile: NULL backup location/filename passed");
    return call_checked(export_id::delete_bkpfile, ctx,
                        [&] { return g_prop_ops.delete_bkpfile(ctx, location, filename, flags); });
}

u32 prop_rename_bkpfile(backend_ctx *ctx, const char *location, const char *from, const char *to,
                        u32 flags) noexcept
{
    u32 rc = 0;
    if (!context_ok(rule_of(export_id::rename_bkpfile), ctx, &rc)) return rc;
    if (location == nullptr || from == nullptr || to == nullptr)
        return refuse(PROP_E_NULL, "propr_rename_bkpfile: NULL backup location/filename passed");
    return call_checked(export_id::rename_bkpfile, ctx,
                        [&] { return g_prop_ops.rename_bkpfile(ctx, location, from, to, flags); });
}

u32 prop_copy_bkpfile(backend_ctx *ctx, const char *src_location, const char *src_name, const char *dst_location,
                      char *dst_name) noexcept
{
    u32 rc = 0;
    if (!context_ok(rule_of(export_id::copy_bkpfile), ctx, &rc)) return rc;
    if (src_location == nullptr || src_name == nullptr || dst_location == nullptr || dst_name == nullptr)
        return refuse(PROP_E_NULL, "propr_copy_bkpfile: NULL source/destination backup location/filename passed");
    return call_checked(export_id::copy_bkpfile, ctx, [&] {
        return g_prop_ops.copy_bkpfile(ctx, src_location, src_name, dst_location, dst_name);
    });
}

u32 prop_cbkp_init(backend_ctx *ctx, prop_metactx *metactx, prop_cbkp **cbkp, const char *filename, u32 direction,
                   u32 import_mode, const char *import_user, u32 flags) noexcept
{
    return dispatch(export_id::cbkp_init, ctx, [&] {
        return g_prop_ops.cbkp_init(ctx, metactx, cbkp, filename, direction, import_mode, import_user, flags);
    });
}

u32 prop_cbkp_writerec(prop_cbkp *cbkp, const prop_record *rec) noexcept
{
    return dispatch(export_id::cbkp_writerec, nullptr, [&] { return g_prop_ops.cbkp_writerec(cbkp, rec); });
}

u32 prop_cbkp_readrec(prop_cbkp *cbkp, prop_record *rec) noexcept
{
    return dispatch(export_id::cbkp_readrec, nullptr, [&] { return g_prop_ops.cbkp_readrec(cbkp, rec); });
}

u32 prop_cbkp_term(prop_cbkp *cbkp) noexcept
{
    return dispatch(export_id::cbkp_term, nullptr, [&] { return g_prop_ops.cbkp_term(cbkp); });
}

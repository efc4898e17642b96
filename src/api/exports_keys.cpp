// Key, value and security exports.
#include "api/dispatch.h"
#include "api/ops.h"

using namespace propreg;

u32 prop_open(backend_ctx *ctx, const char *keyname, propr_keyhandle **keyh, u32 flags) noexcept
{
    return dispatch(export_id::open, ctx, [&] { return g_prop_ops.open(ctx, keyname, keyh, flags); });
}

u32 prop_close(backend_ctx *ctx, propr_keyhandle *keyh) noexcept
{
    return dispatch(export_id::close, ctx, [&] { return g_prop_ops.close(ctx, keyh); });
}

u32 prop_create_key(backend_ctx *ctx, propr_keyhandle *parent, const char *subkey, const sec_attr *sec,
                    propr_keyhandle **keyh, u32 *disposition, u32 flags) noexcept
{
    return dispatch(export_id::create_key, ctx, [&] {
        return g_prop_ops.create_key(ctx, parent, subkey, sec, keyh, disposition, flags);
    });
}

u32 prop_create_n_set_key(backend_ctx *ctx, propr_keyhandle *parent, const char *subkey, const sec_attr *sec,
                          propr_keyhandle **keyh, u32 *disposition, u32 dtype, const void *value, u32 size,
                          u32 flags) noexcept
{
    return dispatch(export_id::create_n_set_key, ctx, [&] {
        return g_prop_ops.create_n_set_key(ctx, parent, subkey, sec, keyh, disposition, dtype, value, size, flags);
    });
}

u32 prop_delete_key(backend_ctx *ctx, propr_keyhandle *keyh, u32 recursive, u32 flags) noexcept
{
    return dispatch(export_id::delete_key, ctx,
                    [&] { return g_prop_ops.delete_key(ctx, keyh, recursive, flags); });
}

u32 prop_move_key(backend_ctx *ctx, propr_keyhandle *src, propr_keyhandle *tgt_parent, const char *tgt_subkey,
                  propr_keyhandle *tgt, propr_keyhandle **result, u32 flags) noexcept
{
    return dispatch(export_id::move_key, ctx, [&] {
        return g_prop_ops.move_key(ctx, src, tgt_parent, tgt_subkey, tgt, result, outside_batch(flags));
    });
}

u32 prop_enum_subkey(backend_ctx *ctx, propr_keyhandle *keyh, char **keybuf, u32 *buflen, u32 *num_keys,
                     u32 flags) noexcept
{
    return dispatch(export_id::enum_subkey, ctx,
                    [&] { return g_prop_ops.enum_subkey(ctx, keyh, keybuf, buflen, num_keys, flags); });
}

u32 prop_batch_execute(backend_ctx *ctx, prop_batch *batch, u32 flags) noexcept
{
    return dispatch(export_id::batch_execute, ctx,
                    [&] { return g_prop_ops.batch_execute(ctx, batch, flags | PROP_FLAG_IN_BATCH); });
}

u32 prop_set_value(backend_ctx *ctx, propr_keyhandle *keyh, u32 dtype, const void *value, u32 size,
                   u32 flags) noexcept
{
    return dispatch(export_id::set_value, ctx,
                    [&] { return g_prop_ops.set_value(ctx, keyh, dtype, value, size, flags); });
}

u32 prop_get_value(backend_ctx *ctx, propr_keyhandle *keyh, u32 *dtype, void *value, u32 *size,
                   u32 flags) noexcept
{
    return dispatch(export_id::get_value, ctx,
                    [&] { return g_prop_ops.get_value(ctx, keyh, dtype, value, size, flags); });
}

u32 prop_delete_value(backend_ctx *ctx, propr_keyhandle *keyh, u32 flags) noexcept
{
    return dispatch(export_id::delete_value, ctx, [&] { return g_prop_ops.delete_value(ctx, keyh, flags); });
}

u32 prop_get_security(backend_ctx *ctx, propr_keyhandle *keyh, sec_attr *sec) noexcept
{
    return dispatch(export_id::get_security, ctx, [&] { return g_prop_ops.get_security(ctx, keyh, sec); });
}

u32 prop_set_security(backend_ctx *ctx, propr_keyhandle *keyh, const sec_attr *sec, u32 flags) noexcept
{
    return dispatch(export_id::set_security, ctx,
                    [&] { return g_prop_ops.set_security(ctx, keyh, sec, flags); });
}

u32 prop_check_perm_recurse(backend_ctx *ctx, prop_secctx *secctx, propr_keyhandle *keyh, u32 required) noexcept
{
    return dispatch(export_id::check_perm_recurse, ctx,
                    [&] { return g_prop_ops.check_perm_recurse(ctx, secctx, keyh, required); });
}

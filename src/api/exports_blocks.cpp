// Block, status and state exports, and recovery.
#include "api/dispatch.h"
#include "api/ops.h"

using namespace propreg;

u32 prop_get_block(backend_ctx *ctx, propr_keyhandle *keyh, u32 location, void *outbuf, u32 *inout_size,
                   u32 *blkno, u32 flags) noexcept
{
    return dispatch(export_id::get_block, ctx, [&] {
        return g_prop_ops.get_block(ctx, keyh, location, outbuf, inout_size, blkno, outside_batch(flags));
    });
}

u32 prop_interpret_block(backend_ctx *ctx, u32 blkno, const void *block, u32 block_size, char *text,
                         u32 *text_size, u32 flags) noexcept
{
    return dispatch(export_id::interpret_block, ctx, [&] {
        return g_prop_ops.interpret_block(ctx, blkno, block, block_size, text, text_size, outside_batch(flags));
    });
}

u32 prop_set_block(backend_ctx *ctx, propr_keyhandle *keyh, u32 location, const void *inbuf,
                   u32 *inout_size, u32 flags) noexcept
{
    return dispatch(export_id::set_block, ctx, [&] {
        return g_prop_ops.set_block(ctx, keyh, location, inbuf, inout_size, outside_batch(flags));
    });
}

u32 prop_get_status(backend_ctx *ctx, prop_status *status, u32 flags) noexcept
{
    return dispatch(export_id::get_status, ctx, [&] { return g_prop_ops.get_status(ctx, status, flags); });
}

u32 prop_get_state(backend_ctx *ctx, u32 *state, u32 flags) noexcept
{
    return dispatch(export_id::get_state, ctx, [&] { return g_prop_ops.get_state(ctx, state, flags); });
}

u32 prop_set_state(backend_ctx *ctx, u32 state, u32 flags) noexcept
{
    return dispatch(export_id::set_state, ctx, [&] { return g_prop_ops.set_state(ctx, state, flags); });
}

u32 prop_check_logical_corruption(backend_ctx *ctx) noexcept
{
    return dispatch(export_id::check_logical_corruption, ctx,
                    [&] { return g_prop_ops.check_logical_corruption(ctx); });
}

u32 prop_recover(backend_ctx *ctx, u32 flags) noexcept
{
    return dispatch(export_id::recover, ctx, [&] { return g_prop_ops.recover(ctx, flags); });
}

u32 prop_recover_numpage(backend_ctx *ctx) noexcept
{
    return dispatch(export_id::recover_numpage, ctx, [&] { return g_prop_ops.recover_numpage(ctx); });
}

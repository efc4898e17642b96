#include "api/own_ops.h"

#include <cstring>

#include "api/ops.h"
#include "core/handle.h"

u32 propr_get_conf_handle(backend_ctx *ctx, char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE])
{
    if (names == nullptr) {
        trace_print(ctx->propb_ctx->proprhandle_trace_raw, 0, "propr_get_conf_handle: NULL names passed");
        return PROP_E_NULL;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Shared);
    const proprhandle *h = ctx->propb_ctx;
    for (u32 k = 0; k < PROP_NUM_SLOTS; k++) {
        std::strncpy(names[k], h->proprhandle_filename[k], PROP_LOCNAME_SIZE);
        names[k][PROP_LOCNAME_SIZE - 1] = '\0';
    }
    return 0;
}

u32 propr_get_version(backend_ctx *ctx, u32 *version)
{
    *version = ctx->propb_ctx->version[0];
    trace_print(ctx->propb_ctx->proprhandle_trace_raw, 4, "propr_get_version: Returning version %d",
                static_cast<int>(*version));
    return 0;
}

u32 propr_vld_directconn(backend_ctx *ctx)
{
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    proprhandle *h = ctx->propb_ctx;
    trace_comp raw = h->proprhandle_trace_raw;
    u32 count = h->proprhandle_configured_device_count;
    for (u32 k = 0; k < count && k < PROP_NUM_SLOTS; k++) {
        const char *name = h->proprhandle_filename[k];
        if (name[0] != '+' || h->proprhandle_native_state[k] != PROP_SLOT_OPEN) continue;
        trace_print(raw, 1, "propr_vld_directconn: Enabling direct connection to VLD instance for [%s]", name);
        u32 rc = g_prop_ops.vld_directconn_one(h, h->proprhandle_native[k], name, 0);
        if (rc != 0)
            trace_print(raw, 0, "propr_vld_directconn: proprvlddirectconn returned error [%d] for [%s].",
                        static_cast<int>(rc), name);
        else
            trace_print(raw, 1, "propr_vld_directconn: Enabled the direct connection to VLD instance for [%s].",
                        name);
    }
    return 0;
}

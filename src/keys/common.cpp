#include "keys/common.h"

#include "keys/keyhandle.h"
#include "txn/log.h"
#include "txn/recover.h"

namespace propreg {

u32 keys_log_once(proprhandle *handle, u32 page, const u8 *image)
{
    u32 exists = 0;
    if (u32 rc = proprutlogexists(handle, page, &exists); rc != 0) return rc;
    if (exists != 0) return PROP_OK;
    return proprutlog(handle, page, image);
}

u32 check_key_handles(backend_ctx *ctx, const propr_keyhandle *keyhandle, const char *op, const char *bad_keyhandle,
                      proprhandle **handle)
{
    *handle = ctx->propb_ctx;
    if (*handle == nullptr) {
        trace_print(keys_raw(), 0, "%s: Backend context passed is null", op);
        return PROP_E_CTX;
    }
    if (!propr_keyhandle_valid(keyhandle)) {
        trace_print(keys_raw(), 0, "%s: %s", op, bad_keyhandle);
        return PROP_E_KEYH;
    }
    if (keyhandle->propr_keyhandle_kdesc == nullptr) {
        trace_print(keys_raw(), 0, "%s: Backend key handle passed is null", op);
        return PROP_E_KEYH;
    }
    return PROP_OK;
}

u32 keys_rollback(backend_ctx *ctx, const char *op, u32 rc)
{
    u32 r = proprrecover(ctx, PROPR_RECOVER_HOLDS_LOCK);
    if (r == PROP_OK) return rc;
    trace_print(keys_raw(), 0, "%s: Failed in recovery [%d]", op, static_cast<int>(r));
    return r;
}

}  // namespace propreg

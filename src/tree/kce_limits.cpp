#include "tree/kce_limits.h"

#include "core/handle.h"
#include "platform/version.h"
#include "space/uttrace.h"

u32 proprut_use_sindirect_kcepages(const proprhandle *handle, u32 *use_addr_pages, u32 *max_children)
{
    if (handle == nullptr || use_addr_pages == nullptr || max_children == nullptr) return PROP_E_NULL;
    switch (handle->proprhandle_bootlevel) {
    case PROP_LEVEL_RW:
    case PROP_LEVEL_READONLY:
    case PROP_LEVEL_UPGRADE:
    case PROP_LEVEL_BACKUP:
        *use_addr_pages = 1;
        *max_children = KCE_MAX_CHILDREN;
        return PROP_OK;
    case PROP_LEVEL_CACHING:
        break;
    default:
        return PROP_E_CTX;
    }
    const przkv_ctx *zkv = handle->proprhandle_zkvctx;
    if (zkv == nullptr) {
        trace_print(ut_trace(handle), 0, "proprut_use_sindirect_kcepages: ZKV context in the handle is null");
        return PROP_E_NULL;
    }
    u32 version = 0;
    if (!version_to_number(zkv->active_version, &version)) {
        trace_print(ut_trace(handle), 0, "proprut_use_sindirect_kcepages: AV in context is invalid [%.64s]",
                    zkv->active_version);
        return PROP_E_CTX;
    }
    bool recent = version >= KCE_ADDR_PAGES_VERSION;
    *use_addr_pages = recent ? 1 : 0;
    *max_children = recent ? KCE_MAX_CHILDREN : KCE_MAX_CHILDREN_OLD;
    return PROP_OK;
}

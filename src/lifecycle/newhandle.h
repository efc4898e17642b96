// What opening and formatting a store share: building a backend handle
// bound to the caller's contexts, and filling the backend context that
// hands it to the caller.
#pragma once

#include "core/handle.h"

namespace propreg {

inline trace_comp lc_trace(const proprhandle *handle)
{
    return handle != nullptr ? handle->proprhandle_trace_raw : trace_component_named(TRACE_RAW);
}

// A zero-filled handle from meta, its trace components registered and its
// I/O hooks set, bound to the caller's contexts and level; nullptr when
// memory runs out.
proprhandle *lc_handle_new(prop_metactx *meta, prop_secctx *sctx, przkv_ctx *zkv, u32 level);

// Frees the boot-block and superblock buffers and clears their pointers.
void lc_drop_block_buffers(proprhandle *handle);

// The callers' own parts of a backend context.
struct lc_callers {
    prop_metactx *meta;
    prop_secctx *sctx;
    void *clsctx;
    przkv_ctx *zkv;
};

// Fills a zero-filled context for handle at level and creates its lock.
// PROP_OK, or PROP_E_STORAGE when the lock cannot be created.
u32 lc_ctx_fill(backend_ctx *ctx, proprhandle *handle, const lc_callers &callers, u32 level);

}  // namespace propreg

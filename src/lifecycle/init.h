// Opening an existing store: the backend handle, its locations, the boot
// block and superblock, and the context handed to the caller.
#pragma once

#include "core/handle.h"

// Behind prop_init.  If *ctx is NULL a context is allocated, otherwise the
// caller's record is zero-filled and reused.  PROP_OK; PROP_E_NULL (NULL ctx or front-end
// context); PROP_E_NOMEM; PROP_E_STORAGE (backup level without a usable name, superblock read
// failure, key cache); 22 (boot block or superblock invalid, too many
// bitmap pages); 47 (a ZKV store importing at levels 0, 2, 8); or the
// error of opening the locations.  A failure leaves no handle behind.
// proprinit: init: open a store.
u32 proprinit(backend_ctx **ctx, prop_metactx *meta, prop_secctx *sctx, void *clsctx, u32 level,
              przkv_ctx *zkv, void *levelarg);

// Reads the boot block and superblock into the handle.  refresh 0 is the first
// reading of a handle, which also sets up the undo log, the bitmap records and
// the name-cache mutex; a refresh keeps those.  PROP_OK, PROP_E_NOMEM,
// PROP_E_FORMAT, PROP_E_STORAGE, or the error of loading the name tables.  On
// failure both buffers are freed.
// propribctx: init boot context: the boot block and superblock into the handle.
u32 propribctx(proprhandle *handle, u32 refresh, u32 open_flag);

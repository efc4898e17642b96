// Ending or renewing a context's hold on its store: termination, reboot
// initialisation and reinitialisation at the CACHING level.
#pragma once

#include "core/handle.h"

// Behind prop_terminate.  PROP_TERMINATE_KEEP_CTX zero-fills the record
// instead of freeing it.  PROP_OK, or PROP_E_CTX for a NULL or untagged context or a
// context without a handle.
// proprterminate: terminate.
u32 proprterminate(backend_ctx *ctx, u32 flags);

// Closes the handle's locations, stops its workers and frees everything
// it holds, then the handle itself.  Every failure path of opening and
// formatting ends here, so it copes with a handle built only part way.
// proprhandleterminate: handle terminate: free a handle.
void proprhandleterminate(proprhandle *handle);

// Behind prop_init_reboot: re-reads the boot block and superblock and, at
// the CACHING level, starts the key cache afresh.  PROP_OK, PROP_E_CTX or PROP_E_STORAGE.
// proprir: init reboot: read the store again.
u32 proprir(backend_ctx *ctx);

// Behind prop_reinit: closes and re-opens every location under the
// context lock, re-reads the boot block and superblock, and publishes the
// node's votes again.  0 or the error of the step that failed (the export
// escalates it).
// proprreinit: reinit: reopen at another boot level.
u32 proprreinit(backend_ctx *ctx, void *levelarg);

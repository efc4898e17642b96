// Recovery: rolls back a transaction that began but did not commit, on
// every open location whose boot block says its undo log is live (one
// whose log holds nothing past the commit only has the mark cleared), then
// brings stale mirrors up to date and resets the in-memory transaction
// state.  The same code aborts a failing operation.
#pragma once

#include "core/handle.h"

// proprrecover flags.
constexpr u32 PROPR_RECOVER_HOLDS_LOCK = PROP_FLAG_HOLDS_LOCK;  // caller holds prop_rwlock
constexpr u32 PROPR_RECOVER_NO_VLD_SYNC = 0x800;

// PROP_OK, PROP_E_CTX (no context or handle), or the error of the mirror sync or of the
// key-cache step.  A location whose undo fails is taken out of service.
// proprrecover: recover: roll back an open transaction on every location.
u32 proprrecover(backend_ctx *ctx, u32 flags);
// Undoes the live log of one location, reading and writing only there.
u32 rrecover_helper(backend_ctx *ctx, u32 slot);
// Recovery, then repairs the recorded page count of the tnode area when it
// is 0 or more than the locations hold.  PROP_OK, PROP_E_CTX, PROP_E_STORAGE, or recovery's error.
u32 rrecovernumpage(backend_ctx *ctx);

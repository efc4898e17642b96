// What a batch may save in the undo log, worked out from its operations
// before anything is written: one transaction holds at most num_log - 1
// page images, and a batch that needs more is refused whole rather than
// failing part-way after minutes of work.
#pragma once

#include "core/types.h"

struct proprhandle;

struct batch_log_need {
    u64 pages = 0;    // at most this many images
    u32 changes = 0;  // operations counted
    bool sets = true;  // every one sets a value, or creates a key with one
};

// Counts, for every operation, the pages it may save: its own tnode (and a
// value page it may overwrite) for a change of a key's value or security,
// and for a key added or removed under a parent the parent's tnode once
// per batch, and one of its child-entry pages per key while it has pages
// from before the batch.  A parent the batch creates costs its tnode only.
// The parents are looked up, never more than once each.  Never fewer than
// the batch saves; PROP_OK or PROP_E_NOMEM.
u32 batch_log_estimate(proprhandle *handle, const prop_batch *batch, batch_log_need *out);

// Backups as the exports run them.  The backup floor does the work; what it
// needs from the diagnostics, which live on the same floor, is joined in
// here: the key that owns a page no location holds sound.
#pragma once

#include "core/types.h"

// Behind prop_bkup.  A backup that fails on a tree page no location holds
// sound then runs the corruption check, whose findings name its key.
u32 api_bkup(backend_ctx *ctx, char *name);

// Backups as the exports run them.  The backup floor does the work; what it
// needs from the diagnostics, which live on the same floor, is joined in
// here: the key that owns a page no location holds sound, and the reading
// of a backup whole before a restore destroys anything.
#pragma once

#include "core/types.h"

// Behind prop_bkup.  A backup that fails on a tree page no location holds
// sound then runs the corruption check, whose findings name its key.
u32 api_bkup(backend_ctx *ctx, char *name);
// Behind prop_recover_media.  The backup is opened as a store of its own,
// as a verification opens it, and must pass the status scan (every page in
// use sound and of a kind its place allows) and the corruption check (the
// key tree whole) before the restore writes anything; otherwise 22.
u32 api_recover_media(prop_metactx *meta, const char *name, u32 flags);

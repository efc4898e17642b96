// Key names: components joined by "."; empty components are skipped when a
// name is split, and the depth is the number of non-empty components.
#pragma once

#include "core/types.h"

// Depth of keyname, and, when both buffers are given, its last component
// and its parent's name (" " for a top-level key).  The buffers must hold
// strlen(keyname) + 2 bytes.  Returns 0, or 1 on failure.
u32 u_get_keydepth(prop_metactx *meta, const char *keyname, u32 *depth, char *last_component,
                   char *parent_name);

// Turns subkey into a name relative to parent: an absolute name under the
// parent loses the parent's prefix; a relative one is copied whole.  out
// must hold strlen(subkey) + 1 bytes.  Returns 0, or 1 on failure.
u32 u_ator(prop_metactx *meta, const char *parent, const char *subkey, char *out);

// Reads the level of component from $ZKV_LOGGING_LEVEL ("ZKVRAW:4,...").
// Returns 0 when the caller may apply the level it holds in *level (which
// is only overwritten by a valid level below 6), 1 when no level applies.
u32 u_get_env_loglevel(const char *component, u32 *level, void *unused);

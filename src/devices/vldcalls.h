// The volume-manager services that device changes call.  The volume
// manager's client is not part of this build yet: both calls answer as a
// node whose volume manager is unavailable.
#pragma once

#include "core/types.h"

struct proprhandle;

namespace propreg {

// The complete name of a disk group's registry file ("+DG" → "+DG/..."),
// into name (size bytes).  0, or 26 when it cannot be had.
u32 dev_vld_complete_name(proprhandle *handle, const char *diskgroup, char *name, u32 size);
// The node's volume-manager mode (1 legacy, 2 flex, 3 none); quiet asks
// the service not to wait for the cluster.  0, or non-zero when the mode
// cannot be had.
u32 dev_vld_mode(bool quiet, u32 *mode);

}  // namespace propreg

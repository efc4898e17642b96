// The volume-manager services that device changes call.
#pragma once

#include "core/types.h"

struct proprhandle;

namespace propreg {

// The complete name of a disk group's registry file ("+DG" → "+DG/..."),
// into name (size bytes).  0, or the volume manager's code (26 when it
// cannot be reached).
u32 dev_vld_complete_name(proprhandle *handle, const char *diskgroup, char *name, u32 size);
// The node's volume-manager mode (1 legacy, 2 flex, 3 none); quiet asks
// the service not to wait for the cluster.  0, or non-zero when the mode
// cannot be had.
u32 dev_vld_mode(bool quiet, u32 *mode);

}  // namespace propreg

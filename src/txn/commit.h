// The commit: changed bitmap pages and the superblock go to their other
// copies, then one boot-block write switches to them and marks the log
// dead.  That write is the commit point.
#pragma once

#include "core/handle.h"

// PROP_OK, PROP_E_STORAGE, or the write error.  On failure nothing in memory has moved to
// the new state, and a location the new boot block reached has the open
// transaction's back: the caller rolls back with proprrecover.
// proprutfsu: free-space update: the commit.
u32 proprutfsu(proprhandle *handle);

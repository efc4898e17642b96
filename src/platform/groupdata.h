// Cluster group data, on one machine: $ZKV_REGISTRY_ROOT/groupdata/ holds one
// file per group, replaced atomically, so processes on this machine see each
// other's published records as nodes of a cluster would.
#pragma once

#include "core/types.h"

// Publishes size bytes as the group's record.  0 or an errno value.
int grpdata_publish(const char *group, const void *record, u32 size);
// Reads the group's record into record (size bytes; a shorter record is
// zero-padded).  0, ENOENT when nothing was published, or an errno value.
int grpdata_read(const char *group, void *record, u32 size);

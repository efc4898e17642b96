// Cluster group data, on one machine: $ZKV_REGISTRY_ROOT/groupdata/ holds one
// file per group, replaced atomically, so processes on this machine see each
// other's published records as nodes of a cluster would.
#pragma once

#include "platform/ints.h"

// Publishes size bytes as the group's record.  0 or an errno value.
int grpdata_publish(const char *group, const void *record, u32 size);
// Reads the group's record into record (size bytes; a shorter record is
// zero-padded).  0, ENOENT when nothing was published, or an errno value.
int grpdata_read(const char *group, void *record, u32 size);

// Group public data: what the Cache Writer publishes for the whole cluster
// (its location configuration), one file per group beside the records
// above, "<group>.public".  A record is an 8-byte header (u32 generation,
// u32 length of what follows, in the machine's byte order) and the data.
constexpr u32 GRPDATA_PUBLIC_HEADER = 8;
// Reads the whole record into buf.  0 with *needed its size; ENOENT when
// nothing was published; EOVERFLOW when size is below *needed (nothing is
// copied); EINVAL for a record whose length disagrees with its file; or
// an errno value.
int grpdata_read_public(const char *group, void *buf, u32 size, u32 *needed);

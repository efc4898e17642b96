// The location table (names gap-free from slot 0) and, in every boot
// block, the device history (the id vectors before and after the last
// configuration change) and the location's votes.
#pragma once

#include "core/types.h"
#include "format/layout.h"
#include "platform/trace.h"

struct proprhandle;

// Replaces (or with "" deletes) slot devnum and writes the configuration;
// on any failure the table is left as it was.
u32 dev_update(proprhandle *handle, u32 devnum, const char *newdev);
// PROP_OK and the number of names, PROP_E_NULL, PROP_E_NOCONF (no location) or
// PROP_E_CONF (gap or duplicate).
u32 dev_verify(proprhandle *handle, u32 *count);
// The same check on any table of names.
u32 dev_verify_names(trace_comp trace, const char (*names)[PROP_LOCNAME_SIZE], u32 *count);
u32 dev_whist(u8 *bootbuf, const u32 *prev, const u32 *next);
u32 dev_rhist(u32 hdr_version, const u8 *bootbuf, u32 *count, u32 *prev, u32 *next);
u32 dev_chist(trace_comp trace, u32 *is_match, u32 *is_needrecover, const u32 *my_dev, u32 count,
              const u32 *prev, const u32 *next, u32 open_flags);
u32 dev_rvotes(const u8 *bootbuf, u32 *my_votes, u32 *total_votes);
u32 dev_wvotes(u8 *bootbuf, u32 my_votes, u32 total_votes);

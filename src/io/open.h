// What opening learns from each location's boot block and log, and the
// vote and lsn checks that decide which locations are current.
#pragma once

#include "core/handle.h"

// One location's identity, history and votes, from its boot block.
struct proprio_bootid {
    u32 zkvid;
    u32 lsst;
    u32 hist_count;
    u32 prev[PROP_NUM_SLOTS];
    u32 next[PROP_NUM_SLOTS];
    u32 commit_lsn;
    u32 hdr_version;
};

// Everything opening gathered, per configured slot.
struct proprio_scan {
    u32 result[PROP_NUM_SLOTS];  // 0 read, 22 unformatted, 26 not open
    proprio_bootid id[PROP_NUM_SLOTS];
    u32 lsn[PROP_NUM_SLOTS];
    u32 has_lsn[PROP_NUM_SLOTS];
    u32 id_match[PROP_NUM_SLOTS];
    u32 need_recover[PROP_NUM_SLOTS];
    u32 num_lsn;
    u32 num_unformatted;
    u32 has_newest;     // some slot's boot block was read
    u32 newest_slot;    // the first slot holding the highest commit lsn read
};

// Reads slot's boot block directly; its votes go to the handle.  PROP_OK, or PROP_E_FORMAT
// when it cannot be read or is no boot block (the location is unformatted).
// propriogid: I/O get id: the store id on one location.
u32 propriogid(proprhandle *handle, u32 slot, proprio_bootid *out, u32 read_flags);
// The lsn in the log metadata block at lsst of slot.  PROP_OK or PROP_E_STORAGE.
// proprioglsn: I/O get lsn.
u32 proprioglsn(proprhandle *handle, u32 slot, u32 lsst, u32 *lsn);
// Two locations: votes first, then lsns.  PROP_OK or PROP_E_STORAGE.
// propriovck: I/O vote check.
u32 propriovck(proprhandle *handle, const proprio_scan *scan);
// Any number of locations: enough readable ones, one store id, and every
// location behind the highest commit lsn becomes stale.  PROP_OK or PROP_E_STORAGE.
// propriomck: I/O mirror check: mark stale locations.
u32 propriomck(proprhandle *handle, const proprio_scan *scan);

// Formatting a new store over the configured locations: sizing it,
// extending every location, writing the fixed blocks and creating the root
// key with its three top-level keys.
#pragma once

class WriteGroup;

#include "core/handle.h"

// Behind prop_setup (levels 0 and 4).  0 with *ctx set to a new context,
// or an error with *ctx untouched and nothing left behind: 13 (NULL ctx,
// front-end context or security record), 8 (a security record no key may
// have: refused before anything is opened), PROP_E_NOMEM, PROP_E_STORAGE (size or any write), or
// the error of opening or extending the locations.  A location already
// extended stays extended.  Until the last write (the boot block) no
// location of the new store opens: one cut short is unformatted.
// propriniconfig: init configuration: format a store.
u32 propriniconfig(backend_ctx **ctx, prop_secctx *sctx, void *clsctx, const sec_attr *topsec,
                   prop_metactx *meta, przkv_ctx *zkv, i32 level, u32 *levelarg);

// The block writers, in the order formatting calls them; each returns 0,
// PROP_E_NOMEM or PROP_E_STORAGE.  They need the handle's store map (num_fcl, numpage, lsst,
// odbst, gdbst, rtnst) and, from the superblock on, the store id.
//
// Boot block: the store id given (top bit cleared), or, without one or
// with format_flag, a new one from the random source.  Built and kept as
// the handle's boot buffer; what it writes is a blank block in its place,
// so that a format cut short leaves no location that opens.  The commit
// of proprinicreateroot writes the real one, last of all.
// proprinitb: init boot block.
u32 proprinitb(proprhandle *handle, const u32 *zkvid, u32 format_flag);
// The fixed blocks below go into one write group, written after the blank
// boot block and before the root's commit.
// Both superblock copies; kept as the handle's superblock buffer.
// proprinits: init superblocks.
u32 proprinits(proprhandle *handle, WriteGroup &group);
// Both copies of every bitmap page, all pages free.
// proprinitf: init free-space bitmaps.
u32 proprinitf(proprhandle *handle, WriteGroup &group);
// The log metadata block of an empty log.
// proprinitl: init log.
u32 proprinitl(proprhandle *handle, WriteGroup &group);
// The empty owner and group name pages; creates the name-cache mutex.
// proprinitd: init databases: the owner and group name pages.
u32 proprinitd(proprhandle *handle, WriteGroup &group);

// Writes the root key's tnode at page 0, creates "DATABASE", "SYSTEM" and
// "HWK" under it with sec, and commits.  0, or the error of a step.
// proprinicreateroot: init: create the root key.
u32 proprinicreateroot(proprhandle *handle, const sec_attr *sec, prop_metactx *meta);

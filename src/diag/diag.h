// Diagnostics and integrity: raw block access and the block report, the
// status scan, the logical corruption check, the stored state word, the
// recursive permission check, and the ids of the store and its locations.
// Every operation here reads the store except set-block and set-state,
// which write it under the context lock held exclusively.
#pragma once

#include "core/types.h"

struct proprhandle;

// Selecting a block (flags of get-block and set-block).
constexpr u32 DIAG_BY_KEY = PROP_BLOCK_BY_KEY;        // the tnode of an open key
constexpr u32 DIAG_BY_NUMBER = PROP_BLOCK_BY_NUMBER;  // the block with the given number
// The mirrored layer's choice for reads, every location for writes.
constexpr u32 DIAG_ALL_LOCATIONS = PROP_BLOCK_ALL_LOCATIONS;
// Status flag: leave the location names as configured.
constexpr u32 DIAG_STATUS_FULL_NAMES = 4;
// Status flag: the sizes alone, without the scan.
constexpr u32 DIAG_STATUS_SIZES = PROP_STATUS_SIZES;
// State flag: the in-memory copy only, the store is not read or written.
constexpr u32 DIAG_STATE_IN_MEMORY = 0x200000;
// The block report's sizes.
constexpr u32 DIAG_REPORT_SIZE = 8192;

// One block, by key or by number, from one location or the mirrored
// layer.  PROP_OK; PROP_E_CTX, PROP_E_PERM, PROP_E_KEYH, PROP_E_ARG, PROP_E_BUFSZ
// (*inout_size becomes 4096), PROP_E_NULL, PROP_E_STORAGE; PROP_E_NOTALLOC for a
// free page (by number its bytes are still returned); PROP_E_BADHDR for a header that does
// not validate (the block is still returned).
// proprgblock: get block.
u32 proprgblock(backend_ctx *ctx, propr_keyhandle *keyh, u32 location, void *outbuf, u32 *inout_size, u32 *blkno,
                u32 flags);
// Writes one block back, under the undo log when it lies in the tnode
// area.  The handle then re-reads what it keeps of a metadata block it
// wrote.  Results as for proprgblock, 39 also for a key whose tnode is not
// the block's number.
// proprsblock: set block.
u32 proprsblock(backend_ctx *ctx, propr_keyhandle *keyh, u32 location, const void *inbuf, u32 *inout_size,
                u32 flags);
// The text report of one block: 4096 bytes in, 8192 bytes of text out.
// PROP_OK, PROP_E_CTX, PROP_E_ARG (sizes), PROP_E_NULL.
// propriblock: interpret block.
u32 propriblock(backend_ctx *ctx, u32 blkno, const void *block, u32 block_size, char *text, u32 *text_size,
                u32 flags);

// Locations, states, version and space, with a page-by-page scan of every
// open location; a bad page marks its location 5 in the report only.
// PROP_OK, PROP_E_CTX, PROP_E_ARG, PROP_E_NULL, PROP_E_STORAGE.
// proprgst: get status.
u32 proprgst(backend_ctx *ctx, prop_status *status, u32 flags);
// Walks the key tree and claims every page it reaches.  0 sound, 57
// corruption found (or the walk could not finish), PROP_E_CTX, PROP_E_NOMEM.
u32 proprchk_logicalcorruption(backend_ctx *ctx);
// required on the key and every key below it: PROP_OK, PROP_E_CTX, PROP_E_PERM,
// PROP_E_KEYH, PROP_E_NOMEM, PROP_E_STORAGE.
// prcpr: check permissions recursively.
u32 prcpr(backend_ctx *ctx, prop_secctx *secctx, propr_keyhandle *keyh, u32 required);

// The upgrade state word of the boot block.  Set-state at levels 2 and 8
// changes only the in-memory copy and needs DIAG_STATE_IN_MEMORY (else 2).
// proprgstate: get state.
u32 proprgstate(backend_ctx *ctx, u32 *state, u32 flags);
// proprsstate: set state.
u32 proprsstate(backend_ctx *ctx, u32 state, u32 flags);
// The open store's id and its locations' device ids.  PROP_OK or PROP_E_CTX.
// prgid: get ids.
u32 prgid(backend_ctx *ctx, u32 *zkvid, u32 dev[PROP_MAX_LOCATIONS], u32 flags);
// The store id on a file or device that is not configured.  PROP_OK, PROP_E_ARG (a
// volume-manager name), PROP_E_FORMAT (no store there), PROP_E_STORAGE.
// prgdevid: get device id.
u32 prgdevid(backend_ctx *ctx, const char *location, u32 *zkvid);
// Whether a file exists: PROP_OK or PROP_E_STORAGE.  A volume-manager name
// is looked up through the volume-manager client.
// proprfexists: file exists.
u32 proprfexists(prop_metactx *meta, const char *filename, u32 *exists, u32 flags);

// The undo log and the free-space pages, for the context dump.  PROP_OK or PROP_E_STORAGE.
u32 proprdc_log(proprhandle *handle);
u32 proprdc_fcl(proprhandle *handle);

// Mirrored block I/O: every store block is read and written through
// propriow and proprior, which hide the mirrors, their workers, the write
// quorum and read failover.  Opening, voting between the locations, copying
// a stale one and closing them live here too.
#pragma once

#include "core/types.h"

struct proprhandle;

constexpr u32 PROPRIO_ALL = 100;  // device selector: every open location / any open location

// Open flags of proprioo and the calls that pass them on.
constexpr u32 PROPRIO_OPEN_NO_VLD_REREAD = 0x800;   // no VLD re-read of an invalid boot block
constexpr u32 PROPRIO_OPEN_QUIET = 0x4000;          // boot-block read failures are expected
constexpr u32 PROPRIO_OPEN_REUSE_VLD = 0x8000;      // keep / reuse VLD handles across a close
constexpr u32 PROPRIO_OPEN_ZKV = 0x20000;
constexpr u32 PROPRIO_OPEN_NKV = 0x40000;
constexpr u32 PROPRIO_OPEN_VLD_CREATE = 0x400000;   // a VLD file may be created at level 1
constexpr u32 PROPRIO_OPEN_RECOVER_DEV = 0x10000000;  // accept the previous device set

// Read flags of proprior (also handed to utread).
constexpr u32 PROPRIO_READ_QUIET = 0x4000;  // no alert when a location fails
// The block is rewritten in place outside the undo log: when no location
// gives a copy whose checksum verifies, one with a valid header is taken.
constexpr u32 PROPRIO_READ_IN_PLACE = 0x1000;
// PROP_FLAG_BYPASS (prop.h) accepts a block whose header check fails.

// Workers, mutex and the open locations.  0 or the error of opening.
// proprioini: I/O init.
u32 proprioini(proprhandle *handle, u32 open_flags);
// Writes length bytes at block address offset to every open location (or to
// the one selected).  PROP_OK, PROP_E_STORAGE, PROP_E_NOSPACE, or a direct write's own result.
// propriow: I/O write (mirrored).
u32 propriow(proprhandle *handle, const void *buffer, u32 length, u64 offset, u32 selector);
// Reads from one good location, failing over: a location whose block fails
// its header (22) or its checksum (26) counts as one that failed the read.
// PROP_OK, PROP_E_FORMAT, PROP_E_STORAGE, or a direct read's own result; direct reads hand over the
// bytes unchecked, for callers that judge each location's copy themselves.
// proprior: I/O read.
u32 proprior(proprhandle *handle, void *buffer, u32 length, u64 offset, u32 read_flags,
             u32 selector);
// One request of a batched read: length bytes at block address offset.
struct proprio_read {
    void *buffer;
    u32 length;
    u64 offset;
    u32 result;  // PROP_OK, PROP_E_FORMAT or PROP_E_STORAGE once read
};
// Reads every request as proprior does from any open location, each
// failing over on its own, but the requests go to a location together:
// neighbouring ones as one transfer, the rest in flight at once.  0 when
// every request was read, else the result of the first that was not.
u32 proprior_batch(proprhandle *handle, proprio_read *reqs, u32 n, u32 read_flags);
// Closes the locations, stops the workers, destroys the I/O mutex.
u32 proprio_term(proprhandle *handle);
// Creates the handle's I/O mutex (proprioini does it; tests that build a
// handle by hand call it).  0 or an errno value.
int proprio_mutex_init(proprhandle *handle);

// Opening, votes and closing.
// proprioo: I/O open: the locations, their votes and configuration.
u32 proprioo(proprhandle *handle, u32 check_config, u32 check_votes, u32 open_flags);
// propriosync: I/O sync.
u32 propriosync(proprhandle *handle);
// propriowv: I/O write votes.
u32 propriowv(proprhandle *handle, u32 my_votes, u32 total_votes, u32 slot);
// Writes buffer (a boot block) to slot with these votes; at the CACHING
// level with two locations the change is announced before and after.
u32 propriowv_bootbuf(proprhandle *handle, u8 *buffer, u32 my_votes, u32 total_votes, u32 slot);
// Keeps the votes of a two-location store right after a location is lost.
// propriowm: I/O write majority: keep votes after a lost location.
u32 propriowm(proprhandle *handle);
// propriocl: I/O close.
u32 propriocl(proprhandle *handle, u32 flags);
u32 proprio_reinit(proprhandle *handle, u32 flags);

// Copying a store between locations and checking a new one.
u32 proprio_copy(proprhandle *handle, u32 dst, u32 src);
u32 proprio_copy_pages(proprhandle *handle, u32 dst, u32 src, u64 offset, u32 numpage);
// propriodvch: I/O device change: create or resize a location.
u32 propriodvch(proprhandle *handle, const char *name, u64 size, u32 create, u32 flags);

// Pre-checks of a configuration change.  PROP_OK or PROP_E_MINORITY (or an open error).
u32 prop_precheck_confchange(backend_ctx *ctx, u32 devnum, const char *newdev);
u32 prop_precheck_delete(backend_ctx *ctx, u32 devnum);
u32 proprio_prechk_addreplace(backend_ctx *ctx, u32 devnum, const char *newdev);

// Republishes this node's view of a two-location store's votes.
// propriupdategrppridata: update group private data: publish this node's votes.
u32 propriupdategrppridata(proprhandle *handle);

// Operations behind the exports, with the exports' argument lists.
u32 proprio_close_io(backend_ctx *ctx);

// Services of the floors above that the I/O layer needs; set by whoever
// builds the handle (lifecycle), left NULL in tests that do not need them.
struct proprio_hooks {
    // The used page count U: one more than the highest allocated page.
    u32 (*used_pages)(proprhandle *handle, u32 *used);
    // Re-reads the boot block and superblock into the handle.
    u32 (*reread_boot)(proprhandle *handle);
    // Repairs the local configuration from the published one (103 = repaired).
    u32 (*repair_config)(proprhandle *handle);
    // The undo log goes on from the highest lsn the locations hold: creates
    // the handle's log record when absent and sets its lsn.  PROP_OK or PROP_E_NOMEM.
    u32 (*set_log_lsn)(proprhandle *handle, u32 lsn);
};

// Primitive operations on one file or raw-device location: read and write
// at a block address, size, smallest I/O unit, close, check a new location,
// and write the location list back to the configuration.
//
// Every location begins with a reserved area of PROPR_RESERVED_PREFIX
// bytes: block address x lives at file offset x + 0x19000, except for
// reads at the backup level (8), where the location is a backup file and
// the block address is the offset.  Unbuffered locations move data through
// 4096-aligned buffers taken from the handle's meta context, so callers
// may pass any buffer.
#pragma once

#include <sys/uio.h>

#include "core/types.h"
#include "format/layout.h"
#include "storage/changes.h"
#include "storage/config.h"

struct proprhandle;
struct env_file;

// The open-file holder a slot's proprhandle_native points to.
struct ut_native {
    env_file *file;
    u32 direct;   // opened with O_DIRECT: transfers go through aligned buffers
    u32 durable;  // its barriers must reach the device (not a developer's store)
    // A buffered descriptor of a direct location, opened by ut_peek: a look
    // at words another process rewrites costs a read from the system's page
    // cache instead of a device read.
    env_file *peek;
    // The location's change count (storage/changes.h), counted after each
    // write of its boot block.
    ut_changes changes;
};

// A stretch of neighbouring pages of a write group, to be written from
// block address blkaddr on; every iov entry is whole pages of 4096-aligned
// memory, so an unbuffered location takes them as they are.
struct ut_run {
    const struct iovec *iov;
    int iovcnt;
    u64 blkaddr;
};

// Flag: the caller expects this read may fail (failure logged at level 3).
constexpr u32 UT_READ_QUIET = 0x4000;

// Smallest location a store is opened on, in pages.
constexpr u32 UT_MIN_PAGES = 20000;
// Bytes of a location that hold no pages: the reserved prefix and the
// fixed areas of the store.
constexpr u64 UT_UNCOUNTED_BYTES = u64{PROPR_FIXED_BYTES} + PROPR_RESERVED_PREFIX;

// utread: read from one location.
u32 utread(proprhandle *handle, void *buf, u32 length, u64 blkaddr, ut_native *holder, u32 flags);

// One request of a batched read: length bytes at block address blkaddr into
// buf; result is PROP_OK or PROP_E_STORAGE once read.
struct ut_read {
    void *buf;
    u32 length;
    u64 blkaddr;
    u32 result;
};
// Reads every request from one location.  Requests that lie close together
// are read as one transfer (what lies between them is read and dropped),
// and the transfers are in flight together; a failed transfer fails every
// request in it.  flags as for utread.
void utread_batch(proprhandle *handle, ut_read *reqs, u32 n, ut_native *holder, u32 flags);
// utwrite: write to one location.
u32 utwrite(proprhandle *handle, const void *buf, u32 length, u64 blkaddr, ut_native *holder);
// Writes the same runs to each of count locations, every request of every
// location at once, then ends each location's part with one barrier, all
// at once.  results[i] receives PROP_OK, or PROP_E_STORAGE for holders[i] (traced and
// recorded as utwrite does).  Returns PROP_OK, or PROP_E_NOMEM when there is no memory
// for the requests: then nothing was written and results are untouched.
u32 ut_write_runs(proprhandle *handle, ut_native *const *holders, u32 count, const ut_run *runs, u32 nruns,
                   u32 *results);
// utsz: size of a location in pages.
u32 utsz(proprhandle *handle, u32 *numpage, ut_native *holder);
// utosmbsz: block size the system reports for a location.
u32 utosmbsz(proprhandle *handle, u32 *blocksize, ut_native *holder);
// utclose: close the locations.
u32 utclose(proprhandle *handle);
// utdvch: device change: create or resize a location.
u32 utdvch(proprhandle *handle, const char *newdev, u64 lastpage_addr, u32 write_test, u32 flags);
// utdvrp: device replace: write one slot of the configuration.
u32 utdvrp(proprhandle *handle, u32 slot);
// Writes the handle's location table as the configuration in one step.
// With previous, the list the change starts from is kept beside it until
// a later write without one: an open that finds it finishes or undoes the
// change from what the store's boot blocks say.
u32 ut_write_locations(proprhandle *handle, const prop_locations previous);

// Opens an existing location's path with the POSIX flags given, without
// blocking, and keeps it only when it is a regular file or a block device:
// a directory fails with EISDIR, anything else with ENOTBLK.  Returns 0 or
// the errno of the failure.
int ut_open_checked(const char *path, int flags, env_file **out);
// Opens an existing location for reading and writing into *holder.  With
// direct, O_DIRECT (buffered, with a trace line, where the file system
// refuses it) and durable barriers; otherwise buffered, its barriers only
// ordering points.  Writes are not synchronous: a write group's barrier
// makes them durable.  Returns 0 or the errno of the failure.
int ut_open_location(proprhandle *handle, const char *name, bool direct, ut_native *holder);
// Makes every completed write of a holder durable: the barrier of a bulk
// transfer that wrote through utwrite.  0 or an errno value.
int ut_sync_location(ut_native *holder);
// Closes the file of a holder; 0 or an errno value.
int ut_close_location(ut_native *holder);
// Reads length bytes at blkaddr of a file location through the system's
// page cache, which a direct write of another process updates: the
// location's own descriptor when it is buffered, else a buffered one opened
// at the first call and closed with the location.  0 or an errno value.
int ut_peek(proprhandle *handle, ut_native *holder, u32 slot, void *buf, u32 length, u64 blkaddr);

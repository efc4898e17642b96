// Primitive operations on one file or raw-device location: read and write
// at a block address, size, smallest I/O unit, close, check a new location,
// and write the location list back to the configuration.
#pragma once

#include "core/types.h"

struct proprhandle;
struct env_file;

// The open-file holder a slot's proprhandle_native points to.
struct ut_native {
    env_file *file;
    u32 direct;  // opened with O_DIRECT: transfers go through aligned buffers
};

// Flag: the caller expects this read may fail (failure logged at level 3).
constexpr u32 UT_READ_QUIET = 0x4000;

u32 utread(proprhandle *handle, void *buf, u32 length, u32 blkaddr, ut_native *holder, u32 flags);
u32 utwrite(proprhandle *handle, const void *buf, u32 length, u32 blkaddr, ut_native *holder);
u32 utsz(proprhandle *handle, u32 *numpage, ut_native *holder);
u32 utosmbsz(proprhandle *handle, u32 *blocksize, ut_native *holder);
u32 utclose(proprhandle *handle);
u32 utdvch(proprhandle *handle, const char *newdev, u32 lastpage_addr, u32 write_test, u32 flags);
u32 utdvrp(proprhandle *handle, u32 slot);

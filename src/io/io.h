// Mirrored block I/O: every store block is read and written through
// propriow and proprior, which hide the mirrors, their workers, the write
// quorum and read failover.
#pragma once

#include "core/types.h"

struct proprhandle;

constexpr u32 PROPRIO_ALL = 100;  // device selector: every open location / any open location

u32 proprioini(proprhandle *handle, u32 open_flags);
// Writes length bytes at block address offset to every open location (or to
// the one selected).  0, 26, 36, or a direct write's own result.
u32 propriow(proprhandle *handle, const void *buffer, u32 length, u32 offset, u32 selector);
// Reads from one good location, failing over.  0, 22, 26, or a direct
// read's own result.
u32 proprior(proprhandle *handle, void *buffer, u32 length, u32 offset, u32 read_flags,
             u32 selector);
u32 proprio_term(proprhandle *handle);

// Services of the floors above that the I/O layer needs; set by whoever
// builds the handle (lifecycle), left NULL in tests that do not need them.
struct proprio_hooks {
    // The used page count U: one more than the highest allocated page.
    u32 (*used_pages)(proprhandle *handle, u32 *used);
    // Re-reads the boot block and superblock into the handle.
    u32 (*reread_boot)(proprhandle *handle);
    // Repairs the local configuration from the published one (103 = repaired).
    u32 (*repair_config)(proprhandle *handle);
};

// The change count of a location: a small file beside it,
// "<location>.changes", mapped by every process that opens the location.
// Each write of the location's boot block (every commit, every start of a
// transaction that writes in place, every undo) counts it up, before and
// after.  A process below the CACHING level, which must learn at
// each call whether another process changed the store, then needs one
// memory load instead of a read of the boot block.
//
// The count is only as good as its writers.  A reader trusts it when every
// user who may write the location may also write the count (owner, group
// and the write bits); a process that cannot map it simply counts nothing,
// which is why readers still compare the boot block itself now and then
// (io/pagecache.cpp).  The page is locked in memory, so reading it never
// waits for (or fails on) a device.
#pragma once

#include "core/types.h"

struct ut_changes {
    u64 *count;    // the mapped count, or nullptr
    bool trusted;   // every writer of the location may write the count
    bool writable;  // this process may count (else it only reads)
};

// Maps the count of the location at path.  The file is made when missing,
// by the location's owner (or root, for the owner) only: a count someone
// else owns would never be trusted.  Leaves *c empty when there is none to
// map.
void ut_changes_map(const char *path, ut_changes *c);
void ut_changes_unmap(ut_changes *c);

// Before and after each write of the boot block (done or failed: the
// bytes may have changed either way).  Before: a reader that sees the new
// words has seen the count move, whenever it read the count; after: a
// reader that looked while the write was under way looks again.
inline void ut_changes_count(const ut_changes *c)
{
    if (c->count != nullptr && c->writable) __atomic_fetch_add(c->count, 1, __ATOMIC_SEQ_CST);
}

// The count, when it is there and trusted.
inline bool ut_changes_read(const ut_changes *c, u64 *count)
{
    if (c->count == nullptr || !c->trusted) return false;
    *count = __atomic_load_n(c->count, __ATOMIC_SEQ_CST);
    return true;
}

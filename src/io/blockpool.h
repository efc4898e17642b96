// Whole pages, 4096-aligned, for what the I/O path holds for a moment: a
// transaction's kept pages and undo images, a write group's copies, the
// page cache's pages.  They come from the meta context in chunks and go
// back to it only when the handle ends, so a transaction of a thousand
// pages costs no allocation, no zeroing and no page fault once the handle
// has held as many pages before: the pool keeps what it once needed (at
// most a page cache and the largest transaction).  A page taken holds
// whatever it held last.
#pragma once

#include "core/types.h"

struct proprhandle;

// A free page, or nullptr when memory runs out.  Without may_grow, only a
// page the pool already has: new memory costs a page fault per page, which
// a caller that can do without the page need not pay.
u8 *blockpool_take(proprhandle *handle, bool may_grow = true);
// Gives back a page taken from the handle's pool (nullptr is ignored).
void blockpool_give(proprhandle *handle, u8 *page);
// Gives every chunk back to the meta context: the handle's I/O ends, and
// no page of its pool is in use any more.
void blockpool_free(proprhandle *handle);

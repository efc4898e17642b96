// Pages an open transaction changes stay in memory until its commit, so a
// page rewritten many times (a parent taking a thousand children in one
// batch) reaches the store once.  The undo protocol is unchanged: a page's
// image is in the log before the page is changed, and every kept page is
// written before the boot block that commits it.  Reads within the
// transaction see its own pages.
#pragma once

#include "core/handle.h"
#include "io/io.h"

struct propr_pending_page {
    u32 addr;
    u8 *block;  // 4096 bytes, stamped as they will be written
};

struct propr_pending {
    propr_pending_page *pages;  // sorted by addr
    u32 count;
    u32 max;
    u32 keeping;  // 1 between the begin of a transaction and its end
};

// Writes a page of the tnode area: kept while a transaction is open,
// written now otherwise (and when memory for it cannot be had).  The block
// is stamped either way.  0, or the write error.
u32 ut_page_write(proprhandle *handle, u8 *block, u32 addr);
// Reads a page: the open transaction's copy when it changed the page, the
// store's otherwise (flags as for proprior).
u32 ut_page_read(proprhandle *handle, u8 *block, u32 addr, u32 flags);

// Whether a read of the page costs no device read: the open transaction
// keeps a copy of it, or the page cache holds it.
bool ut_page_in_memory(proprhandle *handle, u32 addr);
// Reads the requests (pages of the tnode area) together: each from the open
// transaction's copy when it changed the page, the rest from the store in
// one batched read (proprior_batch).  0 when every page was read, else the
// result of the first that was not; each request keeps its own result.
u32 ut_pages_read(proprhandle *handle, proprio_read *reqs, u32 n, u32 flags);

// A transaction opens: from now on pages are kept.
void ut_pending_begin(proprhandle *handle);
// Writes every kept page, in address order, and forgets them.  0, or the
// first write error (the pages not yet written are forgotten too: the
// caller rolls the transaction back).
u32 ut_pending_flush(proprhandle *handle);
// The transaction ends (committed after a flush, or rolled back): kept
// pages are forgotten and pages are written at once again.
void ut_pending_end(proprhandle *handle);
// Gives back the memory.
void ut_pending_free(proprhandle *handle);

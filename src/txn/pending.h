// What an open transaction writes stays in memory until its commit (or
// until it holds too much): the undo images it saved and the pages it
// changed.  A page rewritten many times (a parent taking a thousand
// children in one batch) reaches the store once, and everything reaches it
// in the few write groups the undo rule needs (ut_pending_flush).  Reads
// within the transaction see its own pages.  When a transaction holds too
// much and writes what it holds, its child-entry pages stay as clean
// copies: a parent taking ten thousand children searches them again for
// every name, and would otherwise read them all from the store each time.
#pragma once

#include "core/handle.h"
#include "io/io.h"

class WriteGroup;

struct propr_pending_page {
    u64 addr;
    u8 *block;  // 4096 bytes, stamped as they will be written
    u8 *aside;       // what a reader derived from block (ut_page_aside), or nullptr
    u32 aside_from;  // the bytes it was derived from: from here to the end
    u32 changed;     // 1 when block differs from what the store holds
};

struct propr_pending_list {
    propr_pending_page *pages;  // sorted by addr
    u32 count;
    u32 max;
};

struct propr_pending {
    propr_pending_list images;  // undo images, at their log slots
    propr_pending_list pages;   // changed pages of the tnode area
    u32 keeping;  // 1 between the begin of a transaction and its end
    u32 live;     // the boot block on the store marks the log live
};

// Writes a page of the tnode area: kept while a transaction is open,
// written now otherwise.  The block is stamped either way.  PROP_OK, PROP_E_NOMEM when
// there is no memory to keep it, or the write error.
u32 ut_page_write(proprhandle *handle, u8 *block, u64 addr);
// Reads a page: the open transaction's copy when it changed the page, the
// store's otherwise (flags as for proprior).
u32 ut_page_read(proprhandle *handle, u8 *block, u64 addr, u32 flags);
// Keeps an undo image (stamped here) for the log slot at slot_addr.  0,
// 12, or the error of writing what was kept when it held too much.
u32 ut_image_keep(proprhandle *handle, u8 *image, u64 slot_addr);

// The open transaction's own copy of the page at addr, to look at without
// copying it; nullptr when it has none.  Valid until the page is next
// written or the transaction's pages are written out.
const u8 *ut_page_kept(const proprhandle *handle, u64 addr);
// A page-sized block that stays with the transaction's own copy of the
// page at addr for as long as the copy's bytes from `from` to the end are
// unchanged, for a reader to keep what it derived from them (an index of
// the entries there); its first 64 bytes are zero when it is made.  Given
// back when a write changes those bytes or the copy is forgotten.  nullptr
// when the transaction keeps no copy of the page, or memory runs out.
u8 *ut_page_aside(proprhandle *handle, u64 addr, u32 from);
// Whether a read of the page costs no device read: the open transaction
// keeps a copy of it, or the page cache holds it.
bool ut_page_in_memory(proprhandle *handle, u64 addr);
// Reads the requests (pages of the tnode area) together: each from the open
// transaction's copy when it changed the page, the rest from the store in
// one batched read (proprior_batch).  0 when every page was read, else the
// result of the first that was not; each request keeps its own result.
u32 ut_pages_read(proprhandle *handle, proprio_read *reqs, u32 n, u32 flags);

// A transaction opens: from now on images and pages are kept.
void ut_pending_begin(proprhandle *handle);
// True when the transaction has written and kept nothing.
bool ut_pending_empty(const proprhandle *handle);
// Writes what the transaction kept and forgets it (see pending.cpp for the
// groups and their order).  With commit, the pages' group also takes what
// commit holds (the bitmap copies and the superblock), and the log
// metadata when the log never went live.  0, or the first write error (the
// caller rolls the transaction back).
u32 ut_pending_flush(proprhandle *handle, WriteGroup *commit = nullptr);
// The transaction ends (committed after a flush, or rolled back): kept
// images and pages are forgotten and pages are written at once again.
void ut_pending_end(proprhandle *handle);
// Gives back the memory.
void ut_pending_free(proprhandle *handle);

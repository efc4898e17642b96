// Pages under a parent's child-key entries: reading them with their type
// checked, making new KCE and ADDR pages, saving an undo image before a KCE
// page first changes, and the dense page-number lists (25 in the tnode, 3
// ADDR pages in the tnode, 1016 in each ADDR page).
#pragma once

#include "core/types.h"

struct proprhandle;

// Page-number lists inside a tnode or an ADDR page (big-endian words).
constexpr i32 KCE_LIST_DIRECT = 406;  // tnode: 25 KCE pages
constexpr u32 KCE_NUM_DIRECT = 25;
constexpr i32 KCE_LIST_ADDR = 506;  // tnode: 3 ADDR pages
constexpr u32 KCE_NUM_ADDR = 3;
constexpr i32 KCE_LIST_IN_ADDR = 32;  // ADDR page: 1016 KCE pages
constexpr u32 KCE_NUM_IN_ADDR = 1016;
constexpr i32 KCE_OFF_NUM_SUBKEY = 50;

struct alignas(8) kce_block {
    u8 b[PROP_PAGE_SIZE];
};

// A list of page numbers in a block; kept dense (every non-zero number
// before every zero), so walks stop at the first 0.
struct page_list {
    u8 *buf;
    i32 offset;
    u32 count;

    u32 get(u32 i) const;
    void set(u32 i, u32 page) const;
    // After one slot was zeroed: moves the last page number into the first
    // zero slot when that lies before it.
    void compact() const;
};

inline page_list tnode_direct_list(kce_block &tn)
{
    return {tn.b, KCE_LIST_DIRECT, KCE_NUM_DIRECT};
}
inline page_list tnode_addr_list(kce_block &tn)
{
    return {tn.b, KCE_LIST_ADDR, KCE_NUM_ADDR};
}
inline page_list addr_page_list(kce_block &ap)
{
    return {ap.b, KCE_LIST_IN_ADDR, KCE_NUM_IN_ADDR};
}

// Reads a page of the tnode area; 0 or the read error.  *valid tells
// whether its header is of type.
u32 kce_read(proprhandle *handle, u32 page, kce_block *blk, u32 type, bool *valid);
// The same for a caller that only looks at the page: *at points at the
// open transaction's own copy when it has one (valid until that page is
// next written), at blk otherwise.
u32 kce_view(proprhandle *handle, u32 page, kce_block *blk, const u8 **at, u32 type, bool *valid);
// Stamps and writes a page of the tnode area to every location.
u32 kce_write(proprhandle *handle, u32 page, kce_block *blk);
// Saves the on-disk image of page in the undo log unless it already has one
// or was allocated in this transaction.
u32 kce_log_once(proprhandle *handle, u32 page);
// A new page of the given type (KCE: with an empty slotted area at 32; ADDR:
// an empty list), recorded in the new page list.  0, 36 or the error.
u32 kce_new_page(proprhandle *handle, u32 type, u32 *page, kce_block *blk);

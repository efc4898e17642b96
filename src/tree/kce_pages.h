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
// Stamps and writes a page of the tnode area to every location.
u32 kce_write(proprhandle *handle, u32 page, kce_block *blk);
// Saves the on-disk image of page in the undo log unless it already has one
// or was allocated in this transaction.  image is the page as it was read
// before the change, or nullptr to read it from the store.
u32 kce_log_once(proprhandle *handle, u32 page, const u8 *image);
// A new page of the given type (KCE: with an empty slotted area at 32; ADDR:
// an empty list), recorded in the new page list.  PROP_OK, PROP_E_NOSPACE or the error.
u32 kce_new_page(proprhandle *handle, u32 type, u32 *page, kce_block *blk);

// The pages of a page list in list order, read a group at a time: a page
// the open transaction keeps is looked at where it lies, the others of the
// group come from the store in one batched read.  A search through the
// pages of a parent with thousands of children thus waits for one read per
// group instead of one per page.
class kce_list_reader {
  public:
    kce_list_reader(proprhandle *handle, const page_list &list) : handle_(handle), list_(list) {}
    ~kce_list_reader() { release(); }
    kce_list_reader(const kce_list_reader &) = delete;
    kce_list_reader &operator=(const kce_list_reader &) = delete;

    // The page at list index i, asked for in rising order: 0 with *page 0
    // past the end of the list (its first 0), else 0 or the page's read
    // error, with *at its bytes (valid until the page is next written or
    // another group is read).
    u32 view(u32 i, u32 *page, const u8 **at);

  private:
    static constexpr u32 kGroup = 32;

    void load(u32 from);
    void release();

    proprhandle *handle_;
    page_list list_;
    u32 first_ = 0;
    u32 count_ = 0;
    const u8 *at_[kGroup] = {};
    u8 *own_[kGroup] = {};
    u32 rc_[kGroup] = {};
};

// The child-key entries of one key in the order they lie on disk: its
// tnode's own entry area, then its direct KCE pages, then the KCE pages its
// ADDR pages list, each list up to its first 0.  The cursor can stop
// between two entries (a recursive delete finishes each child's subtree
// before it takes the next entry) and says when it leaves a KCE or ADDR
// page, so that a page can be freed right after the last entry it lists.
#pragma once

#include "core/types.h"
#include "tree/kce_pages.h"
#include "tree/slotted.h"

struct proprhandle;
class page_readahead;

enum class child_step {
    entry,      // hit() and name() describe the next child
    kce_done,   // page() is a KCE page whose entries have all been given
    addr_done,  // page() is an ADDR page whose KCE pages have all been given
    end,
};

// What went wrong when next() or start() fails.
struct child_fault {
    enum kind_t { none, read_kce, bad_kce, read_addr, bad_addr, bad_area } kind;
    u32 rc;     // the read error, or 26
    u32 page;   // the page concerned
    u32 index;  // its place in its list
};

class child_cursor {
  public:
    // Before start: the KCE and ADDR pages are read ahead through ahead,
    // together where the lists name several; with children, so are the
    // tnodes of each slotted area's children as the walk reaches the area.
    void read_ahead(page_readahead *ahead, bool children)
    {
        ahead_ = ahead;
        ahead_children_ = children;
    }
    // tnode_raw is the key's tnode page (copied).  addr_pages, when given,
    // are the key's ADDR pages read already, in list order; otherwise each
    // is read when the walk reaches it.  PROP_OK, or PROP_E_STORAGE for a corrupt entry area.
    u32 start(proprhandle *handle, const u8 *tnode_raw, const kce_block *addr_pages = nullptr);
    // 0 and the next step, or the error with fault() saying where.
    u32 next(child_step *step);

    const kce_hit &hit() const { return hit_; }
    const char *name() const { return reinterpret_cast<const char *>(area_.b + hit_.loc); }
    u32 name_len() const { return hit_.size - KCE_ENTRY_EXTRA; }
    u32 page() const { return done_page_; }
    const child_fault &fault() const { return fault_; }

  private:
    enum class phase { tnode_area, direct, indirect, end };

    u32 open_area(u32 start);
    u32 load_kce(u32 page, u32 index);
    u32 load_addr(u32 page, u32 index);
    u32 failed(child_fault::kind_t kind, u32 rc, u32 page, u32 index);
    u32 addr_list_get(u32 i) const;
    u32 read_page(u32 page, kce_block *blk, u32 type, bool *valid);
    // The child tnodes listed in the slotted area at start of block.
    static u32 area_children(const u8 *block, u32 start, u32 *pages, u32 max);
    void want_start();
    void want_addr_list(u32 from);

    proprhandle *handle_ = nullptr;
    page_readahead *ahead_ = nullptr;
    bool ahead_children_ = false;
    phase phase_ = phase::end;
    u32 direct_[KCE_NUM_DIRECT] = {};
    u32 addrs_[KCE_NUM_ADDR] = {};
    // The slotted area being walked: the tnode's, then one KCE page at a time.
    kce_block area_;
    u32 area_start_ = 0;
    kce_area header_{};
    u32 slot_ = 0;
    u32 kce_page_ = 0;  // page held in area_, 0 while it holds the tnode
    // The ADDR page being walked, and the position in the lists.
    kce_block addr_;
    const kce_block *addr_given_ = nullptr;
    const kce_block *addr_cur_ = nullptr;
    u32 list_i_ = 0;
    u32 addr_j_ = 0;

    kce_hit hit_{};
    u32 done_page_ = 0;
    child_fault fault_{};
};

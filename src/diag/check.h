// The logical corruption check works in two passes so that it reads the
// store as fast as the status scan does.  The first reads every page in
// use, in long runs, and keeps of each only what points elsewhere: a
// tnode's value pages, child entries, KCE and ADDR pages; a KCE page's
// child entries; an ADDR page's KCE pages.  The second walks the key tree
// from the root through what the first kept, without reading the store
// again, and claims every page it reaches for exactly one owner.  With
// more than one location open the first pass reads every copy, so that
// copies that differ while each verifies are found too.
#pragma once

#include "core/metavec.h"
#include "diag/common.h"

namespace diag::chk {

// What a page held when it was read.
enum class held : u8 { unread = 0, bad, tnode, kce, addr, val, other };

// What one page points at, in the order the walk takes it: value pages,
// the tnode's own child entries, its KCE pages, its ADDR pages.
enum class ref : u8 {
    value,       // target: a value page (0 = missing)
    value_size,  // target: a value size that needs more pages than a tnode names
    child,       // target: a child's tnode; name_off/name_len: its name
    kce,         // target: a KCE page
    addr,        // target: an ADDR page listing KCE pages
    bad_entries, // the page's child-entry area cannot be read
    subkeys,     // target: the tnode's subkey count
    bad_owner,   // target: an owner id the owner table does not hold
    bad_group,   // target: a group id the group table does not hold
    stray,       // target: a page number in a slot the counts say is unused;
                 // name_off: the slot's offset in the page
};

struct edge {
    u32 target;
    u32 name_off;
    u16 name_len;
    ref kind;
};

// Two copies of a page that differ while each verifies.
struct mismatch {
    u32 page;
    u32 slot_a;
    u32 slot_b;
};

// Ids the name tables hold: owners 1 .. owners, groups 0 .. groups.
struct name_ids {
    bool known = false;  // false: a table could not be read; ids go unchecked
    u32 owners = 0;
    u32 groups = 0;
};

// Everything the first pass keeps.
struct pages {
    explicit pages(prop_metactx *meta) : edges(meta), names(meta), mismatches(meta) {}

    u32 last = 0;            // U: the highest page in use
    MetaPtr<held> what;      // [0 .. last]
    MetaPtr<u32> first;      // [0 .. last + 1]: edges of page p are first[p] .. first[p + 1] - 1
    MetaVec<edge> edges;
    MetaVec<char> names;     // child names, back to back
    MetaVec<mismatch> mismatches;
};

// Reads pages 0 .. map.highest() that the map says are in use.  PROP_OK, PROP_E_NOMEM, or
// 26 when a run cannot be read from any open location.
u32 read_pages(proprhandle *h, const bitmaps &map, const name_ids &ids, pages *out);

// The open locations, in slot order; their number.
u32 open_slots(proprhandle *h, u32 *slots);

}  // namespace diag::chk

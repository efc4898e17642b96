// The last few listings of a key's children, as the page cache keeps them
// beside its pages: each child's name and tnode page.  A front end that
// lists a key opens each child next; where no key cache knows the
// children (the read-only level), each open would search the parent's
// entries again, and under a key of thousands of children that search is
// most of a walk's time.  A listing stays valid exactly as long as the
// pages it was read from: the page cache forgets both together.
#pragma once

#include "core/types.h"

struct prop_metactx;

// Zero-filled memory is an empty one (the page cache's own memory is);
// meta must be set before the first note, and clear gives everything back.
struct Listings {
    // Listings kept: one for each level of a depth-first walk's path.
    static constexpr u32 kKept = 8;

    // Keeps the children of the tnode at parent: count NUL-ended names in
    // names (len bytes) and their tnodes, in the order a search meets
    // them.  The listing kept longest goes; without memory, nothing is kept.
    void note(u32 parent, const char *names, u32 len, const u32 *children, u32 count);
    // The tnode of the first child called name under parent, or 0 when no
    // listing kept says.
    u32 find(u32 parent, const char *name) const;
    void clear();

    struct Listing {
        u32 parent;
        u32 count;
        char *names;
        u32 *order;     // name offsets, sorted by name (first listed first)
        u32 *children;  // tnode of the child whose name starts at order[i]
    };
    void drop(Listing *l);

    prop_metactx *meta;
    Listing kept[kKept];
    u32 next;  // the slot the next listing takes
};

// Growable lists of page numbers (the free page list, the new page list and
// the undo log's saved-page list): arrays from the meta context that start
// with room for 10 entries and double when full.  A transaction of tens of
// thousands of keys puts as many pages on them and asks for each of its
// pages whether it is listed, so a list longer than a few dozen entries
// keeps a hash set of its pages beside it.
#pragma once

#include "core/types.h"

constexpr u32 PROPR_PAGELIST_STEP = 10;

// Membership of a list's pages; made and dropped by the functions below.
struct propr_listset;

// Allocates an empty list of PROPR_PAGELIST_STEP entries; PROP_OK or PROP_E_NOMEM.
u32 propr_pagelist_init(prop_metactx *meta, u32 **list, u32 *max);
// Appends page, growing the list first when it is full; PROP_OK, or PROP_E_NOMEM with the
// list unchanged.
u32 propr_pagelist_push(prop_metactx *meta, u32 **list, u32 *used, u32 *max, propr_listset **set, u32 page);
bool propr_pagelist_contains(const u32 *list, u32 used, const propr_listset *set, u32 page);
// Zeroes every entry and the count; the capacity stays.
void propr_pagelist_clear(prop_metactx *meta, u32 *list, u32 *used, u32 max, propr_listset **set);
void propr_pagelist_free(prop_metactx *meta, u32 **list, u32 *used, u32 *max, propr_listset **set);

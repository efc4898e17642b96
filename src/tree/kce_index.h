// Finding a name among a page's child-key entries without reading them
// all.  A batch that makes a thousand children under one parent searches
// the parent's full entry pages again for every name; the index of such a
// page lives beside the transaction's own copy of it (ut_page_aside), is
// built on the page's second search and goes when a write changes the
// entry area (a parent's tnode is written for every child it gains, mostly
// outside its entry area).  A page the transaction does not keep is
// searched entry by entry.
#pragma once

#include "core/types.h"
#include "tree/slotted.h"

struct proprhandle;

// proprutmkceb over the slotted area at start of buf, the page at addr as
// the handle reads it: PROP_R_FOUND with *hit, PROP_R_NOTFOUND, or 26 when
// the area is corrupt.
u32 kce_index_find(proprhandle *handle, u64 addr, const u8 *buf, u32 start, const char *name, u32 name_len,
                   kce_hit *hit);

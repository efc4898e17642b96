// How many children one key may have, and whether its entries may spill
// into KCE pages listed by ADDR pages.
#pragma once

#include "core/types.h"

struct proprhandle;

constexpr u32 KCE_MAX_CHILDREN = 10000;
constexpr u32 KCE_MAX_CHILDREN_OLD = 4096;  // clusters below the version below
constexpr u32 KCE_ADDR_PAGES_VERSION = 0x0C200000;

// Boot levels 0, 2, 4 and 8: ADDR pages and 10000 children.  Boot level 1:
// decided by the front-end context's active version (below 0x0C200000: no
// ADDR pages, 4096 children).  PROP_OK; PROP_E_CTX for another boot level or an active
// version that does not parse; 13 for a missing argument or, at level 1, a
// missing front-end context.
u32 proprut_use_sindirect_kcepages(const proprhandle *handle, u32 *use_addr_pages, u32 *max_children);

// A set of page numbers that answers "is this page in it" at once, where a
// list answers in time proportional to its length: the pages a large
// transaction has saved in the undo log are asked about for every page it
// changes.  Open addressing in an array from the meta context.
#pragma once

#include "core/types.h"

struct propr_pageset {
    u32 *slots;  // page + 1, 0 = empty
    u32 capacity;
    u32 count;
};

// Adds page; 0, or 12 with the set unchanged.
u32 propr_pageset_add(prop_metactx *meta, propr_pageset *set, u32 page);
bool propr_pageset_has(const propr_pageset *set, u32 page);
// Empties the set; its memory stays for the next transaction.
void propr_pageset_clear(propr_pageset *set);
void propr_pageset_free(prop_metactx *meta, propr_pageset *set);

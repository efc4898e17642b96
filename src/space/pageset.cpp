#include "space/pageset.h"

#include <cstring>

#include "core/alloc.h"

namespace {

constexpr u32 kFirstCapacity = 64;

u32 slot_of(u32 page, u32 capacity)
{
    return (page * 2654435761u) & (capacity - 1);
}

void place(u32 *slots, u32 capacity, u32 page)
{
    u32 i = slot_of(page, capacity);
    while (slots[i] != 0) i = (i + 1) & (capacity - 1);
    slots[i] = page + 1;
}

// Doubles the table (or makes the first); false when memory runs out.
bool grow(prop_metactx *meta, propr_pageset *set)
{
    const u32 capacity = set->capacity == 0 ? kFirstCapacity : 2 * set->capacity;
    u32 *slots = u_alloc_array<u32>(meta, capacity);
    if (slots == nullptr) return false;
    std::memset(slots, 0, sizeof(u32) * capacity);
    for (u32 i = 0; i < set->capacity; i++)
        if (set->slots[i] != 0) place(slots, capacity, set->slots[i] - 1);
    if (set->slots != nullptr) u_freem(meta, set->slots);
    set->slots = slots;
    set->capacity = capacity;
    return true;
}

}  // namespace

u32 propr_pageset_add(prop_metactx *meta, propr_pageset *set, u32 page)
{
    if (propr_pageset_has(set, page)) return PROP_OK;
    // At most half full, so that a probe ends soon.
    if (2 * (set->count + 1) > set->capacity && !grow(meta, set)) return PROP_E_NOMEM;
    place(set->slots, set->capacity, page);
    set->count++;
    return PROP_OK;
}

bool propr_pageset_has(const propr_pageset *set, u32 page)
{
    if (set->count == 0) return false;
    for (u32 i = slot_of(page, set->capacity); set->slots[i] != 0; i = (i + 1) & (set->capacity - 1))
        if (set->slots[i] == page + 1) return true;
    return false;
}

void propr_pageset_clear(propr_pageset *set)
{
    if (set->count != 0) std::memset(set->slots, 0, sizeof(u32) * set->capacity);
    set->count = 0;
}

void propr_pageset_free(prop_metactx *meta, propr_pageset *set)
{
    if (set->slots != nullptr) u_freem(meta, set->slots);
    *set = {};
}

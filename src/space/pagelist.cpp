#include "space/pagelist.h"

#include <cstring>

#include "core/alloc.h"

u32 propr_pagelist_init(prop_metactx *meta, u32 **list, u32 *max)
{
    u32 *fresh = u_alloc_array<u32>(meta, PROPR_PAGELIST_STEP);
    if (fresh == nullptr) return PROP_E_NOMEM;
    std::memset(fresh, 0, sizeof(u32) * PROPR_PAGELIST_STEP);
    *list = fresh;
    *max = PROPR_PAGELIST_STEP;
    return PROP_OK;
}

u32 propr_pagelist_push(prop_metactx *meta, u32 **list, u32 *used, u32 *max, u32 page)
{
    if (*list == nullptr || *used >= *max) {
        u32 grown = *max + PROPR_PAGELIST_STEP;
        u32 *bigger = u_alloc_array<u32>(meta, grown);
        if (bigger == nullptr) return PROP_E_NOMEM;
        std::memset(bigger, 0, sizeof(u32) * grown);
        if (*list != nullptr) {
            std::memcpy(bigger, *list, sizeof(u32) * *used);
            u_freem(meta, *list);
        }
        *list = bigger;
        *max = grown;
    }
    (*list)[(*used)++] = page;
    return PROP_OK;
}

bool propr_pagelist_contains(const u32 *list, u32 used, u32 page)
{
    for (u32 i = 0; i < used; ++i)
        if (list[i] == page) return true;
    return false;
}

void propr_pagelist_clear(u32 *list, u32 *used, u32 max)
{
    if (list != nullptr) std::memset(list, 0, sizeof(u32) * max);
    *used = 0;
}

void propr_pagelist_free(prop_metactx *meta, u32 **list, u32 *used, u32 *max)
{
    if (*list != nullptr) u_freem(meta, *list);
    *list = nullptr;
    *used = 0;
    *max = 0;
}

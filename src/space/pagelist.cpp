#include "space/pagelist.h"

#include <cstring>

#include "core/alloc.h"

struct propr_listset {
    u32 *slots;  // open addressing; kEmpty marks a free slot
    u32 cap;     // a power of two, at least twice the count
    u32 count;
};

namespace {

constexpr u32 kEmpty = 0xFFFFFFFFU;
// Lists up to this long are searched entry by entry.
constexpr u32 kSetFrom = 32;

u32 slot_of(u32 page, u32 cap)
{
    return (page * 2654435761U) & (cap - 1);
}

void set_free(prop_metactx *meta, propr_listset **set)
{
    if (*set == nullptr) return;
    u_freem(meta, (*set)->slots);
    u_freem(meta, *set);
    *set = nullptr;
}

void set_add(propr_listset *s, u32 page)
{
    u32 at = slot_of(page, s->cap);
    while (s->slots[at] != kEmpty && s->slots[at] != page) at = (at + 1) & (s->cap - 1);
    if (s->slots[at] == kEmpty) s->count++;
    s->slots[at] = page;
}

// A set of room for cap pages holding the list's; nullptr without memory.
propr_listset *set_make(prop_metactx *meta, const u32 *list, u32 used, u32 cap)
{
    auto *s = u_alloc_array<propr_listset>(meta, 1);
    u32 *slots = s != nullptr ? u_alloc_array<u32>(meta, cap) : nullptr;
    if (slots == nullptr) {
        if (s != nullptr) u_freem(meta, s);
        return nullptr;
    }
    std::memset(slots, 0xFF, sizeof(u32) * cap);
    *s = {slots, cap, 0};
    for (u32 i = 0; i < used; i++) set_add(s, list[i]);
    return s;
}

// Keeps the set in step with a list that just took its used-th entry.
// Without memory the set goes: the list alone still answers, only slower.
void set_note(prop_metactx *meta, const u32 *list, u32 used, propr_listset **set)
{
    if (*set != nullptr && 2 * ((*set)->count + 1) <= (*set)->cap) {
        set_add(*set, list[used - 1]);
        return;
    }
    if (used < kSetFrom) return;
    u32 cap = 4 * kSetFrom;
    while (cap < 4 * used) cap *= 2;
    set_free(meta, set);
    *set = set_make(meta, list, used, cap);
}

}  // namespace

u32 propr_pagelist_init(prop_metactx *meta, u32 **list, u32 *max)
{
    u32 *fresh = u_alloc_array<u32>(meta, PROPR_PAGELIST_STEP);
    if (fresh == nullptr) return PROP_E_NOMEM;
    std::memset(fresh, 0, sizeof(u32) * PROPR_PAGELIST_STEP);
    *list = fresh;
    *max = PROPR_PAGELIST_STEP;
    return PROP_OK;
}

u32 propr_pagelist_push(prop_metactx *meta, u32 **list, u32 *used, u32 *max, propr_listset **set, u32 page)
{
    if (*list == nullptr || *used >= *max) {
        // Doubling, so that a list of n pages costs n copies in all.
        u32 grown = *list == nullptr ? PROPR_PAGELIST_STEP : *max + (*max > PROPR_PAGELIST_STEP ? *max : PROPR_PAGELIST_STEP);
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
    set_note(meta, *list, *used, set);
    return PROP_OK;
}

bool propr_pagelist_contains(const u32 *list, u32 used, const propr_listset *set, u32 page)
{
    if (set != nullptr && set->count == used) {
        for (u32 at = slot_of(page, set->cap); set->slots[at] != kEmpty; at = (at + 1) & (set->cap - 1))
            if (set->slots[at] == page) return true;
        return false;
    }
    for (u32 i = 0; i < used; ++i)
        if (list[i] == page) return true;
    return false;
}

void propr_pagelist_clear(prop_metactx *meta, u32 *list, u32 *used, u32 max, propr_listset **set)
{
    if (list != nullptr) std::memset(list, 0, sizeof(u32) * max);
    *used = 0;
    set_free(meta, set);
}

void propr_pagelist_free(prop_metactx *meta, u32 **list, u32 *used, u32 *max, propr_listset **set)
{
    if (*list != nullptr) u_freem(meta, *list);
    *list = nullptr;
    *used = 0;
    *max = 0;
    set_free(meta, set);
}

// The slotted page shared by child-key entries (in a tnode at 582, in a KCE
// page at 32): a header (num_entry, free_space_size, end_free_space), slots
// growing upward from start + 12, entries growing downward from 4096.
// An entry is the name, one byte of the child's entry word and the child's
// tnode page (big-endian).  Pure buffer code: no I/O.
#pragma once

#include "core/types.h"

constexpr u32 KCE_TNODE_START = 582;  // entry area of a tnode
constexpr u32 KCE_PAGE_START = 32;    // entry area of a KCE page
constexpr u32 KCE_ENTRY_EXTRA = 5;    // entry byte + child page
constexpr u32 KCE_SLOT_SIZE = 8;
constexpr u32 KCE_AREA_HEADER = 12;
constexpr u32 KCE_ROOM_MARGIN = 20;  // header + one slot, kept free

struct kce_area {
    u32 num_entry;        // slots, deleted ones included
    u32 free_space_size;  // header and free gap, as the area counts it
    u32 end_free_space;   // block offset of the lowest entry byte
};

// Where an entry was found or placed.
struct kce_hit {
    u32 entry_byte;
    u32 child;  // the child's tnode page
    u32 slot;   // slot index
    u32 loc;    // block offset of the entry
    u32 size;   // entry size (name length + 5)
};

inline u32 kce_entry_size(u32 name_len)
{
    return name_len + KCE_ENTRY_EXTRA;
}

// Reads and writes the area header at start.
kce_area kce_area_read(const u8 *buf, u32 start);
void kce_area_write(u8 *buf, u32 start, const kce_area &area);
// An empty area: no slots, all of start..4096 free.
void kce_area_init(u8 *buf, u32 start);

// Room checks, on the area header.  The tnode area takes an entry when
// free_space_size - 20 >= size; a KCE page only when it is strictly greater.
bool kce_fits_tnode(const u8 *buf, u32 entry_size);
bool kce_fits_page(const u8 *buf, u32 entry_size);

// Finds name (by length and bytes; deleted slots and empty names never
// match).  101 with the hit, 102 when absent, 26 when the area is corrupt.
// proprutmkceb: match child-entry block: search one page.
u32 proprutmkceb(const u8 *buf, u32 start, const char *name, u32 name_len, kce_hit *hit);
// The same, giving only the entry byte and the child page.
// proprutfkcesp: find child entry in a slotted page.
u32 proprutfkcesp(const u8 *buf, u32 start, const char *name, u32 name_len, u32 *entry_byte, u32 *child);
// Inserts an entry, reusing the first deleted slot before growing the slot
// array.  The room check comes first; this only refuses (36) an entry that
// would overlap the slots, and a corrupt header (26).  hit, if given,
// receives where the entry went.
// proprutikcesp: insert child entry into a slotted page.
u32 proprutikcesp(u8 *buf, u32 start, const char *name, u32 name_len, u32 entry_byte, u32 child,
                  kce_hit *hit);
// Deletes the entry that proprutmkceb found: clears its slot, closes the
// hole by moving the lower entries up and moves their slot locations with
// them.  PROP_OK, or PROP_E_STORAGE when the hit does not describe a live entry.
// proprutdkcesp: delete child entry from a slotted page.
u32 proprutdkcesp(u8 *buf, u32 start, const kce_hit &hit);
// Calls fn(hit) for every live entry in slot order; stops early when fn
// returns false.  PROP_OK, or PROP_E_STORAGE when the area is corrupt.
template <class Fn> u32 kce_for_each(const u8 *buf, u32 start, Fn fn);

// ---- implementation of the template
u32 kce_slot_read(const u8 *buf, u32 start, const kce_area &area, u32 slot, kce_hit *hit);
u32 kce_area_check(const kce_area &area, u32 start);

template <class Fn> u32 kce_for_each(const u8 *buf, u32 start, Fn fn)
{
    kce_area area = kce_area_read(buf, start);
    if (u32 rc = kce_area_check(area, start); rc != 0) return rc;
    for (u32 i = 0; i < area.num_entry; i++) {
        kce_hit hit{};
        if (u32 rc = kce_slot_read(buf, start, area, i, &hit); rc != 0) return rc;
        if (hit.size != 0 && !fn(hit)) break;
    }
    return PROP_OK;
}

// One name table page (the owner or the group database): a header at 32
// (num_entry, end_free_space, free_space_size), slots of (entry size,
// location) from 44, one per id, and entries (the name, then its id
// big-endian) growing downward from 4096.  Names are only ever added, so ids
// are dense and permanent.  Pure buffer code: no I/O.
#pragma once

#include "core/types.h"

constexpr u32 NAMEDB_HEADER = 32;
constexpr u32 NAMEDB_SLOTS = 44;
constexpr u32 NAMEDB_SLOT_SIZE = 8;
constexpr u32 NAMEDB_ID_SIZE = 4;

// Name kinds: which table.
enum : u32 {
    NAME_KIND_OWNER = 1,
    NAME_KIND_GROUP = 2,
};

struct namedb_header {
    u32 num_entry;
    u32 end_free_space;
    u32 free_space_size;
};

// The header, with the defaults of a freshly formatted page applied
// (end_free_space 0 means 4096; free_space_size 0 with no entries means
// 4052).
namedb_header namedb_header_read(const u8 *page);

// The slot of id (1-based): PROP_OK, or PROP_E_STORAGE when the slot lies outside the page or
// describes an entry that does not fit in it.
u32 namedb_slot(const u8 *page, u32 id, u32 *size, u32 *loc);
// Looks name up among the num_entry slots.  101 with *id (the id stored in
// the entry), 102 when absent, 26 for a corrupt slot.
u32 namedb_find(const u8 *page, const char *name, u32 name_len, u32 *id);
// Appends name with the next id.  0 with *id, or 26 when the page has no
// room for the entry and its slot (the page is then unchanged).
u32 namedb_add(u8 *page, const char *name, u32 name_len, u32 *id);

#include "tree/namedb.h"

#include <cstring>

#include "format/cursor.h"
#include "space/uttrace.h"

namespace {

constexpr u32 kBlock = PROP_PAGE_SIZE;

i32 at(u32 offset)
{
    return static_cast<i32>(offset);
}

u32 slot_offset(u32 id)
{
    return NAMEDB_SLOTS + NAMEDB_SLOT_SIZE * (id - 1);
}

}  // namespace

namedb_header namedb_header_read(const u8 *page)
{
    namedb_header h{be32_at(page, at(NAMEDB_HEADER)), be32_at(page, at(NAMEDB_HEADER + 4)),
                    be32_at(page, at(NAMEDB_HEADER + 8))};
    if (h.end_free_space == 0) h.end_free_space = kBlock;
    if (h.free_space_size == 0 && h.num_entry == 0) h.free_space_size = kBlock - NAMEDB_SLOTS;
    return h;
}

u32 namedb_slot(const u8 *page, u32 id, u32 *size, u32 *loc)
{
    if (id == 0 || id > (kBlock - NAMEDB_SLOTS) / NAMEDB_SLOT_SIZE) return PROP_E_STORAGE;
    *size = be32_at(page, at(slot_offset(id)));
    *loc = be32_at(page, at(slot_offset(id) + 4));
    if (*size < NAMEDB_ID_SIZE || *loc < NAMEDB_SLOTS || *loc > kBlock || *size > kBlock - *loc) {
        trace_print(ut_trace(nullptr), 0, "namedb_slot: corrupt slot of id %u: size = %u, location = %u", id,
                    *size, *loc);
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

u32 namedb_find(const u8 *page, const char *name, u32 name_len, u32 *id)
{
    namedb_header h = namedb_header_read(page);
    for (u32 i = 1; i <= h.num_entry; i++) {
        u32 size = 0, loc = 0;
        if (u32 rc = namedb_slot(page, i, &size, &loc); rc != 0) return rc;
        trace_print(ut_trace(nullptr), 4, "proprutnametoid: entry_size = %d, entry_loc = %d",
                    static_cast<int>(size), static_cast<int>(loc));
        if (size <= NAMEDB_ID_SIZE || size - NAMEDB_ID_SIZE != name_len ||
            std::memcmp(page + loc, name, name_len) != 0)
            continue;
        *id = be32_at(page, at(loc + name_len));
        trace_print(ut_trace(nullptr), 4, "proprutnametoid: match found for name %.*s id = %d",
                    static_cast<int>(name_len), name, static_cast<int>(*id));
        return PROP_R_FOUND;
    }
    return PROP_R_NOTFOUND;
}

u32 namedb_add(u8 *page, const char *name, u32 name_len, u32 *id)
{
    namedb_header h = namedb_header_read(page);
    if (h.num_entry >= (kBlock - NAMEDB_SLOTS) / NAMEDB_SLOT_SIZE || h.end_free_space > kBlock) {
        trace_print(ut_trace(nullptr), 0, "No more space to add name to ZKV");
        return PROP_E_STORAGE;
    }
    u32 size = name_len + NAMEDB_ID_SIZE;
    u32 new_id = h.num_entry + 1;
    u32 slot = slot_offset(new_id);
    trace_print(ut_trace(nullptr), 4,
                "proprutnametoid: entering new name and id %.*s, %d curptr = %d, size = %d, loc = %d",
                static_cast<int>(name_len), name, static_cast<int>(new_id), static_cast<int>(slot),
                static_cast<int>(size), static_cast<int>(h.end_free_space) - static_cast<int>(size));
    if (size > h.end_free_space || h.end_free_space - size < slot + NAMEDB_SLOT_SIZE) {
        trace_print(ut_trace(nullptr), 0, "No more space to add name to ZKV");
        return PROP_E_STORAGE;
    }
    if (h.free_space_size < size + NAMEDB_SLOT_SIZE) {
        trace_print(ut_trace(nullptr), 0, "new free space size is less than zero");
        return PROP_E_STORAGE;
    }
    u32 loc = h.end_free_space - size;
    be32_put(page, at(slot), size);
    be32_put(page, at(slot + 4), loc);
    std::memcpy(page + loc, name, name_len);
    be32_put(page, at(loc + name_len), new_id);
    h = {new_id, loc, h.free_space_size - size - NAMEDB_SLOT_SIZE};
    be32_put(page, at(NAMEDB_HEADER), h.num_entry);
    be32_put(page, at(NAMEDB_HEADER + 4), h.end_free_space);
    be32_put(page, at(NAMEDB_HEADER + 8), h.free_space_size);
    trace_print(
        ut_trace(nullptr), 4,
        "proprutnametoid: Check2 new_num_entry = %d, new_end_free_space = %d, new_free_space_size = %d",
        static_cast<int>(h.num_entry), static_cast<int>(h.end_free_space),
        static_cast<int>(h.free_space_size));
    *id = new_id;
    return PROP_OK;
}

#include "tree/slotted.h"

#include <cstring>

#include "format/cursor.h"
#include "space/uttrace.h"

namespace {

constexpr u32 kBlock = PROP_PAGE_SIZE;

i32 at(u32 offset)
{
    return static_cast<i32>(offset);
}

u32 slots_end(u32 start, u32 num_entry)
{
    return start + KCE_AREA_HEADER + KCE_SLOT_SIZE * num_entry;
}

u32 slot_offset(u32 start, u32 slot)
{
    return start + KCE_AREA_HEADER + KCE_SLOT_SIZE * slot;
}

bool fits(const u8 *buf, u32 start, u32 entry_size, bool strict)
{
    i64 room = static_cast<i64>(kce_area_read(buf, start).free_space_size) - KCE_ROOM_MARGIN;
    i64 need = entry_size;
    return strict ? room > need : room >= need;
}

}  // namespace

kce_area kce_area_read(const u8 *buf, u32 start)
{
    return {be32_at(buf, at(start)), be32_at(buf, at(start + 4)), be32_at(buf, at(start + 8))};
}

void kce_area_write(u8 *buf, u32 start, const kce_area &area)
{
    be32_put(buf, at(start), area.num_entry);
    be32_put(buf, at(start + 4), area.free_space_size);
    be32_put(buf, at(start + 8), area.end_free_space);
}

void kce_area_init(u8 *buf, u32 start)
{
    kce_area_write(buf, start, {0, kBlock - start, kBlock});
}

bool kce_fits_tnode(const u8 *buf, u32 entry_size)
{
    return fits(buf, KCE_TNODE_START, entry_size, false);
}

bool kce_fits_page(const u8 *buf, u32 entry_size)
{
    return fits(buf, KCE_PAGE_START, entry_size, true);
}

u32 kce_area_check(const kce_area &area, u32 start)
{
    // num_entry is bounded first so that the slot arithmetic cannot wrap.
    bool ok = area.num_entry <= (kBlock - start) / KCE_SLOT_SIZE &&
              slots_end(start, area.num_entry) <= area.end_free_space && area.end_free_space <= kBlock;
    if (ok) return PROP_OK;
    trace_print(ut_trace(nullptr), 0,
                "kce_area_check: corrupt entry area at %u: num_entry = %u, end_free_space = %u", start,
                area.num_entry, area.end_free_space);
    return PROP_E_STORAGE;
}

namespace {

// A live slot's entry must lie whole in the entry space behind the free
// space; 0, or 26 with the slot reported.
u32 slot_check(u32 start, const kce_area &area, u32 slot, u32 size, u32 loc)
{
    if (size >= KCE_ENTRY_EXTRA && loc >= area.end_free_space && loc <= kBlock && size <= kBlock - loc)
        return PROP_OK;
    trace_print(ut_trace(nullptr), 0, "kce_slot_read: corrupt slot %u at %u: size = %u, location = %u", slot, start,
                size, loc);
    return PROP_E_STORAGE;
}

}  // namespace

u32 kce_slot_read(const u8 *buf, u32 start, const kce_area &area, u32 slot, kce_hit *hit)
{
    u32 off = slot_offset(start, slot);
    *hit = {};
    hit->slot = slot;
    hit->size = be32_at(buf, at(off));
    hit->loc = be32_at(buf, at(off + 4));
    if (hit->size == 0) return PROP_OK;  // deleted
    if (u32 rc = slot_check(start, area, slot, hit->size, hit->loc); rc != 0) return rc;
    u32 tail = hit->loc + hit->size - KCE_ENTRY_EXTRA;
    hit->entry_byte = buf[tail];
    hit->child = be32_at(buf, at(tail + 1));
    return PROP_OK;
}

// The search every create, open and delete makes in each page of a
// parent's entries, so one tight pass: a slot is decoded in full only when
// its name matches, yet every slot passed is checked as kce_for_each would.
u32 proprutmkceb(const u8 *buf, u32 start, const char *name, u32 name_len, kce_hit *hit)
{
    const kce_area area = kce_area_read(buf, start);
    if (u32 rc = kce_area_check(area, start); rc != 0) return rc;
    for (u32 slot = 0; slot < area.num_entry; slot++) {
        const u32 off = slot_offset(start, slot);
        const u32 size = be32_at(buf, at(off));
        const u32 loc = be32_at(buf, at(off + 4));
        if (size == 0) continue;  // deleted
        if (u32 rc = slot_check(start, area, slot, size, loc); rc != 0) return rc;
        const u32 len = size - KCE_ENTRY_EXTRA;
        if (len == 0) {
            trace_print(ut_trace(nullptr), 4, "proprutfkcesp: entry name len is 0");
            continue;
        }
        // Siblings often share a prefix and differ at the end: the last byte
        // rejects most of them before the full compare.
        if (len != name_len || buf[loc + len - 1] != static_cast<u8>(name[len - 1]) ||
            std::memcmp(buf + loc, name, len) != 0)
            continue;
        kce_slot_read(buf, start, area, slot, hit);
        trace_print(
            ut_trace(nullptr), 4,
            "proprutfkcesp: match found for subkey %.*s in tnode at  matched entry num = %d, child tnode addr = %d, parent ",
            static_cast<int>(name_len), name, static_cast<int>(hit->slot), static_cast<int>(hit->child));
        return PROP_R_FOUND;
    }
    return PROP_R_NOTFOUND;
}

u32 proprutfkcesp(const u8 *buf, u32 start, const char *name, u32 name_len, u32 *entry_byte, u32 *child)
{
    kce_hit hit{};
    u32 rc = proprutmkceb(buf, start, name, name_len, &hit);
    if (rc == PROP_R_FOUND) {
        *entry_byte = hit.entry_byte;
        *child = hit.child;
    }
    return rc;
}

u32 proprutikcesp(u8 *buf, u32 start, const char *name, u32 name_len, u32 entry_byte, u32 child, kce_hit *hit)
{
    kce_area area = kce_area_read(buf, start);
    if (u32 rc = kce_area_check(area, start); rc != 0) return rc;
    u32 size = kce_entry_size(name_len);

    // The first deleted slot is reused before the slot array grows.
    u32 slot = area.num_entry;
    for (u32 i = 0; i < area.num_entry; i++) {
        if (be32_at(buf, at(slot_offset(start, i))) == 0) {
            trace_print(ut_trace(nullptr), 4, "proprutikcesp: a DELETED entry found curptr = %d",
                        static_cast<int>(slot_offset(start, i)));
            slot = i;
            break;
        }
    }
    bool grows = slot == area.num_entry;
    u32 low = slots_end(start, area.num_entry + (grows ? 1 : 0));
    if (size > area.end_free_space || area.end_free_space - size < low) return PROP_E_NOSPACE;

    u32 loc = area.end_free_space - size;
    area.end_free_space = loc;
    area.free_space_size -= size + (grows ? KCE_SLOT_SIZE : 0);
    if (grows) area.num_entry++;
    kce_area_write(buf, start, area);
    be32_put(buf, at(slot_offset(start, slot)), size);
    be32_put(buf, at(slot_offset(start, slot) + 4), loc);
    if (name_len != 0) std::memcpy(buf + loc, name, name_len);
    buf[loc + name_len] = static_cast<u8>(entry_byte);
    be32_put(buf, at(loc + name_len + 1), child);
    if (hit != nullptr) *hit = {entry_byte & 0xFF, child, slot, loc, size};
    return PROP_OK;
}

u32 proprutdkcesp(u8 *buf, u32 start, const kce_hit &hit)
{
    kce_area area = kce_area_read(buf, start);
    if (u32 rc = kce_area_check(area, start); rc != 0) return rc;
    kce_hit live{};
    if (hit.slot >= area.num_entry || kce_slot_read(buf, start, area, hit.slot, &live) != 0 ||
        live.size == 0 || live.loc != hit.loc || live.size != hit.size) {
        trace_print(ut_trace(nullptr), 0, "proprutdkcesp: slot %u at %u does not hold the entry at %u",
                    hit.slot, start, hit.loc);
        return PROP_E_STORAGE;
    }
    u32 efs = area.end_free_space;
    be32_put(buf, at(slot_offset(start, hit.slot)), 0);
    be32_put(buf, at(slot_offset(start, hit.slot) + 4), 0);
    // Close the hole: everything below the entry moves up by its size.
    std::memmove(buf + efs + hit.size, buf + efs, hit.loc - efs);
    std::memset(buf + efs, 0, hit.size);
    for (u32 i = 0; i < area.num_entry; i++) {
        u32 off = slot_offset(start, i) + 4;
        u32 loc = be32_at(buf, at(off));
        if (loc != 0 && loc < hit.loc) be32_put(buf, at(off), loc + hit.size);
    }
    area.free_space_size += hit.size;
    area.end_free_space += hit.size;
    kce_area_write(buf, start, area);
    return PROP_OK;
}

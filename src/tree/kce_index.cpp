#include "tree/kce_index.h"

#include <cstring>

#include "space/uttrace.h"
#include "txn/pending.h"

namespace {

constexpr u32 kTable = 1024;  // slots + 1 per entry; an area holds fewer than 512 entries

enum : u32 { kNew = 0, kSearchedOnce = 1, kBuilt = 2 };

struct Index {
    u32 state;
    u16 slot_plus_one[kTable];  // open addressing by name hash; 0 = empty
};
static_assert(sizeof(Index) <= PROP_PAGE_SIZE);

u32 name_hash(const u8 *name, u32 len)
{
    u32 h = 2166136261U;
    for (u32 i = 0; i < len; i++) h = (h ^ name[i]) * 16777619U;
    return h;
}

// False when the area is corrupt (the entry-by-entry search then says so).
bool build(Index *ix, const u8 *buf, u32 start)
{
    std::memset(ix->slot_plus_one, 0, sizeof ix->slot_plus_one);
    u32 rc = kce_for_each(buf, start, [&](const kce_hit &h) {
        const u32 len = h.size - KCE_ENTRY_EXTRA;
        if (len == 0) return true;  // never matches a name
        u32 at = name_hash(buf + h.loc, len) & (kTable - 1);
        while (ix->slot_plus_one[at] != 0) at = (at + 1) & (kTable - 1);
        ix->slot_plus_one[at] = static_cast<u16>(h.slot + 1);
        return true;
    });
    if (rc != PROP_OK) return false;
    ix->state = kBuilt;
    return true;
}

// Same names hash alike, and a probe meets entries of one hash in slot
// order: the first slot holding the name is found, as the scan finds it.
u32 lookup(const Index *ix, const u8 *buf, u32 start, const char *name, u32 name_len, kce_hit *hit)
{
    const kce_area area = kce_area_read(buf, start);
    for (u32 at = name_hash(reinterpret_cast<const u8 *>(name), name_len) & (kTable - 1);;
         at = (at + 1) & (kTable - 1)) {
        const u32 v = ix->slot_plus_one[at];
        if (v == 0) return PROP_R_NOTFOUND;
        kce_hit h{};
        if (u32 rc = kce_slot_read(buf, start, area, v - 1, &h); rc != PROP_OK) return rc;
        if (h.size - KCE_ENTRY_EXTRA != name_len || std::memcmp(buf + h.loc, name, name_len) != 0) continue;
        *hit = h;
        trace_print(ut_trace(nullptr), 4, "proprutfkcesp: match found for subkey %.*s in an indexed page, entry num = %d",
                    static_cast<int>(name_len), name, static_cast<int>(h.slot));
        return PROP_R_FOUND;
    }
}

}  // namespace

u32 kce_index_find(proprhandle *handle, u64 addr, const u8 *buf, u32 start, const char *name, u32 name_len,
                   kce_hit *hit)
{
    auto *ix = reinterpret_cast<Index *>(ut_page_aside(handle, addr, start));
    if (ix != nullptr && ix->state == kBuilt) return lookup(ix, buf, start, name, name_len, hit);
    if (ix != nullptr && ix->state == kSearchedOnce && name_len != 0 && build(ix, buf, start))
        return lookup(ix, buf, start, name, name_len, hit);
    if (ix != nullptr && ix->state == kNew) ix->state = kSearchedOnce;
    return proprutmkceb(buf, start, name, name_len, hit);
}

// The first pass of the corruption check: every page in use, read in runs,
// reduced to what it points at.  Nothing read here is trusted: every list
// stops at its own length, every entry area is bounds-checked, and a value
// size that would send the walk past the 20 value pages of a tnode is kept
// as a finding instead.
#include <cstring>

#include "diag/check.h"
#include "diag/pages.h"
#include "format/cursor.h"
#include "io/io.h"
#include "io/slot.h"
#include "tree/kce_pages.h"
#include "tree/slotted.h"
#include "tree/tnode.h"

namespace diag::chk {

namespace {

class reader {
  public:
    explicit reader(pages *out) : out_(out) {}

    // Adds the edges of one page as read; false when memory runs out.
    bool page(u32 p, const u8 *block)
    {
        out_->first[p] = static_cast<u32>(out_->edges.size());
        const held kind = classify(p, block);
        out_->what[p] = kind;
        switch (kind) {
        case held::tnode: return tnode_edges(block);
        case held::kce: return entries(block, KCE_PAGE_START);
        case held::addr: return list(block, KCE_LIST_IN_ADDR, KCE_NUM_IN_ADDR, ref::kce);
        default: return true;
        }
    }

  private:
    held classify(u32 p, const u8 *block) const
    {
        const u32 types = p == 0 ? u32{PROPR_BLK_TNODE} : TYPES_IN_TNODES;
        if (proprut_isblk_valid_buf(block, types) == 0 || hdr_verify_checksum(block, PROP_PAGE_SIZE) != 0)
            return held::bad;
        propr_hdr hdr;
        std::memcpy(&hdr, block, sizeof hdr);
        switch (hdr.propr_hdr_block_type) {
        case PROPR_BLK_TNODE: return held::tnode;
        case PROPR_BLK_KCE: return held::kce;
        case PROPR_BLK_ADDR: return held::addr;
        case PROPR_BLK_VAL: return held::val;
        default: return held::other;
        }
    }

    bool add(u32 target, ref kind, u32 name_off = 0, u16 name_len = 0)
    {
        return out_->edges.push(edge{target, name_off, name_len, kind});
    }

    bool tnode_edges(const u8 *block)
    {
        const u32 size = be32_at(block, TNODE_OFF_VALUE_SIZE);
        u32 pages = 0;
        if (size > TNODE_INLINE_VALUE_SIZE) {
            const u64 extra = size - TNODE_INLINE_VALUE_SIZE;
            pages = static_cast<u32>((extra + PROPR_PAGE_ADDR_SIZE - 1) / PROPR_PAGE_ADDR_SIZE);
        }
        // A size past what the list can name is a finding of its own; the
        // pages the list does name are still claimed, the empty slots are
        // not reported again.
        const bool capped = pages > TNODE_NUM_DIRECT;
        if (capped) {
            if (!add(size, ref::value_size)) return false;
            pages = TNODE_NUM_DIRECT;
        }
        for (u32 i = 0; i < pages; i++) {
            const u32 page = be32_at(block, TNODE_OFF_DIRECT_ADDR + static_cast<i32>(4 * i));
            if ((page != 0 || !capped) && !add(page, ref::value)) return false;
        }
        return entries(block, KCE_TNODE_START) && list(block, KCE_LIST_DIRECT, KCE_NUM_DIRECT, ref::kce) &&
               list(block, KCE_LIST_ADDR, KCE_NUM_ADDR, ref::addr);
    }

    // A page list ends at its first 0.
    bool list(const u8 *block, i32 offset, u32 count, ref kind)
    {
        for (u32 i = 0; i < count; i++) {
            const u32 page = be32_at(block, offset + static_cast<i32>(4 * i));
            if (page == 0) break;
            if (!add(page, kind)) return false;
        }
        return true;
    }

    bool entries(const u8 *block, u32 start)
    {
        bool ok = true;
        const u32 rc = kce_for_each(block, start, [&](const kce_hit &hit) {
            const u32 len = hit.size - KCE_ENTRY_EXTRA;
            const u32 off = static_cast<u32>(out_->names.size());
            ok = out_->names.append(reinterpret_cast<const char *>(block + hit.loc), len) &&
                 add(hit.child, ref::child, off, static_cast<u16>(len));
            return ok;
        });
        if (rc != PROP_OK) return add(0, ref::bad_entries);
        return ok;
    }

    pages *out_;
};

// The open locations, the one reads start from first.
u32 open_slots(proprhandle *h, u32 *slots)
{
    u32 n = 0;
    u32 states[PROP_NUM_SLOTS];
    propreg::io_slot_states(h, states);
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++)
        if (states[i] == PROP_SLOT_OPEN) slots[n++] = i;
    return n;
}

bool sound(u32 page, const u8 *block)
{
    return proprut_isblk_valid_buf(block, page == 0 ? u32{PROPR_BLK_TNODE} : TYPES_IN_TNODES) != 0 &&
           hdr_verify_checksum(block, PROP_PAGE_SIZE) == 0;
}

// A page damaged on the location a run came from may be whole on another.
void repair_from_mirrors(proprhandle *h, const u32 *slots, u32 nslots, u32 page, u8 *block)
{
    alignas(8) u8 other[PROP_PAGE_SIZE];
    for (u32 i = 1; i < nslots; i++) {
        if (proprior(h, other, PROP_PAGE_SIZE, page_offset(h, page), 0, slots[i]) != PROP_OK) continue;
        if (!sound(page, other)) continue;
        std::memcpy(block, other, PROP_PAGE_SIZE);
        return;
    }
}

}  // namespace

u32 read_pages(proprhandle *h, const bitmaps &map, pages *out)
{
    out->last = map.highest();
    const size_t n = size_t{out->last} + 1;
    out->what = MetaPtr<held>::alloc(h->metactx, n);
    out->first = MetaPtr<u32>::alloc(h->metactx, n + 1);
    aligned buf(h->metactx, size_t{RUN_PAGES} * PROP_PAGE_SIZE);
    if (!out->what || !out->first || buf.get() == nullptr) return PROP_E_NOMEM;

    u32 slots[PROP_NUM_SLOTS];
    const u32 nslots = open_slots(h, slots);
    reader parse(out);
    runs all(map, out->last);
    run r{};
    u32 at = 0;  // pages before at have their edges recorded
    while (all.next(&r)) {
        u32 rc = PROP_E_STORAGE;
        for (u32 i = 0; i < nslots && rc != PROP_OK; i++) {
            // The location that answered becomes the first to ask.
            rc = read_run(h, slots[i], r, buf.get());
            if (rc == PROP_OK && i != 0) std::swap(slots[0], slots[i]);
        }
        if (rc != PROP_OK) return PROP_E_STORAGE;
        for (; at < r.first; at++) out->first[at] = static_cast<u32>(out->edges.size());
        for (u32 k = 0; k < r.count; k++, at++) {
            u8 *block = buf.get() + size_t{k} * PROP_PAGE_SIZE;
            if (!map.used(at)) {
                out->first[at] = static_cast<u32>(out->edges.size());
                continue;
            }
            if (!sound(at, block)) repair_from_mirrors(h, slots, nslots, at, block);
            if (!parse.page(at, block)) return PROP_E_NOMEM;
        }
    }
    for (; at <= out->last + 1; at++) out->first[at] = static_cast<u32>(out->edges.size());
    return PROP_OK;
}

}  // namespace diag::chk

// The first pass of the corruption check: every page in use, read in runs,
// reduced to what it points at.  Nothing read here is trusted: every list
// stops at its own length, every entry area is bounds-checked, and a value
// size that would send the walk past the 20 value pages of a tnode is kept
// as a finding instead.  So is a page number in a slot that the tnode's
// counts leave unused: a value cut short, or a list with a hole in it,
// would otherwise hide the pages it still names.
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
    reader(pages *out, const name_ids &ids) : out_(out), ids_(ids) {}

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
        if (!capped) {
            for (u32 i = pages; i < TNODE_NUM_DIRECT; i++)
                if (!unused_slot(block, TNODE_OFF_DIRECT_ADDR + static_cast<i32>(4 * i))) return false;
            if (!unused_slot(block, TNODE_OFF_SINGLE_INDIRECT)) return false;
        }
        return add(be32_at(block, TNODE_OFF_NUM_SUBKEY), ref::subkeys) && owner_and_group(block) &&
               entries(block, KCE_TNODE_START) && list(block, KCE_LIST_DIRECT, KCE_NUM_DIRECT, ref::kce) &&
               list(block, KCE_LIST_ADDR, KCE_NUM_ADDR, ref::addr);
    }

    bool unused_slot(const u8 *block, i32 offset)
    {
        const u32 page = be32_at(block, offset);
        return page == 0 || add(page, ref::stray, static_cast<u32>(offset));
    }

    // Group id 0 is the empty group; owner id 0 names nobody.
    bool owner_and_group(const u8 *block)
    {
        if (!ids_.known) return true;
        const u32 owner = be32_at(block, TNODE_OFF_OWNER_ID);
        const u32 group = be32_at(block, TNODE_OFF_GROUP_ID);
        if ((owner == 0 || owner > ids_.owners) && !add(owner, ref::bad_owner)) return false;
        return group <= ids_.groups || add(group, ref::bad_group);
    }

    // A page list ends at its first 0; every slot after it must be 0 too.
    bool list(const u8 *block, i32 offset, u32 count, ref kind)
    {
        bool ended = false;
        for (u32 i = 0; i < count; i++) {
            const i32 at = offset + static_cast<i32>(4 * i);
            if (ended) {
                if (!unused_slot(block, at)) return false;
                continue;
            }
            const u32 page = be32_at(block, at);
            ended = page == 0;
            if (!ended && !add(page, kind)) return false;
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
    const name_ids &ids_;
};

bool sound(u32 page, const u8 *block)
{
    return proprut_isblk_valid_buf(block, page == 0 ? u32{PROPR_BLK_TNODE} : TYPES_IN_TNODES) != 0 &&
           hdr_verify_checksum(block, PROP_PAGE_SIZE) == 0;
}

// One run as every open location holds it.
class copies {
  public:
    copies(proprhandle *h, u32 nslots) : buf_(h->metactx, size_t{RUN_PAGES} * PROP_PAGE_SIZE * (nslots == 0 ? 1 : nslots)) {}
    bool ready() const { return buf_.get() != nullptr; }

    // 0, or 26 when no location could give the run.
    u32 read(proprhandle *h, const u32 *slots, u32 nslots, const run &r)
    {
        read_ = 0;
        for (u32 i = 0; i < nslots; i++)
            if (read_run(h, slots[i], r, at(i, 0)) == PROP_OK) read_ |= 1U << i;
        return read_ != 0 ? u32{PROP_OK} : u32{PROP_E_STORAGE};
    }

    // The k-th page of the run: the first copy that verifies, else the
    // first copy read.  A second copy that verifies but differs is noted.
    const u8 *page(u32 page, u32 k, const u32 *slots, u32 nslots, pages *out)
    {
        const u8 *first = nullptr;
        u32 chosen = 0;
        for (u32 i = 0; i < nslots; i++) {
            if ((read_ & (1U << i)) == 0) continue;
            const u8 *copy = at(i, k);
            if (first == nullptr) first = copy;
            if (!sound(page, copy)) continue;
            if (chosen == 0) {
                first = copy;
                chosen = i + 1;
            } else if (std::memcmp(first, copy, PROP_PAGE_SIZE) != 0) {
                // Reported once per page; a memory failure only loses the note.
                (void)out->mismatches.push(mismatch{page, slots[chosen - 1], slots[i]});
                break;
            }
        }
        return first;
    }

  private:
    u8 *at(u32 i, u32 k) const { return buf_.get() + (size_t{i} * RUN_PAGES + k) * PROP_PAGE_SIZE; }

    aligned buf_;
    u32 read_ = 0;  // bit i: slots[i] gave the run
};

}  // namespace

u32 open_slots(proprhandle *h, u32 *slots)
{
    u32 n = 0;
    u32 states[PROP_NUM_SLOTS];
    propreg::io_slot_states(h, states);
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++)
        if (states[i] == PROP_SLOT_OPEN) slots[n++] = i;
    return n;
}

u32 read_pages(proprhandle *h, const bitmaps &map, const name_ids &ids, pages *out)
{
    out->last = map.highest();
    const size_t n = size_t{out->last} + 1;
    out->what = MetaPtr<held>::alloc(h->metactx, n);
    out->first = MetaPtr<u32>::alloc(h->metactx, n + 1);
    u32 slots[PROP_NUM_SLOTS];
    const u32 nslots = open_slots(h, slots);
    copies run_of(h, nslots);
    if (!out->what || !out->first || !run_of.ready()) return PROP_E_NOMEM;

    reader parse(out, ids);
    runs all(map, out->last);
    run r{};
    u32 at = 0;  // pages before at have their edges recorded
    while (all.next(&r)) {
        if (run_of.read(h, slots, nslots, r) != PROP_OK) return PROP_E_STORAGE;
        for (; at < r.first; at++) out->first[at] = static_cast<u32>(out->edges.size());
        for (u32 k = 0; k < r.count; k++, at++) {
            if (!map.used(at)) {
                out->first[at] = static_cast<u32>(out->edges.size());
                continue;
            }
            if (!parse.page(at, run_of.page(at, k, slots, nslots, out))) return PROP_E_NOMEM;
        }
    }
    for (; at <= out->last + 1; at++) out->first[at] = static_cast<u32>(out->edges.size());
    return PROP_OK;
}

}  // namespace diag::chk

// The status report and its integrity scan: every open location is read
// page by page, in long runs, and every block in use must carry a valid
// header for its place, its own block number and an intact checksum.
#include <cstdio>
#include <cstring>

#include "diag/diag.h"
#include "diag/pages.h"
#include "format/storemap.h"
#include "io/io.h"
#include "io/slot.h"
#include "space/fcl.h"
#include "platform/thread.h"
#include "vld/vldname.h"

using namespace diag;

namespace {

// What is wrong with a block as read, or nullptr.
const char *block_fault(const proprhandle *h, const u8 *block, u64 offset, u32 types)
{
    if (proprut_isblk_valid_buf(block, types) == 0) return "header";
    if (hdr_verify_checksum(block, PROP_PAGE_SIZE) != 0) return "checksum";
    propr_hdr hdr;
    std::memcpy(&hdr, block, sizeof hdr);
    if (hdr.propr_hdr_blocknum != expected_number(h, offset)) return "block number";
    return nullptr;
}

bool is_tnode(const u8 *block)
{
    propr_hdr hdr;
    std::memcpy(&hdr, block, sizeof hdr);
    return hdr.propr_hdr_block_type == PROPR_BLK_TNODE;
}

class location_scan {
  public:
    location_scan(proprhandle *h, u32 slot, bool ignore, findings *found)
        : h_(h), slot_(slot), ignore_(ignore), found_(found)
    {
    }
    u32 state() const { return state_; }
    // The tree nodes among the pages in use, once they were all read.
    u64 keys() const { return keys_; }

    // The blocks the handle lives by: boot block, current superblock and
    // bitmap copies, and the two name pages.
    void metadata()
    {
        block(0, PROPR_BLK_METADATA);
        block(propr_super_addr(h_->super_block_addr & 1U), PROPR_BLK_METADATA);
        for (u32 i = 0; i < h_->proprhandle_num_fcl && h_->proprhandle_fcl != nullptr; i++)
            block(propr_fcl_addr(i, h_->proprhandle_fcl[i]->free_space_addr & 1U), PROPR_BLK_METADATA);
        block(h_->proprhandle_odbst, PROPR_BLK_DB);
        block(h_->proprhandle_gdbst, PROPR_BLK_DB);
    }

    void pages(const bitmaps &map, u32 last, u8 *buf)
    {
        runs all(map, last);
        run r{};
        while (state_ == PROP_SLOT_OPEN && all.next(&r)) {
            if (read_run(h_, slot_, r, buf) != PROP_OK) {
                trace_print(raw(h_), 0, "\n proprgst:problem reading the freelist");
                state_ = PROP_SLOT_UNUSABLE;
                return;
            }
            for (u32 k = 0; k < r.count; k++) {
                const u32 page = r.first + k;
                if (!map.used(page)) continue;
                const u8 *block = buf + size_t{k} * PROP_PAGE_SIZE;
                check(block, page_offset(h_, page), page == 0 ? u32{PROPR_BLK_TNODE} : TYPES_IN_TNODES,
                      static_cast<int>(page));
                keys_ += page != 0 && is_tnode(block) ? 1 : 0;  // the root is no key of its own
            }
        }
        if (state_ == PROP_SLOT_OPEN) whole_ = true;
    }
    bool whole() const { return whole_; }

  private:
    void block(u64 offset, u32 types)
    {
        if (state_ != PROP_SLOT_OPEN) return;
        alignas(8) u8 buf[PROP_PAGE_SIZE];
        if (proprior(h_, buf, PROP_PAGE_SIZE, offset, 0, slot_) != PROP_OK) {
            trace_print(raw(h_), 0, "\n proprgst:problem reading the freelist");
            state_ = PROP_SLOT_UNUSABLE;
            return;
        }
        check(buf, offset, types, -1);
    }

    void check(const u8 *block, u64 offset, u32 types, int page)
    {
        const char *fault = block_fault(h_, block, offset, types);
        if (fault == nullptr) return;
        const int number = static_cast<int>(propr_blocknum(offset));
        found_->add("gst: Dev/Page/Block [%d/%d/%d] is CORRUPT (%s)%s", static_cast<int>(slot_), page, number, fault,
                    ignore_ ? " - IGNORED" : "");
        if (!ignore_) state_ = PROP_SLOT_CORRUPT;
    }

    proprhandle *h_;
    u32 slot_;
    bool ignore_;
    findings *found_;
    u32 state_ = PROP_SLOT_OPEN;
    u64 keys_ = 0;
    bool whole_ = false;
};

// A volume-manager location is shown by its disk group.
u32 fill_names(const proprhandle *h, prop_status *status, bool full_names)
{
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        const char *name = h->proprhandle_filename[i];
        if (full_names || h->proprhandle_loctype[i] != PROP_LOCTYPE_VLD) {
            std::snprintf(status->location[i], PROP_LOCNAME_SIZE, "%s", name);
            continue;
        }
        char dg[PROU_VLD_DGNAME_MAX + 2] = {};
        char file[PROP_LOCNAME_SIZE] = {};
        u32 dgsz = sizeof dg, filesz = sizeof file;
        if (u32 rc = prou_parse_vldfname(name, dg, &dgsz, file, &filesz); rc != PROU_NAME_OK) {
            trace_print(raw(h), 0, "proprgst: Failed in prou_parse_vldfname. prou_ret:[%d].", static_cast<int>(rc));
            return PROP_E_ARG;
        }
        std::snprintf(status->location[i], PROP_LOCNAME_SIZE, "%s", dg);
    }
    return PROP_OK;
}

u32 scan(proprhandle *h, prop_status *status, u32 flags, u32 *allocated)
{
    bitmaps map(h);
    const u32 loaded = map.load();
    if (loaded != PROP_OK) {
        trace_print(raw(h), 0, "gst:could not read fcl page %d", static_cast<int>(map.loaded()));
        if (loaded == PROP_E_NOMEM) return loaded;
    }
    *allocated = map.count();
    if ((flags & DIAG_STATUS_SIZES) != 0) return PROP_OK;
    aligned buf(h->metactx, size_t{RUN_PAGES} * PROP_PAGE_SIZE);
    if (buf.get() == nullptr) return PROP_E_NOMEM;
    findings found(h);
    const bool ignore = (flags & PROP_FLAG_BYPASS) != 0;
    bool counted = false;
    for (u32 slot = 0; slot < PROP_NUM_SLOTS; slot++) {
        if (status->state[slot] != PROP_SLOT_OPEN) continue;
        location_scan one(h, slot, ignore, &found);
        // A map that no location holds whole is found here, copy by copy.
        one.metadata();
        if (loaded == PROP_OK) one.pages(map, map.highest(), buf.get());
        status->state[slot] = one.state();
        // Keys are counted on the first location read to its end.
        if (!counted && one.whole()) status->keys = one.keys();
        counted = counted || one.whole();
    }
    if (loaded != PROP_OK)
        found.add("gst: bitmap page %u does not verify on any location: the pages in use were not scanned",
                  map.loaded());
    found.close("proprgst");
    return PROP_OK;
}

}  // namespace

u32 proprgst(backend_ctx *ctx, prop_status *status, u32 flags)
{
    if (!ctx_usable(ctx, "proprgst")) return PROP_E_CTX;
    proprhandle *h = ctx->propb_ctx;
    if (status == nullptr) {
        trace_print(raw(h), 0, "proprgst: null pointer passed for status");
        return PROP_E_NULL;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Shared);
    std::memset(status, 0, sizeof *status);
    const bool full_names = (flags & DIAG_STATUS_FULL_NAMES) != 0 || h->proprhandle_bootlevel == PROP_LEVEL_BACKUP;
    if (u32 rc = fill_names(h, status, full_names); rc != PROP_OK) return rc;
    propreg::io_slot_states(h, status->state);
    std::snprintf(status->version, sizeof status->version, "%d", h->version[0]);
    if (h->numpage == 0) {
        trace_print(raw(h), 0, "\n proprgst: problem calculating numpage");
        return PROP_E_STORAGE;
    }
    trace_print(raw(h), 4, "\n proprgst: Total pages [%d]", static_cast<int>(h->numpage));

    u32 allocated = 0;
    if (u32 rc = scan(h, status, flags, &allocated); rc != PROP_OK) return rc;
    trace_print(raw(h), 4, "\n proprgst: Used pages [%d]", static_cast<int>(allocated));
    status->total_kb = 4ULL * h->numpage;
    status->used_kb = 4ULL * allocated;
    status->free_kb = 4ULL * (h->numpage - allocated);
    status->limit_kb = 4ULL * h->proprhandle_num_fcl * PROPR_BITS_PER_FCL;
    return PROP_OK;
}

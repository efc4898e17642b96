#include "backup/source.h"

#include <cstring>

#include "format/block.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "format/storemap.h"
#include "io/io.h"
#include "io/slot.h"
#include "space/bitmap.h"

namespace propreg {

namespace {

constexpr u32 kTreeTypes = PROPR_BLK_DATA | PROPR_BLK_TNODE | PROPR_BLK_KCE | PROPR_BLK_VAL | PROPR_BLK_ADDR;
constexpr bkp_role kAny = {bkp_need::any, 0, ""};

}  // namespace

BkpSource::BkpSource(proprhandle *h, u32 *damaged_page)
    : h_(h), damaged_page_(damaged_page), fcl_(h->proprhandle_num_fcl != 0 ? h->proprhandle_num_fcl : 1),
      copies_(MetaPtr<u8>::alloc(h->metactx, fcl_)),
      bits_(MetaPtr<u8>::alloc(h->metactx, size_t{fcl_} * PROPR_BITMAP_BYTES))
{
}

u32 BkpSource::read(u8 *buf, u64 addr, u32 n)
{
    u32 from = 0;
    if (u32 rc = read_run(buf, addr, n, &from); rc != 0) return rc;
    for (u32 k = 0; k < n; k++) {
        u8 *block = buf + size_t{k} * PROP_PAGE_SIZE;
        const u64 at = addr + u64{k} * PROP_PAGE_SIZE;
        const bkp_role r = role_of(at);
        if (r.what == bkp_need::any) continue;
        if (!block_sound(block, r.types, number_of(at)) && !heal(block, at, r, from)) return refuse(at, r);
        learn(block, at);
    }
    return 0;
}

// The number a block's header carries: its own, except in the tail of a
// backup image, whose blocks keep the number they had in the store.
u32 BkpSource::number_of(u64 addr) const
{
    u32 number = propr_blocknum(addr);
    if (addr >= h_->proprhandle_odbst && h_->proprhandle_num_log < PROPR_NUM_LOG)
        number += PROPR_NUM_LOG - h_->proprhandle_num_log;
    return number;
}

bool BkpSource::open(u32 slot) const
{
    return io_slot_state(h_, slot) == PROP_SLOT_OPEN;
}

// The whole run from the first open location that can read it; direct
// reads hand the bytes over unjudged and change no location's state.
u32 BkpSource::read_run(u8 *buf, u64 addr, u32 n, u32 *from)
{
    for (u32 s = 0; s < h_->proprhandle_configured_device_count; s++) {
        if (!open(s) || proprior(h_, buf, n * PROP_PAGE_SIZE, addr, 0, s) != 0) continue;
        *from = s;
        return 0;
    }
    trace_print(h_->proprhandle_trace_raw, 0, "proprbkp_write: Could not read ZKV data from src offset %llu", static_cast<unsigned long long>(addr));
    return PROP_E_STORAGE;
}

u32 BkpSource::bitmap_at(u64 addr) const
{
    if (addr < propr_fcl_addr(0, 0)) return fcl_;
    const u32 i = static_cast<u32>((addr - propr_fcl_addr(0, 0)) / (2 * PROP_PAGE_SIZE));
    return i < fcl_ && addr < propr_fcl_addr(fcl_, 0) ? i : fcl_;
}

bkp_role BkpSource::role_of(u64 addr) const
{
    const proprhandle *h = h_;
    if (addr == PROPR_BOOT_ADDR) return {bkp_need::sound, PROPR_BLK_METADATA, "the boot block"};
    if (addr == propr_super_addr(0) || addr == propr_super_addr(1))
        return addr == propr_super_addr(selector_) ? bkp_role{bkp_need::sound, PROPR_BLK_METADATA, "the superblock"}
                                                   : kAny;
    if (const u32 i = bitmap_at(addr); i < fcl_)
        return addr == propr_fcl_addr(i, copies_[i]) ? bkp_role{bkp_need::sound, PROPR_BLK_METADATA, "a bitmap page"}
                                                     : kAny;
    if (addr == h->proprhandle_lsst) return {bkp_need::in_place, PROPR_BLK_METADATA, "the log metadata block"};
    if (addr == h->proprhandle_odbst) return {bkp_need::in_place, PROPR_BLK_DB, "the owner name page"};
    if (addr == h->proprhandle_gdbst) return {bkp_need::in_place, PROPR_BLK_DB, "the group name page"};
    if (addr < h->proprhandle_rtnst) return kAny;
    const u32 page = propr_addr_page(h->proprhandle_rtnst, addr);
    if (page == 0) return {bkp_need::sound, PROPR_BLK_TNODE, "the root tnode"};
    return in_use(page) ? bkp_role{bkp_need::sound, kTreeTypes, "a tree page"} : kAny;
}

bool BkpSource::in_use(u32 page) const
{
    const u32 i = (page - 1) / PROPR_BITMAP_BITS;
    return i < fcl_ && bitmap_test(bits_.get() + size_t{i} * PROPR_BITMAP_BYTES, (page - 1) % PROPR_BITMAP_BITS);
}

void BkpSource::learn(const u8 *block, u64 addr)
{
    if (addr == PROPR_BOOT_ADDR) {
        selector_ = block[BOOT_OFF_SUPER_SELECTOR] & 1U;
    } else if (addr == propr_super_addr(selector_)) {
        for (u32 i = 0; i < fcl_ && i < PROPR_MAX_FCL; i++)
            copies_[i] = be32_at(block, SUPER_OFF_FREE_SPACE_ADDR + static_cast<i32>(4 * i)) & 1U;
    } else if (const u32 i = bitmap_at(addr); i < fcl_) {
        std::memcpy(bits_.get() + size_t{i} * PROPR_BITMAP_BYTES, block + sizeof(propr_hdr), PROPR_BITMAP_BYTES);
    }
}

// A sound copy from another location in place of the one read; failing
// that, for a page rewritten in place, the torn copy the store reads.
bool BkpSource::heal(u8 *block, u64 addr, const bkp_role &r, u32 from)
{
    alignas(8) u8 other[PROP_PAGE_SIZE];
    bool header = proprut_isblk_valid_buf(block, r.types) != 0;
    u32 torn_from = from;
    for (u32 s = 0; s < h_->proprhandle_configured_device_count; s++) {
        if (s == from || !open(s) || proprior(h_, other, PROP_PAGE_SIZE, addr, 0, s) != 0) continue;
        if (block_sound(other, r.types, number_of(addr))) {
            std::memcpy(block, other, PROP_PAGE_SIZE);
            io_progress(h_, 1, "rbkp: Block [%u] (%s) fails its checks on location %u; taken from location %u.",
                        number_of(addr), r.name, from, s);
            return true;
        }
        if (!header && proprut_isblk_valid_buf(other, r.types) != 0) {
            std::memcpy(block, other, PROP_PAGE_SIZE);
            header = true;
            torn_from = s;
        }
    }
    return r.what == bkp_need::in_place && header && torn(block, addr, r, torn_from);
}

// A page rewritten in place outside the undo log whose every copy fails
// only its checksum holds the torn last write of a transaction that never
// committed.  The store reads it as it stands, and the next rewrite stamps
// it; the image takes it so, stamped, rather than leave a working store
// that cannot be backed up.
bool BkpSource::torn(u8 *block, u64 addr, const bkp_role &r, u32 from)
{
    hdr_stamp_checksum(block, PROP_PAGE_SIZE);
    if (!block_sound(block, r.types, number_of(addr))) return false;
    io_progress(h_, 1,
                "rbkp: Block [%u] (%s) fails its checksum on every location; taken from location %u as the store "
                "reads it, a torn rewrite in place, and stamped again.",
                number_of(addr), r.name, from);
    return true;
}

u32 BkpSource::refuse(u64 addr, const bkp_role &r)
{
    if (addr < h_->proprhandle_rtnst) {
        io_progress(h_, 0, "rbkp: Block [%u] (%s) is sound on no location. No backup was taken.", number_of(addr),
                    r.name);
        return PROP_E_STORAGE;
    }
    const u32 page = propr_addr_page(h_->proprhandle_rtnst, addr);
    if (damaged_page_ != nullptr) *damaged_page_ = page;
    io_progress(h_, 0, "rbkp: Page [%u] (block %u, %s) is sound on no location. No backup was taken.", page,
                number_of(addr), r.name);
    return PROP_E_STORAGE;
}

}  // namespace propreg

#include "keys/children.h"

#include <cstring>

#include "format/block.h"
#include "core/metavec.h"
#include "format/cursor.h"
#include "txn/readahead.h"

namespace {

// Entries of one slotted area at most (each takes its 8-byte slot and 5
// bytes besides its name).
constexpr u32 kMaxAreaEntries = PROP_PAGE_SIZE / 13 + 1;
// KCE pages of an ADDR page's list read ahead at once.
constexpr u32 kAddrListAhead = 64;

}  // namespace

u32 child_cursor::start(proprhandle *handle, const u8 *tnode_raw, const kce_block *addr_pages)
{
    handle_ = handle;
    std::memcpy(area_.b, tnode_raw, PROP_PAGE_SIZE);
    kce_block &tn = area_;
    page_list direct = tnode_direct_list(tn);
    page_list addrs = tnode_addr_list(tn);
    for (u32 i = 0; i < KCE_NUM_DIRECT; i++) direct_[i] = direct.get(i);
    for (u32 j = 0; j < KCE_NUM_ADDR; j++) addrs_[j] = addrs.get(j);
    addr_given_ = addr_pages;
    addr_cur_ = nullptr;
    list_i_ = addr_j_ = 0;
    kce_page_ = 0;
    fault_ = {};
    phase_ = phase::tnode_area;
    if (u32 rc = open_area(KCE_TNODE_START); rc != PROP_OK) return rc;
    want_start();
    return PROP_OK;
}

// The first batch: the children of the tnode's own area, its KCE pages and
// its ADDR pages.  Then the children listed in those KCE pages, in one
// batch as far as room allows, so that the transfers of all of them are in
// flight together.
void child_cursor::want_start()
{
    if (ahead_ == nullptr) return;
    u32 pages[kMaxAreaEntries + KCE_NUM_DIRECT + KCE_NUM_ADDR];
    u32 n = ahead_children_ ? area_children(area_.b, KCE_TNODE_START, pages, kMaxAreaEntries) : 0;
    for (u32 i = 0; i < KCE_NUM_DIRECT && direct_[i] != 0; i++) pages[n++] = direct_[i];
    for (u32 j = 0; addr_given_ == nullptr && j < KCE_NUM_ADDR && addrs_[j] != 0; j++) pages[n++] = addrs_[j];
    ahead_->want(pages, n);
    if (!ahead_children_) return;
    MetaVec<u32> children(handle_->metactx);
    for (u32 i = 0; i < KCE_NUM_DIRECT && direct_[i] != 0; i++) {
        const u8 *kce = ahead_->peek(direct_[i]);
        if (kce == nullptr || !proprut_isblk_valid_buf(kce, PROPR_BLK_KCE)) continue;
        n = area_children(kce, KCE_PAGE_START, pages, kMaxAreaEntries);
        if (!children.append(pages, n)) return;
    }
    ahead_->want(children.data(), static_cast<u32>(children.size()));
}

// The next KCE pages of the ADDR page being walked, from list index from.
void child_cursor::want_addr_list(u32 from)
{
    if (ahead_ == nullptr || from >= KCE_NUM_IN_ADDR || addr_list_get(from) == 0) return;
    if (ahead_->holds(addr_list_get(from))) return;
    u32 pages[kAddrListAhead];
    u32 n = 0;
    for (u32 i = from; i < KCE_NUM_IN_ADDR && n < kAddrListAhead && addr_list_get(i) != 0; i++)
        pages[n++] = addr_list_get(i);
    ahead_->want(pages, n);
}

u32 child_cursor::area_children(const u8 *block, u32 start, u32 *pages, u32 max)
{
    const kce_area header = kce_area_read(block, start);
    if (kce_area_check(header, start) != PROP_OK) return 0;
    u32 n = 0;
    for (u32 slot = 0; slot < header.num_entry && n < max; slot++) {
        kce_hit hit{};
        if (kce_slot_read(block, start, header, slot, &hit) != PROP_OK) break;
        if (hit.size != 0) pages[n++] = hit.child;
    }
    return n;
}

u32 child_cursor::read_page(u32 page, kce_block *blk, u32 type, bool *valid)
{
    if (ahead_ == nullptr) return kce_read(handle_, page, blk, type, valid);
    if (u32 rc = ahead_->read(page, blk->b); rc != PROP_OK) return rc;
    *valid = proprut_isblk_valid_buf(blk->b, type) != 0;
    return PROP_OK;
}

u32 child_cursor::open_area(u32 start)
{
    area_start_ = start;
    header_ = kce_area_read(area_.b, start);
    slot_ = 0;
    if (kce_area_check(header_, start) != PROP_OK) {
        header_.num_entry = 0;
        return failed(child_fault::bad_area, PROP_E_STORAGE, kce_page_, 0);
    }
    return PROP_OK;
}

u32 child_cursor::failed(child_fault::kind_t kind, u32 rc, u32 page, u32 index)
{
    fault_ = {kind, rc, page, index};
    phase_ = phase::end;
    return rc;
}

u32 child_cursor::load_kce(u32 page, u32 index)
{
    bool valid = false;
    if (u32 rc = read_page(page, &area_, PROPR_BLK_KCE, &valid); rc != PROP_OK)
        return failed(child_fault::read_kce, rc, page, index);
    if (!valid) return failed(child_fault::bad_kce, PROP_E_STORAGE, page, index);
    kce_page_ = page;
    if (u32 rc = open_area(KCE_PAGE_START); rc != PROP_OK) return rc;
    if (ahead_ != nullptr && ahead_children_) {
        u32 pages[kMaxAreaEntries];
        ahead_->want(pages, area_children(area_.b, KCE_PAGE_START, pages, kMaxAreaEntries));
    }
    return PROP_OK;
}

u32 child_cursor::load_addr(u32 page, u32 index)
{
    if (addr_given_ != nullptr) {
        addr_cur_ = &addr_given_[index];
        return PROP_OK;
    }
    bool valid = false;
    if (u32 rc = read_page(page, &addr_, PROPR_BLK_ADDR, &valid); rc != PROP_OK)
        return failed(child_fault::read_addr, rc, page, index);
    if (!valid) return failed(child_fault::bad_addr, PROP_E_STORAGE, page, index);
    addr_cur_ = &addr_;
    return PROP_OK;
}

u32 child_cursor::addr_list_get(u32 i) const
{
    return be32_at(addr_cur_->b, KCE_LIST_IN_ADDR + static_cast<i32>(4 * i));
}

u32 child_cursor::next(child_step *step)
{
    for (;;) {
        while (slot_ < header_.num_entry) {
            if (kce_slot_read(area_.b, area_start_, header_, slot_++, &hit_) != PROP_OK)
                return failed(child_fault::bad_area, PROP_E_STORAGE, kce_page_, slot_ - 1);
            if (hit_.size == 0) continue;  // a deleted entry's slot
            *step = child_step::entry;
            return PROP_OK;
        }
        header_.num_entry = 0;
        if (kce_page_ != 0) {
            done_page_ = kce_page_;
            kce_page_ = 0;
            *step = child_step::kce_done;
            return PROP_OK;
        }
        switch (phase_) {
        case phase::tnode_area:
            phase_ = phase::direct;
            list_i_ = 0;
            break;
        case phase::direct:
            if (list_i_ < KCE_NUM_DIRECT && direct_[list_i_] != 0) {
                if (u32 rc = load_kce(direct_[list_i_], list_i_); rc != PROP_OK) return rc;
                list_i_++;
            } else {
                phase_ = phase::indirect;
                addr_j_ = 0;
                addr_cur_ = nullptr;
            }
            break;
        case phase::indirect:
            if (addr_cur_ == nullptr) {
                if (addr_j_ >= KCE_NUM_ADDR || addrs_[addr_j_] == 0) {
                    phase_ = phase::end;
                    break;
                }
                if (u32 rc = load_addr(addrs_[addr_j_], addr_j_); rc != PROP_OK) return rc;
                list_i_ = 0;
            } else if (list_i_ < KCE_NUM_IN_ADDR && addr_list_get(list_i_) != 0) {
                want_addr_list(list_i_);
                if (u32 rc = load_kce(addr_list_get(list_i_), list_i_); rc != PROP_OK) return rc;
                list_i_++;
            } else {
                addr_cur_ = nullptr;
                done_page_ = addrs_[addr_j_++];
                *step = child_step::addr_done;
                return PROP_OK;
            }
            break;
        case phase::end:
            *step = child_step::end;
            return PROP_OK;
        }
    }
}

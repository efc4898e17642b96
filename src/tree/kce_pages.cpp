#include "tree/kce_pages.h"

#include <cstring>
#include <utility>

#include "core/handle.h"
#include "format/block.h"
#include "format/cursor.h"
#include "io/blockpool.h"
#include "io/io.h"
#include "space/fcl.h"
#include "space/uttrace.h"
#include "tree/slotted.h"
#include "txn/blockio.h"
#include "txn/pending.h"
#include "txn/log.h"

u32 page_list::get(u32 i) const
{
    return be32_at(buf, offset + static_cast<i32>(4 * i));
}

void page_list::set(u32 i, u32 page) const
{
    be32_put(buf, offset + static_cast<i32>(4 * i), page);
}

void page_list::compact() const
{
    u32 hole = count, last = count;
    for (u32 i = 0; i < count; i++) {
        if (get(i) == 0) {
            if (hole == count) hole = i;
        } else {
            last = i;
        }
    }
    if (hole < count && last < count && hole < last) {
        set(hole, get(last));
        set(last, 0);
    }
}

u32 kce_read(proprhandle *handle, u32 page, kce_block *blk, u32 type, bool *valid)
{
    u32 rc = ut_page_read(handle, blk->b, ut_page_addr(handle, page), 0);
    if (rc != 0) return rc;
    *valid = proprut_isblk_valid_buf(blk->b, type) != 0;
    return PROP_OK;
}

u32 kce_write(proprhandle *handle, u32 page, kce_block *blk)
{
    return ut_page_write(handle, blk->b, ut_page_addr(handle, page));
}

u32 kce_log_once(proprhandle *handle, u32 page, const u8 *image)
{
    u32 exists = 0;
    u32 rc = proprutlogexists(handle, page, &exists);
    if (rc != 0 || exists != 0) return rc;
    return proprutlog(handle, page, image);
}

void kce_list_reader::release()
{
    for (u32 k = 0; k < count_; k++) blockpool_give(handle_, std::exchange(own_[k], nullptr));
    count_ = 0;
}

void kce_list_reader::load(u32 from)
{
    release();
    first_ = from;
    proprio_read reqs[kGroup];
    u32 slot_of[kGroup];
    u32 n = 0;
    for (u32 i = from; i < list_.count && count_ < kGroup && list_.get(i) != 0; i++, count_++) {
        const u64 addr = ut_page_addr(handle_, list_.get(i));
        rc_[count_] = PROP_OK;
        at_[count_] = ut_page_kept(handle_, addr);
        if (at_[count_] != nullptr) continue;
        own_[count_] = blockpool_take(handle_);
        if (own_[count_] == nullptr) {
            rc_[count_] = PROP_E_NOMEM;
            continue;
        }
        at_[count_] = own_[count_];
        reqs[n] = proprio_read{own_[count_], PROP_PAGE_SIZE, addr, 0};
        slot_of[n++] = count_;
    }
    if (n != 0) ut_pages_read(handle_, reqs, n, 0);
    for (u32 k = 0; k < n; k++) rc_[slot_of[k]] = reqs[k].result;
}

u32 kce_list_reader::view(u32 i, u32 *page, const u8 **at)
{
    *page = i < list_.count ? list_.get(i) : 0;
    *at = nullptr;
    if (*page == 0) return PROP_OK;
    if (i < first_ || i >= first_ + count_) load(i);
    const u32 k = i - first_;
    if (rc_[k] != PROP_OK) return rc_[k];
    *at = at_[k];
    return PROP_OK;
}

u32 kce_new_page(proprhandle *handle, u32 type, u32 *page, kce_block *blk)
{
    bool kce = type == PROPR_BLK_KCE;
    u32 rc = proprutffp(handle, page);
    if (rc == PROP_E_NOSPACE && kce)
        trace_print(
            ut_trace(handle), 0,
            "proprutckce_kcepage_allocate: No free page available to allocate for new KCE slotted page.");
    if (rc != 0) return rc;
    if (rc = proprut_add_newpagelist(handle, *page); rc != 0) return rc;
    u64 addr = ut_page_addr(handle, *page);
    std::memset(blk->b, 0, PROP_PAGE_SIZE);
    propr_hdr hdr;
    hdr_init(handle, &hdr, addr, type);
    std::memcpy(blk->b, &hdr, sizeof hdr);
    if (kce) {
        kce_area_init(blk->b, KCE_PAGE_START);
        trace_print(
            ut_trace(handle), 4,
            "proprutckce_kcepage_allocate: New page [%d] allocated for the KCE slotted page. addr:[%d]",
            static_cast<int>(*page), static_cast<int>(addr));
    } else {
        trace_print(ut_trace(handle), 4,
                    "proprutckce_addrpage_allocate: New address page [%d] successsfully allocated. addr:[%d]",
                    static_cast<int>(*page), static_cast<int>(addr));
    }
    return PROP_OK;
}

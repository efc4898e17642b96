#include "txn/readahead.h"

#include <algorithm>
#include <cstring>

#include "txn/blockio.h"
#include "txn/pending.h"

page_readahead::page_readahead(proprhandle *handle, u32 max_pages) : handle_(handle), max_(max_pages) {}

// The memory is taken at the first want: most walks never read ahead.
bool page_readahead::prepare()
{
    if (area_ != nullptr) return true;
    prop_metactx *meta = handle_->metactx;
    raw_ = MetaPtr<u8>::alloc(meta, size_t{max_ + 1} * PROP_PAGE_SIZE);
    held_ = MetaPtr<held>::alloc(meta, max_);
    free_ = MetaPtr<u32>::alloc(meta, max_);
    if (!raw_ || !held_ || !free_) {
        raw_.reset();
        return false;
    }
    const uintptr_t at = reinterpret_cast<uintptr_t>(raw_.get());
    area_ = reinterpret_cast<u8 *>((at + PROP_PAGE_SIZE - 1) & ~uintptr_t{PROP_PAGE_SIZE - 1});
    for (u32 i = 0; i < max_; i++) free_[i] = max_ - 1 - i;
    free_count_ = max_;
    return true;
}

const page_readahead::held *page_readahead::find(u32 page) const
{
    const held *begin = held_.get(), *end = begin + held_count_;
    const held *at = std::lower_bound(begin, end, page, [](const held &h, u32 p) { return h.page < p; });
    return at != end && at->page == page && at->slot != kSpent ? at : nullptr;
}

bool page_readahead::holds(u32 page) const
{
    return area_ != nullptr && find(page) != nullptr;
}

const u8 *page_readahead::peek(u32 page) const
{
    const held *h = area_ != nullptr ? find(page) : nullptr;
    return h != nullptr ? area_ + size_t{h->slot} * PROP_PAGE_SIZE : nullptr;
}

void page_readahead::forget_spent()
{
    u32 kept = 0;
    for (u32 i = 0; i < held_count_; i++)
        if (held_[i].slot != kSpent) held_[kept++] = held_[i];
    held_count_ = kept;
}

void page_readahead::want(const u32 *pages, u32 n)
{
    if (n == 0 || !prepare()) return;
    forget_spent();
    prop_metactx *meta = handle_->metactx;
    MetaPtr<u32> sorted = MetaPtr<u32>::alloc(meta, n);
    MetaPtr<proprio_read> reqs = MetaPtr<proprio_read>::alloc(meta, std::min(n, free_count_) + 1);
    if (!sorted || !reqs) return;
    std::memcpy(sorted.get(), pages, n * sizeof *pages);
    std::sort(sorted.get(), sorted.get() + n);
    const u32 unique = static_cast<u32>(std::unique(sorted.get(), sorted.get() + n) - sorted.get());
    u32 count = 0;
    for (u32 i = 0; i < unique && free_count_ > 0; i++) {
        const u32 page = sorted[i];
        if (page == 0 || find(page) != nullptr || ut_page_in_memory(handle_, ut_page_addr(handle_, page))) continue;
        const u32 slot = free_[--free_count_];
        reqs[count++] = proprio_read{area_ + size_t{slot} * PROP_PAGE_SIZE, PROP_PAGE_SIZE,
                                     ut_page_addr(handle_, page), 0};
    }
    if (count == 0) return;
    ut_pages_read(handle_, reqs.get(), count, 0);
    for (u32 k = 0; k < count; k++) {
        const u32 slot = static_cast<u32>((static_cast<u8 *>(reqs[k].buffer) - area_) / PROP_PAGE_SIZE);
        if (reqs[k].result != PROP_OK) {
            free_[free_count_++] = slot;
            continue;
        }
        const u32 page = (reqs[k].offset - handle_->proprhandle_rtnst) / PROP_PAGE_SIZE;
        held_[held_count_++] = held{page, slot};
    }
    std::sort(held_.get(), held_.get() + held_count_, [](const held &a, const held &b) { return a.page < b.page; });
}

u32 page_readahead::read(u32 page, u8 *block, u32 flags)
{
    if (area_ != nullptr) {
        if (const held *h = find(page); h != nullptr) {
            std::memcpy(block, area_ + size_t{h->slot} * PROP_PAGE_SIZE, PROP_PAGE_SIZE);
            free_[free_count_++] = h->slot;
            const_cast<held *>(h)->slot = kSpent;
            return PROP_OK;
        }
    }
    return ut_page_read(handle_, block, ut_page_addr(handle_, page), flags);
}

#include "txn/readahead.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "io/blockpool.h"
#include "io/pagecache.h"
#include "txn/blockio.h"
#include "txn/pending.h"

page_readahead::page_readahead(proprhandle *handle, u32 max_pages) : handle_(handle), max_(max_pages) {}

page_readahead::~page_readahead()
{
    for (u32 i = 0; i < held_count_; i++) blockpool_give(handle_, held_[i].data);
}

// The list is made at the first want: most walks never read ahead.  The
// pages come from the handle's pool, which keeps them for the next walk.
bool page_readahead::prepare()
{
    if (held_) return true;
    held_ = MetaPtr<held>::alloc(handle_->metactx, max_);
    return static_cast<bool>(held_);
}

const page_readahead::held *page_readahead::find(u32 page) const
{
    const held *begin = held_.get(), *end = begin + held_count_;
    const held *at = std::lower_bound(begin, end, page, [](const held &h, u32 p) { return h.page < p; });
    return at != end && at->page == page && at->data != nullptr ? at : nullptr;
}

bool page_readahead::holds(u32 page) const
{
    return held_ && find(page) != nullptr;
}

const u8 *page_readahead::peek(u32 page) const
{
    const held *h = held_ ? find(page) : nullptr;
    return h != nullptr ? h->data : nullptr;
}

void page_readahead::forget_spent()
{
    u32 kept = 0;
    for (u32 i = 0; i < held_count_; i++)
        if (held_[i].data != nullptr) held_[kept++] = held_[i];
    held_count_ = kept;
}

void page_readahead::want(const u32 *pages, u32 n)
{
    if (n == 0 || !prepare()) return;
    forget_spent();
    prop_metactx *meta = handle_->metactx;
    const u32 room = max_ - held_count_;
    MetaPtr<u32> sorted = MetaPtr<u32>::alloc(meta, n);
    MetaPtr<proprio_read> reqs = MetaPtr<proprio_read>::alloc(meta, std::min(n, room) + 1);
    if (!sorted || !reqs) return;
    std::memcpy(sorted.get(), pages, n * sizeof *pages);
    std::sort(sorted.get(), sorted.get() + n);
    const u32 unique = static_cast<u32>(std::unique(sorted.get(), sorted.get() + n) - sorted.get());
    u32 count = 0;
    for (u32 i = 0; i < unique && count < room; i++) {
        const u32 page = sorted[i];
        if (page == 0 || find(page) != nullptr || ut_page_in_memory(handle_, ut_page_addr(handle_, page))) continue;
        u8 *data = blockpool_take(handle_);
        if (data == nullptr) break;
        reqs[count++] = proprio_read{data, PROP_PAGE_SIZE, ut_page_addr(handle_, page), 0};
    }
    if (count == 0) return;
    ut_pages_read(handle_, reqs.get(), count, 0);
    for (u32 k = 0; k < count; k++) {
        auto *data = static_cast<u8 *>(reqs[k].buffer);
        if (reqs[k].result != PROP_OK) {
            blockpool_give(handle_, data);
            continue;
        }
        const u32 page = propr_addr_page(handle_->proprhandle_rtnst, reqs[k].offset);
        held_[held_count_++] = held{page, data};
    }
    std::sort(held_.get(), held_.get() + held_count_, [](const held &a, const held &b) { return a.page < b.page; });
}

u32 page_readahead::read(u32 page, u8 *block, u32 flags)
{
    if (held_) {
        if (const held *h = find(page); h != nullptr) {
            std::memcpy(block, h->data, PROP_PAGE_SIZE);
            blockpool_give(handle_, std::exchange(const_cast<held *>(h)->data, nullptr));
            return PROP_OK;
        }
    }
    return ut_page_read(handle_, block, ut_page_addr(handle_, page), flags);
}

namespace {

// Pages read in one batch: enough to stream, little enough to hold.
constexpr u32 kCacheChunk = 1024;

void read_chunk(proprhandle *handle, proprio_read *reqs, u32 *count)
{
    if (*count == 0) return;
    // Only the side effect is wanted: the batch fills the page cache.
    ut_pages_read(handle, reqs, *count, 0);
    for (u32 k = 0; k < *count; k++) blockpool_give(handle, static_cast<u8 *>(reqs[k].buffer));
    *count = 0;
}

}  // namespace

void readahead_into_cache(proprhandle *handle, const u32 *pages, u32 n)
{
    u32 budget = pagecache_state(handle).max_pages / 2;
    if (budget == 0 || n == 0) return;
    MetaPtr<proprio_read> reqs = MetaPtr<proprio_read>::alloc(handle->metactx, kCacheChunk);
    if (!reqs) return;
    u32 count = 0;
    for (u32 i = 0; i < n && budget != 0; i++) {
        const u64 addr = ut_page_addr(handle, pages[i]);
        if (pages[i] == 0 || ut_page_in_memory(handle, addr)) continue;
        u8 *block = blockpool_take(handle);
        if (block == nullptr) break;
        reqs[count++] = proprio_read{block, PROP_PAGE_SIZE, addr, 0};
        budget--;
        if (count == kCacheChunk) read_chunk(handle, reqs.get(), &count);
    }
    read_chunk(handle, reqs.get(), &count);
}

#include "diag/pages.h"

#include "io/io.h"

namespace diag {

namespace {

// Free pages a run reads through rather than ending: 64 KiB.
constexpr u32 kGap = 16;

}  // namespace

bool runs::next(run *r)
{
    while (pos_ <= last_ && !map_.used(static_cast<u32>(pos_))) pos_++;
    if (pos_ > last_) return false;
    const u64 first = pos_;
    u64 end = first + 1;
    for (u64 p = end; p <= last_ && p - first < RUN_PAGES; p++) {
        if (map_.used(static_cast<u32>(p)))
            end = p + 1;
        else if (p - end >= kGap)
            break;
    }
    pos_ = end;
    *r = {static_cast<u32>(first), static_cast<u32>(end - first)};
    return true;
}

u32 read_run(proprhandle *handle, u32 slot, const run &r, u8 *buf)
{
    const u64 offset = propr_page_addr(handle->proprhandle_rtnst, r.first);
    const u64 bytes = u64{r.count} * PROP_PAGE_SIZE;
    return proprior(handle, buf, static_cast<u32>(bytes), offset, 0, slot);
}

}  // namespace diag

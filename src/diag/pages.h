// Reading the pages in use of the tnode area as a disk likes it: runs of
// neighbouring pages, each fetched with one large request, instead of one
// 4096-byte read per page.  The status scan and the corruption check both
// read the store this way.
#pragma once

#include "diag/common.h"

namespace diag {

// Pages per request: 1 MiB.
constexpr u32 RUN_PAGES = 256;

struct run {
    u32 first;
    u32 count;
};

// The runs covering the pages in use from 0 to last, in order.  A short
// gap of free pages does not split a run (reading through it costs less
// than another request); the caller skips the pages that are not in use.
class runs {
  public:
    runs(const bitmaps &map, u32 last) : map_(map), last_(last) {}
    bool next(run *r);

  private:
    const bitmaps &map_;
    u32 last_;
    u64 pos_ = 0;
};

// Reads a run from one location into buf (count * 4096 bytes).  PROP_OK, or PROP_E_STORAGE
// when the read fails.
u32 read_run(proprhandle *handle, u32 slot, const run &r, u8 *buf);

// The block address of a page.
inline u64 page_offset(const proprhandle *handle, u32 page)
{
    return propr_page_addr(handle->proprhandle_rtnst, page);
}

}  // namespace diag

// The loop every backup operation moves pages with: BKP_STEP_PAGES at a
// time through one 4096-aligned buffer, the last step carrying the rest.
#pragma once

#include "backup/image.h"
#include "core/alloc.h"

namespace propreg {

// The one buffer of an operation.
class StepBuffer {
  public:
    explicit StepBuffer(prop_metactx *meta) : area_(meta, size_t{BKP_STEP_PAGES} * PROP_PAGE_SIZE) {}
    u8 *get() const { return area_.get(); }

  private:
    MetaAligned area_;
};

// read(buf, first, n) fills buf with pages [first, first + n) of the
// range, write(buf, first, n) stores them; each returns 0 or its code.
// Stops at the first failure and returns its code.
template <class Read, class Write>
u32 bkp_move_pages(u8 *buf, u32 count, Read read, Write write)
{
    for (u32 first = 0; first < count;) {
        const u32 n = count - first < BKP_STEP_PAGES ? count - first : BKP_STEP_PAGES;
        if (u32 rc = read(buf, first, n); rc != 0) return rc;
        if (u32 rc = write(buf, first, n); rc != 0) return rc;
        first += n;
    }
    return 0;
}

}  // namespace propreg

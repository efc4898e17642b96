// The loop every backup operation moves pages with: BKP_STEP_PAGES at a
// time, the last step carrying the rest.  Reading and writing overlap: a
// helper thread writes one step while the caller reads the next, through
// two 4096-aligned buffers, so that a copy runs at the pace of the slower
// side rather than of both together.  Without a second buffer or a thread
// the caller does both in turn.
#pragma once

#include <functional>

#include "backup/image.h"
#include "core/alloc.h"

namespace propreg {

// The one buffer of an operation's other transfers (boot blocks, bitmaps).
class StepBuffer {
  public:
    explicit StepBuffer(prop_metactx *meta) : area_(meta, size_t{BKP_STEP_PAGES} * PROP_PAGE_SIZE) {}
    u8 *get() const { return area_.get(); }

  private:
    MetaAligned area_;
};

// Fills or stores pages [first, first + n) of the range through buf; 0 or
// the step's code.
using bkp_step_fn = std::function<u32(u8 *buf, u32 first, u32 n)>;

// Moves count pages: read on the calling thread, write on the helper (the
// write function must be safe to call from another thread).  Stops at the
// first failure and returns its code; 12 when no buffer can be had.
u32 bkp_move_pages(prop_metactx *meta, u32 count, const bkp_step_fn &read, const bkp_step_fn &write);

}  // namespace propreg

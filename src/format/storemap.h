// Where every area of a store lies, computed from its size in pages.
#pragma once

#include "core/types.h"
#include "format/layout.h"

struct proprhandle;

constexpr u32 PROPR_DEFAULT_PAGES = 0x19000;    // size of a location whose size is unknown

struct propr_storemap {
    u32 num_fcl;   // n, bitmap pages
    u32 numpage;   // pages of the tnode area
    u32 ndk_addr;
    u32 lsst;      // log space start
    u32 num_log;
    u32 odbst;     // owner database page
    u32 gdbst;     // group database page
    u32 rtnst;     // tnode area start
    u64 last_page_addr;  // block address of the last tnode page
    u64 file_bytes;      // size a file location needs: last page + 4096 + reserved prefix
};

// count = ceil(pages / bits_per_page); 26 for a missing out parameter or
// zero bits.  A count above PROPR_MAX_FCL is logged but still returned.
u32 proprut_compute_fcl(u32 bits_per_page, u32 pages, u32 *count);
// pages - 2 * handle->proprhandle_num_fcl, or 0 when the store is too small.
u32 rut_compute_remaining_numpage(proprhandle *handle, u32 pages);
// The whole map of a live store of pages pages (num_log = 20490), with
// bitmap pages enough for the tnode area to grow until the store fills
// grow_to pages (0: no further than pages) without a new format.  0, or
// 26 when pages cannot hold a store or need more bitmap pages than a store
// may have.
u32 propr_storemap_compute(u32 pages, propr_storemap *map, u32 grow_to = 0);
// The pages a store with num_fcl bitmap pages may fill without a new
// format: the tnode area its bitmaps cover and the bitmap pages.
u64 propr_storemap_limit(u32 num_fcl);

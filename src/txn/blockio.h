// Every block a transaction writes is stamped immediately before it goes to
// the I/O layer, so a stamped block is never changed again before its write.
#pragma once

#include <cstddef>
#include <cstring>

#include "core/handle.h"
#include "format/block.h"
#include "io/io.h"

inline u32 ut_stamp_write(proprhandle *handle, u8 *block, u64 addr, u32 selector = PROPRIO_ALL)
{
    hdr_stamp_checksum(block, PROP_PAGE_SIZE);
    return propriow(handle, block, PROP_PAGE_SIZE, addr, selector);
}

// Address of page of the tnode area.
inline u64 ut_page_addr(const proprhandle *handle, u32 page)
{
    return propr_page_addr(handle->proprhandle_rtnst, page);
}

// Points a header at the block it will be written to.
inline void ut_set_blocknum(u8 *block, u64 addr)
{
    u32 blocknum = propr_blocknum(addr);
    std::memcpy(block + offsetof(propr_hdr, propr_hdr_blocknum), &blocknum, sizeof blocknum);
}

#include "keys/values.h"

#include <cstring>

#include "format/block.h"
#include "format/cursor.h"
#include "keys/common.h"
#include "txn/blockio.h"
#include "txn/pending.h"

using namespace propreg;

value_addrs value_addrs_read(const u8 *raw, const char *what)
{
    value_addrs va{};
    for (u32 i = 0; i < TNODE_NUM_DIRECT; i++) {
        i32 cur = TNODE_OFF_DIRECT_ADDR + static_cast<i32>(4 * i);
        va.direct[i] = be32_at(raw, cur);
        trace_print(keys_raw(), 4, "%s curptr = %d, direct_addr[%d] = %d", what, static_cast<int>(cur),
                    static_cast<int>(i), static_cast<int>(va.direct[i]));
    }
    return va;
}

void value_addrs_write(u8 *raw, const value_addrs &va, const char *what)
{
    for (u32 i = 0; i < TNODE_NUM_DIRECT; i++) {
        i32 cur = TNODE_OFF_DIRECT_ADDR + static_cast<i32>(4 * i);
        be32_put(raw, cur, va.direct[i]);
        trace_print(keys_raw(), 4, "%s curptr = %d, direct_addr[%d] = %d", what, static_cast<int>(cur),
                    static_cast<int>(i), static_cast<int>(va.direct[i]));
    }
    be32_put(raw, TNODE_OFF_SINGLE_INDIRECT, 0);
}

u32 value_page_write(proprhandle *handle, u32 page, const u8 *bytes, u32 n)
{
    keys_block blk{};
    u64 addr = ut_page_addr(handle, page);
    propr_hdr hdr;
    hdr_init(handle, &hdr, addr, PROPR_BLK_VAL);
    std::memcpy(blk.b, &hdr, sizeof hdr);
    std::memcpy(blk.b + sizeof hdr, bytes, n);
    return ut_page_write(handle, blk.b, addr);
}

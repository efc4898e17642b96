#include "tree/tnode.h"

#include <cstring>

#include "format/cursor.h"
#include "io/io.h"
#include "space/uttrace.h"
#include "txn/blockio.h"
#include "txn/pending.h"
#include "txn/readahead.h"

namespace {

// The integer fields in their on-disk order, one table for reading and
// writing so the two never drift apart.
struct IntField {
    i32 offset;
    u32 tnode::*field;
};
constexpr IntField kHeadInts[] = {
    {TNODE_OFF_OWNER_ID, &tnode::owner_id},
    {TNODE_OFF_GROUP_ID, &tnode::group_id},
    {TNODE_OFF_VALUE_SIZE, &tnode::value_size},
    {TNODE_OFF_NUM_SUBKEY, &tnode::num_subkey},
    {TNODE_OFF_NODE_NUMBER, &tnode::node_number},
    {TNODE_OFF_CREATION_TIME, &tnode::creation_time},
    {TNODE_OFF_MOD_TIME, &tnode::mod_time},
    {TNODE_OFF_NUM_ENTRY, &tnode::num_entry},
    {TNODE_OFF_FREE_SPACE_SZ, &tnode::free_space_sz},
    {TNODE_OFF_END_OF_FSP, &tnode::end_of_fsp},
};
struct ByteField {
    i32 offset;
    u8 tnode::*field;
};
constexpr ByteField kBytes[] = {
    {TNODE_OFF_USER_PERM, &tnode::user_perm},   {TNODE_OFF_GROUP_PERM, &tnode::group_perm},
    {TNODE_OFF_OTHER_PERM, &tnode::other_perm}, {TNODE_OFF_LINK_COUNT, &tnode::link_count},
    {TNODE_OFF_ISNDK, &tnode::isndk},           {TNODE_OFF_DATA_TYPE, &tnode::data_type},
};

u32 ceil_div(u32 a, u32 b)
{
    return a / b + (a % b != 0 ? 1 : 0);
}

}  // namespace

u32 rutinitnode(proprhandle *handle, tnode *node)
{
    if (handle == nullptr || node == nullptr) return PROP_E_STORAGE;
    std::memset(node, 0, sizeof *node);
    node->kind = TNODE_KIND_INIT;
    node->owner_id = 1;
    node->group_id = 1;
    node->free_space_sz = PROP_PAGE_SIZE - TNODE_ENTRY_AREA_START;
    node->end_of_fsp = PROP_PAGE_SIZE;
    node->entry_area_start = TNODE_ENTRY_AREA_START;
    hdr_init(handle, &node->hdr, 0, PROPR_BLK_TNODE);
    trace_print(ut_trace(handle), 4, "rutinitnode: Successful tnode initialization");
    return PROP_OK;
}

u32 proprutrtnode(proprhandle *handle, tnode *node, u32 page, u8 *raw, u32 read_flags, page_readahead *ahead)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    trace_comp tc = ut_trace(handle);
    if (node == nullptr || raw == nullptr) {
        trace_print(tc, 0, "rtnode:1: memory was not allocated for the parameter  passed");
        return PROP_R_BADTNODE;
    }
    u64 addr = ut_page_addr(handle, page);
    trace_print(tc, 4, "proprutrtnode: Address of the tnode = %d", static_cast<int>(addr));

    bool bypass = (read_flags & PROP_FLAG_BYPASS) != 0;
    std::memset(raw, 0, PROP_PAGE_SIZE);
    if (bypass) trace_print(tc, 4, "proprutrtnode: call proprior() with BYPASS flag");
    u32 rc = ahead != nullptr ? ahead->read(page, raw, read_flags) : ut_page_read(handle, raw, addr, read_flags);
    if (rc != PROP_OK) {
        trace_print(tc, 0, "rtnode:2: Problem [%d] reading the tnode %d. Returning [%d]", static_cast<int>(rc),
                    static_cast<int>(page), PROP_R_BADTNODE);
        return PROP_R_BADTNODE;
    }
    std::memcpy(&node->hdr, raw, sizeof(propr_hdr));
    if (!proprut_isblk_valid(&node->hdr, PROPR_BLK_TNODE)) {
        if (!bypass) {
            trace_print(tc, 0, "rtnode:3: invalid tnode %d", static_cast<int>(page));
            return PROP_R_BADTNODE;
        }
        trace_print(tc, 2, "rtnode:3: invalid tnode %d - IGNORED", static_cast<int>(page));
    }
    return proprutrtnode_int(handle, node, raw);
}

u32 proprutrtnode_int(proprhandle *handle, tnode *node, u8 *raw)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    if (node == nullptr || raw == nullptr) return PROP_R_BADTNODE;
    trace_comp tc = ut_trace(handle);

    std::memcpy(&node->hdr, raw, sizeof(propr_hdr));
    for (const IntField &f : kHeadInts) node->*f.field = be32_at(raw, f.offset);
    for (const ByteField &f : kBytes) node->*f.field = raw[f.offset];
    // An empty value leaves the inline bytes in memory as they were.
    if (node->value_size != 0)
        std::memcpy(node->inline_value, raw + TNODE_OFF_INLINE_VALUE, TNODE_INLINE_VALUE_SIZE);
    node->entry_area_start = TNODE_ENTRY_AREA_START;
    node->raw = raw;

    trace_print(tc, 4,
                "proprutrtnode_int: READING tnode, owner_id = %d,group_id = %d, user_perm = %d, group_perm = %d,other_perm = %d",
                static_cast<int>(node->owner_id), static_cast<int>(node->group_id), node->user_perm,
                node->group_perm, node->other_perm);
    trace_print(tc, 4, "proprutrtnode_int: READING tnode data type is %d", node->data_type);
    trace_print(tc, 4, "proprutrtnode_int: value size read is %d", static_cast<int>(node->value_size));
    trace_print(tc, 4, "proprutrtnode_int: num_entry= %d, free_space_size = %d,  end_of_free_space = %d",
                static_cast<int>(node->num_entry), static_cast<int>(node->free_space_sz),
                static_cast<int>(node->end_of_fsp));
    return PROP_OK;
}

u32 proprutwtnode(proprhandle *handle, tnode *node, u32 page, u8 *raw)
{
    if (handle == nullptr || node == nullptr || raw == nullptr) return PROP_E_STORAGE;

    for (const IntField &f : kHeadInts) be32_put(raw, f.offset, node->*f.field);
    for (const ByteField &f : kBytes) raw[f.offset] = node->*f.field;
    if (node->value_size != 0)
        std::memcpy(raw + TNODE_OFF_INLINE_VALUE, node->inline_value, TNODE_INLINE_VALUE_SIZE);

    u64 addr = ut_page_addr(handle, page);
    node->hdr.propr_hdr_blocknum = propr_blocknum(addr);
    std::memcpy(raw, &node->hdr, sizeof(propr_hdr));
    node->raw = raw;
    u32 rc = ut_page_write(handle, raw, addr);
    if (rc != PROP_OK)
        trace_print(ut_trace(handle), 0, "wtnode:1:problem [%d] writing the tnode %d", static_cast<int>(rc),
                    static_cast<int>(page));
    return rc;
}

u32 proprutfnop(proprhandle *handle, u32 size, u32 *num_page, u32 *num_direct, u32 *num_single)
{
    if (num_page == nullptr || num_direct == nullptr || num_single == nullptr) return PROP_E_STORAGE;
    *num_page = *num_direct = *num_single = 0;
    if (size <= TNODE_INLINE_VALUE_SIZE) return PROP_OK;

    u32 extra = size - TNODE_INLINE_VALUE_SIZE;
    u32 pages = ceil_div(extra, PROPR_PAGE_ADDR_SIZE);
    trace_print(ut_trace(handle), 4,
                "propurtfnop: Size = %d extra_space = %d num page = %d extra_space/PROPR_PAGE_ADDR_SIZE = %d",
                static_cast<int>(size), static_cast<int>(extra), static_cast<int>(pages),
                static_cast<int>(extra / PROPR_PAGE_ADDR_SIZE));
    if (pages <= TNODE_NUM_DIRECT) {
        *num_page = *num_direct = pages;
        return PROP_OK;
    }
    u32 single = ceil_div((pages - TNODE_NUM_DIRECT) * 4, PROPR_PAGE_ADDR_SIZE);
    if (single > 1) {
        trace_print(ut_trace(handle), 0, "fnop: Too big value to fit in the tnode");
        return PROP_E_STORAGE;
    }
    *num_page = pages;
    *num_direct = TNODE_NUM_DIRECT;
    *num_single = single;
    return PROP_OK;
}

#include "protocol.h"

#include "format/block.h"
#include "tree/tnode.h"

namespace {

constexpr u32 kPage = 4096;
// A slotted area: a 12-byte header, an 8-byte slot per entry, and entries
// of the name plus one byte plus a page number.
constexpr u32 kSlotBytes = 8;
constexpr u32 kEntryExtra = 5;
constexpr u32 kRoomMargin = 20;
constexpr u32 kTnodeArea = kPage - TNODE_ENTRY_AREA_START;
constexpr u32 kAddrsPerPage = PROPR_PAGE_ADDR_SIZE / 4;

// Entries of entry_size bytes that an empty area of area bytes takes.  The
// tnode's area takes an entry that leaves exactly the margin; a page does not.
u32 entries_fitting(u32 area, u32 entry_size, bool tnode)
{
    u32 n = 0;
    for (u32 free = area; tnode ? free >= entry_size + kRoomMargin : free > entry_size + kRoomMargin;
         free -= entry_size + kSlotBytes)
        n++;
    return n;
}

}  // namespace

u32 txn_writes(const TxnPages &p)
{
    u32 begin = 2, commit = 1 + (p.bitmaps != 0 ? p.bitmaps + 1 : 0);
    return begin + 3 * p.logged + p.fresh + commit;
}

u32 value_pages(u32 size)
{
    if (size <= TNODE_INLINE_VALUE_SIZE) return 0;
    return (size - TNODE_INLINE_VALUE_SIZE + PROPR_PAGE_ADDR_SIZE - 1) / PROPR_PAGE_ADDR_SIZE;
}

u32 entry_pages(u32 children, u32 name_len)
{
    u32 entry = name_len + kEntryExtra;
    u32 in_tnode = entries_fitting(kTnodeArea, entry, true);
    if (children <= in_tnode) return 0;
    u32 per_page = entries_fitting(PROPR_PAGE_ADDR_SIZE, entry, false);
    u32 kce = (children - in_tnode + per_page - 1) / per_page;
    u32 indirect = kce > TNODE_NUM_KCE_PAGES ? kce - TNODE_NUM_KCE_PAGES : 0;
    return kce + (indirect + kAddrsPerPage - 1) / kAddrsPerPage;
}

ProtocolCost protocol_floor(const OpInfo &op)
{
    u32 vp = value_pages(op.value_size);
    u32 tree_pages = kTreeKeys + entry_pages(kTreeKeys, kTreeNameLen);
    switch (op.op) {
    case Op::set_100:
    case Op::set_8k:
    case Op::set_80k:
        // The tnode and every value page are overwritten in place; the old
        // value pages are read for their images.
        return {txn_writes({1 + vp, 0, 0}), 1 + vp};
    case Op::get:
        return {0, 1 + vp};
    case Op::open_cached:
        return {0, 1};  // the tnode, for the security and value size
    case Op::create:
        return {txn_writes({1, 1, 1}), 1};
    case Op::batch_create:
        return {txn_writes({1, tree_pages, 1}), 1};
    case Op::delete_tree:
        // Freed pages are not written; every tnode and entry page of the
        // subtree is read to find what to free.
        return {txn_writes({1, 0, 1}), 1 + 1 + tree_pages};
    }
    return {0, 0};
}

const std::vector<OpInfo> &all_ops()
{
    static const std::vector<OpInfo> ops = {
        {Op::set_100, "set-value 100 B", 100, 200, 5},
        {Op::set_8k, "set-value 8 KB", 8192, 200, 5},
        {Op::set_80k, "set-value 80 KB", 80000, 50, 3},
        {Op::get, "get-value 100 B", 100, 500, 5},
        {Op::open_cached, "open cached key", 0, 500, 5},
        {Op::create, "create-key", 0, 200, 5},
        {Op::batch_create, "batch: create 1000 keys", 0, 10, 2},
        {Op::delete_tree, "recursive delete 1000 keys", 0, 10, 2},
    };
    return ops;
}

#include "protocol.h"

#include <string>

#include "format/block.h"
#include "tree/kce_pages.h"
#include "tree/slotted.h"
#include "tree/tnode.h"

namespace {

// Entries of name_len bytes that an empty area takes, by the format's own
// room rules (the tnode's area takes an entry that leaves exactly the
// margin, a page does not).
u32 entries_fitting(u32 start, u32 name_len)
{
    u8 buf[PROP_PAGE_SIZE];
    kce_area_init(buf, start);
    std::string name(name_len, 'k');
    bool tnode = start == KCE_TNODE_START;
    u32 n = 0;
    while ((tnode ? kce_fits_tnode(buf, kce_entry_size(name_len)) : kce_fits_page(buf, kce_entry_size(name_len))) &&
           proprutikcesp(buf, start, name.data(), name_len, 0, n + 1, nullptr) == PROP_OK)
        n++;
    return n;
}

}  // namespace

ProtocolCost txn_cost(const TxnPages &p)
{
    const bool images = p.logged != 0;
    // The image slots are neighbours; so, at best, are the pages, and the
    // bitmap copies with the superblock.
    const u32 pages = (p.logged + p.fresh != 0 ? 1 : 0) + (p.bitmaps != 0 ? 1 : 0) + (images ? 0 : 1);
    const u32 writes = (images ? 2 + 1 : 0) + pages + 1;
    return {writes, images ? 4u : 2u, 0};
}

u32 value_pages(u32 size)
{
    if (size <= TNODE_INLINE_VALUE_SIZE) return 0;
    return (size - TNODE_INLINE_VALUE_SIZE + PROPR_PAGE_ADDR_SIZE - 1) / PROPR_PAGE_ADDR_SIZE;
}

u32 entry_pages(u32 children, u32 name_len)
{
    u32 in_tnode = entries_fitting(KCE_TNODE_START, name_len);
    if (children <= in_tnode) return 0;
    u32 per_page = entries_fitting(KCE_PAGE_START, name_len);
    u32 kce = (children - in_tnode + per_page - 1) / per_page;
    u32 indirect = kce > KCE_NUM_DIRECT ? kce - KCE_NUM_DIRECT : 0;
    return kce + (indirect + KCE_NUM_IN_ADDR - 1) / KCE_NUM_IN_ADDR;
}

ProtocolCost protocol_floor(const OpInfo &op)
{
    u32 vp = value_pages(op.value_size);
    u32 tree_pages = kTreeKeys + entry_pages(kTreeKeys, kTreeNameLen);
    auto with_reads = [](ProtocolCost c, u32 reads) {
        c.reads = reads;
        return c;
    };
    switch (op.op) {
    case Op::set_100:
    case Op::set_8k:
    case Op::set_80k:
        // The tnode and every value page are overwritten in place; the old
        // value pages are read for their images.
        return with_reads(txn_cost({1 + vp, 0, 0}), 1 + vp);
    case Op::get:
        return {0, 0, 1 + vp};
    case Op::open_cached:
        return {0, 0, 1};  // the tnode, for the security and value size
    case Op::create:
        return with_reads(txn_cost({1, 1, 1}), 1);
    case Op::batch_create:
        return with_reads(txn_cost({1, tree_pages, 1}), 1);
    case Op::delete_tree:
        // Freed pages are not written; every tnode and entry page of the
        // subtree is read to find what to free.
        return with_reads(txn_cost({1, 0, 1}), 1 + 1 + tree_pages);
    }
    return {0, 0, 0};
}

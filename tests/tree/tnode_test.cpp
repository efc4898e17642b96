// Tree nodes: what survives a write and a read, what a read refuses, and
// how many value pages a value needs.
#include <gtest/gtest.h>

#include <cstring>

#include "format/block.h"
#include "format/cursor.h"
#include "support/raw_store.h"
#include "tree/tnode.h"

namespace {

TEST(Tnode, WriteThenReadKeepsEveryFieldAndTheBytesItDoesNotModel)
{
    RawStore store;
    proprhandle *h = store.handle();
    tnode node;
    ASSERT_EQ(rutinitnode(h, &node), PROP_OK);
    EXPECT_EQ(node.kind, 4u);
    EXPECT_EQ(node.owner_id, 1u);
    EXPECT_EQ(node.free_space_sz, 3514u);
    EXPECT_EQ(node.end_of_fsp, 4096u);

    node.owner_id = 3;
    node.group_id = 0x01020304;
    node.user_perm = 63;
    node.group_perm = 3;
    node.other_perm = 1;
    node.link_count = 2;
    node.isndk = 1;
    node.data_type = 5;
    node.value_size = 300;
    node.num_subkey = 17;
    node.node_number = 99;
    node.creation_time = 0xA0B0C0D0;
    node.mod_time = 0x11223344;
    node.num_entry = 2;
    node.free_space_sz = 3000;
    node.end_of_fsp = 3600;
    for (u32 i = 0; i < 256; ++i) node.inline_value[i] = static_cast<u8>(i);

    // Page lists, the uninterpreted bytes and the entry area belong to
    // others: a write must carry them over as they were.
    Block raw{};
    be32_put(raw.data(), TNODE_OFF_DIRECT_ADDR, 40);
    be32_put(raw.data(), TNODE_OFF_KCE_PAGE_ADDR + 4 * 24, 41);
    raw[520] = 0x5A;
    raw[4095] = 0x77;
    ASSERT_EQ(proprutwtnode(h, &node, 12, raw.data()), PROP_OK);

    Block disk = store.read(0, store.page_addr(12));
    EXPECT_EQ(hdr_verify_checksum(disk.data(), 4096), 0u);
    propr_hdr hdr;
    std::memcpy(&hdr, disk.data(), sizeof hdr);
    EXPECT_EQ(hdr.propr_hdr_blocknum, (store.page_addr(12) >> 12) + 25);
    EXPECT_EQ(hdr.propr_hdr_block_type, PROPR_BLK_TNODE);
    EXPECT_EQ(be32_at(disk.data(), 36), 0x01020304u);
    EXPECT_EQ(disk[45], 5);
    EXPECT_EQ(be32_at(disk.data(), 314), 0xA0B0C0D0u);
    EXPECT_EQ(be32_at(disk.data(), 590), 3600u);
    EXPECT_EQ(be32_at(disk.data(), TNODE_OFF_DIRECT_ADDR), 40u);
    EXPECT_EQ(be32_at(disk.data(), TNODE_OFF_KCE_PAGE_ADDR + 4 * 24), 41u);
    EXPECT_EQ(disk[520], 0x5A);
    EXPECT_EQ(disk[4095], 0x77);

    tnode back;
    std::memset(&back, 0, sizeof back);
    Block buf{};
    ASSERT_EQ(proprutrtnode(h, &back, 12, buf.data(), 0), PROP_OK);
    EXPECT_EQ(back.raw, buf.data());
    EXPECT_EQ(back.owner_id, 3u);
    EXPECT_EQ(back.group_id, 0x01020304u);
    EXPECT_EQ(back.user_perm, 63);
    EXPECT_EQ(back.group_perm, 3);
    EXPECT_EQ(back.other_perm, 1);
    EXPECT_EQ(back.link_count, 2);
    EXPECT_EQ(back.isndk, 1);
    EXPECT_EQ(back.data_type, 5);
    EXPECT_EQ(back.value_size, 300u);
    EXPECT_EQ(back.num_subkey, 17u);
    EXPECT_EQ(back.node_number, 99u);
    EXPECT_EQ(back.creation_time, 0xA0B0C0D0u);
    EXPECT_EQ(back.mod_time, 0x11223344u);
    EXPECT_EQ(back.num_entry, 2u);
    EXPECT_EQ(back.free_space_sz, 3000u);
    EXPECT_EQ(back.end_of_fsp, 3600u);
    EXPECT_EQ(back.entry_area_start, 582u);
    EXPECT_EQ(std::memcmp(back.inline_value, node.inline_value, 256), 0);
}

TEST(Tnode, AnEmptyValueLeavesTheInlineBytesInMemoryAlone)
{
    RawStore store;
    proprhandle *h = store.handle();
    Block raw = store.make_block(store.page_addr(0), PROPR_BLK_TNODE, 0);
    std::memset(raw.data() + TNODE_OFF_INLINE_VALUE, 0xEE, 256);  // stale bytes, value_size 0
    tnode node;
    std::memset(node.inline_value, 0x11, 256);
    ASSERT_EQ(proprutrtnode_int(h, &node, raw.data()), PROP_OK);
    EXPECT_EQ(node.value_size, 0u);
    EXPECT_EQ(node.inline_value[0], 0x11);
    EXPECT_EQ(node.inline_value[255], 0x11);
}

TEST(Tnode, ReadRefusesAnythingButATnodeUnlessBypassed)
{
    RawStore store;
    proprhandle *h = store.handle();
    trace_set_level(trace_component_named("ZKVRAW"), 2);
    trace_capture_start();
    store.put_page(5, PROPR_BLK_KCE, 0);
    tnode node;
    Block buf{};
    EXPECT_EQ(proprutrtnode(h, &node, 5, buf.data(), 0), PROP_R_BADTNODE);
    EXPECT_TRUE(trace_captured_contains("rtnode:3: invalid tnode 5"));
    EXPECT_EQ(proprutrtnode(h, &node, 5, buf.data(), PROP_FLAG_BYPASS), PROP_OK);
    EXPECT_TRUE(trace_captured_contains("rtnode:3: invalid tnode 5 - IGNORED"));

    // A page that was never written reads as zeros: no valid header.
    EXPECT_EQ(proprutrtnode(h, &node, 6, buf.data(), 0), PROP_R_BADTNODE);
    EXPECT_EQ(proprutrtnode(h, &node, 5, nullptr, 0), PROP_R_BADTNODE);
    EXPECT_EQ(proprutrtnode(nullptr, &node, 5, buf.data(), 0), PROP_E_STORAGE);
    trace_capture_stop();
}

TEST(Tnode, ValuePageCounts)
{
    struct Case {
        u32 size, rc, pages, direct, single;
    };
    const u32 page = 4064;
    const Case cases[] = {
        {0, 0, 0, 0, 0},
        {256, 0, 0, 0, 0},
        {257, 0, 1, 1, 0},
        {256 + page, 0, 1, 1, 0},
        {256 + page + 1, 0, 2, 2, 0},
        {256 + 20 * page, 0, 20, 20, 0},
        {256 + 20 * page + 1, 0, 21, 20, 1},
        {256 + (20 + 1016) * page, 0, 1036, 20, 1},
        {256 + (20 + 1016) * page + 1, PROP_E_STORAGE, 0, 0, 0},
        {0xFFFFFFFF, PROP_E_STORAGE, 0, 0, 0},
    };
    for (const Case &c : cases) {
        u32 pages = 9, direct = 9, single = 9;
        EXPECT_EQ(proprutfnop(nullptr, c.size, &pages, &direct, &single), c.rc) << c.size;
        if (c.rc != PROP_OK) continue;
        EXPECT_EQ(pages, c.pages) << c.size;
        EXPECT_EQ(direct, c.direct) << c.size;
        EXPECT_EQ(single, c.single) << c.size;
    }
    EXPECT_EQ(TNODE_MAX_VALUE_SIZE, 256 + (20 + 1016) * page);
}

}  // namespace

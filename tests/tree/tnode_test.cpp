// Tree nodes: what survives a write and a read, what a read refuses, and
// how many value pages a value needs.
#include <gtest/gtest.h>

#include <cstring>

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
    node.owner_id = 3;
    node.group_id = 0x01020304;
    node.user_perm = 63;
    node.other_perm = 1;
    node.data_type = 5;
    node.value_size = 300;
    node.num_subkey = 17;
    node.creation_time = 0xA0B0C0D0;
    node.end_of_fsp = 3600;
    for (u32 i = 0; i < 256; ++i) node.inline_value[i] = static_cast<u8>(i);

    // Page lists, uninterpreted bytes and entries belong to others: a write
    // carries them over as they were.
    Block raw{};
    be32_put(raw.data(), TNODE_OFF_DIRECT_ADDR, 40);
    raw[520] = 0x5A;
    raw[4095] = 0x77;
    ASSERT_EQ(proprutwtnode(h, &node, 12, raw.data()), PROP_OK);
    Block disk = store.read(0, store.page_addr(12));
    EXPECT_EQ(be32_at(disk.data(), TNODE_OFF_DIRECT_ADDR), 40u);
    EXPECT_EQ(disk[520], 0x5A);
    EXPECT_EQ(disk[4095], 0x77);

    tnode back;
    std::memset(&back, 0, sizeof back);
    Block buf{};
    ASSERT_EQ(proprutrtnode(h, &back, 12, buf.data(), 0), PROP_OK);
    back.raw = node.raw = nullptr;
    back.kind = node.kind;  // not stored
    std::memset(&back.hdr, 0, sizeof back.hdr);
    std::memset(&node.hdr, 0, sizeof node.hdr);
    EXPECT_EQ(std::memcmp(&back, &node, sizeof node), 0);
}

TEST(Tnode, ReadRefusesAnythingButATnodeUnlessBypassed)
{
    RawStore store;
    proprhandle *h = store.handle();
    store.put_page(5, PROPR_BLK_KCE, 0);
    tnode node;
    Block buf{};
    EXPECT_EQ(proprutrtnode(h, &node, 5, buf.data(), 0), PROP_R_BADTNODE);
    EXPECT_EQ(proprutrtnode(h, &node, 5, buf.data(), PROP_FLAG_BYPASS), PROP_OK);
    EXPECT_EQ(proprutrtnode(h, &node, 6, buf.data(), 0), PROP_R_BADTNODE);  // never written
    EXPECT_EQ(proprutrtnode(h, &node, 5, nullptr, 0), PROP_R_BADTNODE);
}

TEST(Tnode, ValuePageCounts)
{
    struct Case {
        u32 size, rc, pages, direct, single;
    };
    const u32 page = 4064;
    const Case cases[] = {
        {256, 0, 0, 0, 0},
        {256 + page + 1, 0, 2, 2, 0},
        {256 + 20 * page + 1, 0, 21, 20, 1},
        {256 + (20 + 1016) * page, 0, 1036, 20, 1},
        {256 + (20 + 1016) * page + 1, PROP_E_STORAGE, 0, 0, 0},
    };
    for (const Case &c : cases) {
        u32 pages = 9, direct = 9, single = 9;
        EXPECT_EQ(proprutfnop(nullptr, c.size, &pages, &direct, &single), c.rc) << c.size;
        if (c.rc != PROP_OK) continue;
        EXPECT_EQ((std::array<u32, 3>{pages, direct, single}), (std::array<u32, 3>{c.pages, c.direct, c.single}))
            << c.size;
    }
}

}  // namespace

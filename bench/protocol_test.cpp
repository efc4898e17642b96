#include "protocol.h"

#include <gtest/gtest.h>

TEST(Protocol, ValuePagesAtTheInlineAndPageBoundaries)
{
    const struct {
        u32 size, pages;
    } cases[] = {{0, 0}, {256, 0}, {257, 1}, {256 + 4064, 1}, {256 + 4064 + 1, 2}, {8192, 2}, {80000, 20},
                 {256 + 20 * 4064, 20}};
    for (const auto &c : cases) EXPECT_EQ(value_pages(c.size), c.pages) << c.size;
}

TEST(Protocol, EntryPagesFollowTheRoomRules)
{
    // 10-byte entries: the tnode area (3514 bytes) takes 194, a page (4064) 225.
    const struct {
        u32 children, pages;
    } cases[] = {{0, 0}, {194, 0}, {195, 1}, {194 + 225, 1}, {194 + 226, 2}, {1000, 4},
                 {194 + 25 * 225, 25}, {194 + 25 * 225 + 1, 27}};  // the 26th page needs an address page
    for (const auto &c : cases) EXPECT_EQ(entry_pages(c.children, 5), c.pages) << c.children;
    // A name that leaves exactly the margin in the tnode area: 3514 = 20 + 3494.
    EXPECT_EQ(entry_pages(1, 3494 - 5), 0u);
    EXPECT_EQ(entry_pages(1, 3495 - 5), 1u);
}

TEST(Protocol, FloorPerOperation)
{
    const struct {
        Op op;
        u32 writes, barriers, reads;
    } cases[] = {
        // images with the live boot block (2), metadata, pages, boot block
        {Op::set_100, 2 + 1 + 1 + 1, 4, 1},
        {Op::set_80k, 2 + 1 + 1 + 1, 4, 21},
        {Op::get, 0, 0, 1},
        // the new tnode and the parent's page, then bitmap and superblock
        {Op::create, 2 + 1 + 2 + 1, 4, 1},
        {Op::delete_tree, 2 + 1 + 2 + 1, 4, 1006},
    };
    for (const auto &c : cases) {
        const OpInfo *info = nullptr;
        for (const OpInfo &o : all_ops())
            if (o.op == c.op) info = &o;
        ASSERT_NE(info, nullptr);
        ProtocolCost cost = protocol_floor(*info);
        EXPECT_EQ(cost.writes, c.writes) << info->label;
        EXPECT_EQ(cost.barriers, c.barriers) << info->label;
        EXPECT_EQ(cost.reads, c.reads) << info->label;
    }
    // Without images the log never goes live: fresh pages, bitmaps and the
    // metadata, then the boot block.
    const ProtocolCost fresh = txn_cost({0, 3, 1});
    EXPECT_EQ(fresh.barriers, 2u);
    EXPECT_EQ(fresh.writes, 4u);
}

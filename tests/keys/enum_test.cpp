// Listing subkeys through the export: every child once, in the order the
// entries lie on disk, in one buffer laid out and sized as the caller
// expects, and nothing at all for a key without subkeys.
#include "tree_fixture.h"

namespace {

using EnumTest = TreeTest;

TEST_F(EnumTest, NamesComeInSlotOrderAndAKeyWithoutSubkeysGivesNoBuffer)
{
    Key p = make(system_, "p");
    Listing l = list_subkeys(ctx(), p);
    EXPECT_EQ(l.rc, 0u);
    EXPECT_EQ(l.num_keys, 0u);
    EXPECT_EQ(l.buflen, 0u);
    EXPECT_FALSE(l.buffer);

    Key b = make(p, "b");
    Key a = make(p, "a");
    l = list_subkeys(ctx(), p);
    EXPECT_EQ(l.rc, 0u);
    EXPECT_EQ(l.num_keys, 2u);
    EXPECT_EQ(l.buflen, 5u);
    EXPECT_EQ(l.bytes, std::string("b\0a\0\0", 5));
    EXPECT_EQ(l.allocated, 4096u);

    ASSERT_EQ(prop_delete_key(ctx(), b.get(), 0, 0), 0u);
    l = list_subkeys(ctx(), p);
    EXPECT_EQ(l.names, std::vector<std::string>{"a"});
    EXPECT_EQ(l.buflen, 3u);
    Key c = make(p, "cc");  // takes the freed slot
    EXPECT_EQ(list_subkeys(ctx(), p).names, (std::vector<std::string>{"cc", "a"}));
}

TEST_F(EnumTest, EveryChildOnceAcrossTheTnodeKcePagesAndAddrPages)
{
    constexpr uint32_t n = 420;
    Key fan = make(system_, "fan");
    std::vector<std::string> made;
    for (uint32_t i = 0; i < n; i++) {
        made.push_back(long_name(i));
        Key c = make(fan, made.back());
    }
    EntryPages pages = entry_pages(ctx()->propb_ctx, fan);
    ASSERT_EQ(pages.direct.size(), 25u);
    ASSERT_EQ(pages.addr.size(), 1u);
    uint64_t before = store_->live_blocks();

    Listing l = list_subkeys(ctx(), fan);
    ASSERT_EQ(l.rc, 0u);
    // Nothing was ever deleted, so disk order is the order of creation.
    EXPECT_EQ(l.names, made);
    EXPECT_EQ(l.num_keys, n);
    EXPECT_EQ(l.buflen, n * (245 + 1) + 1);
    EXPECT_EQ(l.bytes.back(), '\0');
    EXPECT_EQ(l.allocated, 4096u * (1 + pages.direct.size() + pages.indirect.size()));
    EXPECT_EQ(store_->live_blocks(), before) << "the buffer was the only block handed out";
}

TEST_F(EnumTest, AFailedListingHandsOutNoBuffer)
{
    Key fan = make(system_, "fan");
    for (uint32_t i = 0; i < 40; i++) Key c = make(fan, long_name(i));
    uint64_t before = store_->live_blocks();
    auto refused = [&](uint32_t rc) {
        Listing l = list_subkeys(ctx(), fan);
        EXPECT_EQ(l.rc, rc);
        EXPECT_FALSE(l.buffer);
        EXPECT_EQ(l.num_keys, 0xFFFFFFFFu);
        EXPECT_EQ(store_->live_blocks(), before);
    };
    prop_fe_meta_fail_from(store_->meta(), 1);
    refused(PROP_E_NOMEM);
    prop_fe_meta_fail_from(store_->meta(), 0);

    uint32_t addr = ut_page_addr(ctx()->propb_ctx, entry_pages(ctx()->propb_ctx, fan).direct[1]);
    store_->write_block(0, addr, as_value_page(store_->read_block(0, addr)));
    refused(PROP_E_STORAGE);
}

}  // namespace

// Listing subkeys through the export: names in the order the entries lie
// on disk (a freed slot is reused first: the slotted-page test), in one
// buffer laid out and sized as the caller expects, and nothing at all for a
// key without subkeys or when memory runs out.  A key over every kind of
// entry page is listed in delete_test.cpp.
#include "keys_fixture.h"

namespace {

using EnumTest = KeysTest;

TEST_F(EnumTest, NamesComeInSlotOrderInOneBufferOrNoBufferAtAll)
{
    Key p = make(system_, "p");
    Listing l = list_subkeys(ctx(), p);
    EXPECT_EQ(l.rc, PROP_OK);
    EXPECT_EQ(l.num_keys, 0u);
    EXPECT_EQ(l.buflen, 0u);
    EXPECT_FALSE(l.buffer);

    Key b = make(p, "b");
    Key a = make(p, "a");
    uint64_t blocks = store_->live_blocks();
    prop_fe_meta_fail_from(store_->meta(), 1);
    l = list_subkeys(ctx(), p);
    prop_fe_meta_fail_from(store_->meta(), 0);
    EXPECT_EQ(l.rc, static_cast<uint32_t>(PROP_E_NOMEM));
    EXPECT_FALSE(l.buffer);
    EXPECT_EQ(l.num_keys, 0xFFFFFFFFu);
    EXPECT_EQ(store_->live_blocks(), blocks);

    l = list_subkeys(ctx(), p);
    EXPECT_EQ(l.rc, PROP_OK);
    EXPECT_EQ(l.num_keys, 2u);
    EXPECT_EQ(l.buflen, 5u);
    EXPECT_EQ(l.bytes, std::string("b\0a\0\0", 5));
    EXPECT_EQ(l.allocated, 4096u);
}

}  // namespace

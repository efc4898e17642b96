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
    EXPECT_EQ(std::tie(l.rc, l.num_keys, l.buflen, l.buffer), std::make_tuple(0u, 0u, 0u, false));

    Key b = make(p, "b");
    Key a = make(p, "a");
    uint64_t blocks = store_->live_blocks();
    prop_fe_meta_fail_from(store_->meta(), 1);
    l = list_subkeys(ctx(), p);
    prop_fe_meta_fail_from(store_->meta(), 0);
    EXPECT_EQ(std::tie(l.rc, l.num_keys, l.buffer),
              std::make_tuple(uint32_t{PROP_E_NOMEM}, 0xFFFFFFFFu, false));
    EXPECT_EQ(store_->live_blocks(), blocks);

    l = list_subkeys(ctx(), p);
    EXPECT_EQ(std::tie(l.rc, l.num_keys, l.bytes, l.allocated),
              std::make_tuple(0u, 2u, std::string("b\0a\0\0", 5), uint64_t{4096}));
}

}  // namespace

// Opening keys by name, and what every operation does with a handle whose
// key the cache no longer vouches for.
#include "keys_fixture.h"

namespace {

class OpenTest : public KeysTest {
  protected:
    void SetUp() override
    {
        KeysTest::SetUp();
        Key k = make(system_, "a.b");
        ASSERT_EQ(view().set(k, pattern(600, 1)), 0u);
        // Forget what create cached, so the next open walks the tree.
        ASSERT_EQ(proprch_delete(ctx()->propb_ctx->proprhandle_cache, "SYSTEM", 1, 0, 0), PROP_OK);
    }
};

TEST_F(OpenTest, AMissingComponentIs4AndNamesTheWalkCannotTakeAre8)
{
    StoreView v = view();
    EXPECT_EQ(v.open_rc("SYSTEM.a.missing.b"), uint32_t{PROP_E_STALE});
    EXPECT_TRUE(v.cached("SYSTEM.a"));
    EXPECT_FALSE(v.cached("SYSTEM.a.missing"));

    for (const std::string &name : {std::string(""), std::string("SYSTEM..a"), std::string(".SYSTEM"),
                                    std::string(256, 'x'), "SYSTEM." + std::string(1017, 'x')})
        EXPECT_EQ(v.open_rc(name), uint32_t{PROP_E_ARG}) << name.substr(0, 20);
}

// A walk that meets a page of another type where a tnode should be answers
// 26, as every damaged page does; the code the tree code uses for it
// inside never reaches a caller.
TEST_F(OpenTest, AWalkThroughAPageThatIsNoTnodeAnswers26)
{
    StoreView v = view();
    Key a = v.open("SYSTEM.a");
    const uint32_t addr = ut_page_addr(ctx()->propb_ctx, tnode_of(a));
    a.reset();
    ASSERT_EQ(proprch_delete(ctx()->propb_ctx->proprhandle_cache, "SYSTEM", 1, 0, 0), PROP_OK);
    // A sound header naming a value page: the I/O layer takes it.
    std::string block = store_->read_block(0, addr);
    const uint16_t type = PROPR_BLK_VAL;
    std::memcpy(block.data() + offsetof(propr_hdr, propr_hdr_block_type), &type, sizeof type);
    store_->write_block(0, addr, restamped(block));
    EXPECT_EQ(v.open_rc("SYSTEM.a.b"), uint32_t{PROP_E_STORAGE});
}

// A handle is refused with 7 when the cache holds another address for its
// name (its key was replaced), and once it is closed: closing it again or
// using it touches no freed memory.
TEST_F(OpenTest, AHandleTheContextCannotVouchForIsRefused)
{
    StoreView v = view();
    Key k = v.open("SYSTEM.a.b");
    uint32_t elsewhere = k.get()->propr_keyhandle_kdesc->kd_tnode + 100;
    ASSERT_EQ(proprch_set_addr(ctx()->propb_ctx->proprhandle_cache, "SYSTEM.a.b", elsewhere, 0, 0), PROP_OK);
    expect_all_refused(v, k, v.open("SYSTEM.a"), PROP_E_KEYH);
    ASSERT_EQ(proprch_delete(ctx()->propb_ctx->proprhandle_cache, "SYSTEM.a.b", 0, 0, 0), PROP_OK);
    EXPECT_EQ(v.get(v.open("SYSTEM.a.b")).bytes, pattern(600, 1)) << "nothing was changed";

    propr_keyhandle *kh = nullptr;
    ASSERT_EQ(prop_open(ctx(), "SYSTEM.a.b", &kh, 0), PROP_OK);
    ASSERT_EQ(prop_close(ctx(), kh), PROP_OK);
    EXPECT_EQ(prop_close(ctx(), kh), uint32_t{PROP_E_KEYH});
    uint32_t type = 0, size = 0;
    EXPECT_EQ(prop_get_value(ctx(), kh, &type, nullptr, &size, 0), uint32_t{PROP_E_KEYH});
    // Handles opened meanwhile are whole, whatever record they were given.
    for (int i = 0; i < 300; i++) EXPECT_EQ(v.get(v.open("SYSTEM.a.b")).bytes, pattern(600, 1));
}

}  // namespace

// Opening keys by name, and what every operation does with a handle whose
// key the cache no longer vouches for.
#include "keys/keyhandle.h"
#include "keys_fixture.h"
#include "platform/trace.h"

namespace {

class OpenTest : public KeysTest {
  protected:
    void SetUp() override
    {
        KeysTest::SetUp();
        Key k = view().create(view().open("SYSTEM"), "a.b", store_->top_security());
        ASSERT_EQ(view().set(k, pattern(600, 1)), 0u);
        // Forget what create cached, so the next open walks the tree.
        ASSERT_EQ(proprch_delete(ctx()->propb_ctx->proprhandle_cache, "SYSTEM", 1, 0, 0), 0u);
    }
};

TEST_F(OpenTest, AWalkAndTheCacheGiveTheSameHandle)
{
    StoreView v = view();
    Key walked = v.open("SYSTEM.a.b");
    EXPECT_TRUE(v.cached("SYSTEM") && v.cached("SYSTEM.a") && v.cached("SYSTEM.a.b"));
    Key cached = v.open("SYSTEM.a.b");
    for (const Key *k : {&walked, &cached}) {
        const propr_keyhandle *kh = k->get();
        EXPECT_STREQ(kh->propr_keyhandle_keyname, "SYSTEM.a.b");
        EXPECT_EQ(kh->propr_keyhandle_depth, 3u);
        EXPECT_EQ(kh->propr_keyhandle_valsize, 600u);
        EXPECT_STREQ(kh->propr_keyhandle_kdesc->kd_name, "b");
        EXPECT_TRUE(same_sec(kh->propr_keyhandle_sec, store_->top_security()));
    }
    EXPECT_EQ(walked.get()->propr_keyhandle_kdesc->kd_tnode, cached.get()->propr_keyhandle_kdesc->kd_tnode);
    EXPECT_EQ(walked.get()->propr_keyhandle_kdesc->kd_parent, cached.get()->propr_keyhandle_kdesc->kd_parent);
}

TEST_F(OpenTest, AMissingComponentIs4AndNamesTheWalkCannotTakeAre8)
{
    StoreView v = view();
    trace_capture_start();
    trace_set_level(trace_component_named("ZKVRAW"), 5);
    uint32_t rc = 0;
    EXPECT_FALSE(v.open("SYSTEM.a.missing.b", &rc));
    trace_set_level(trace_component_named("ZKVRAW"), 0);
    EXPECT_EQ(rc, static_cast<uint32_t>(PROP_E_STALE));
    EXPECT_TRUE(trace_captured_contains("propropen: Could not find a match"));
    trace_capture_stop();
    EXPECT_TRUE(v.cached("SYSTEM.a"));
    EXPECT_FALSE(v.cached("SYSTEM.a.missing"));

    for (const std::string &name : {std::string(""), std::string("SYSTEM..a"), std::string(".SYSTEM"),
                                    std::string(256, 'x'), "SYSTEM." + std::string(1017, 'x')}) {
        EXPECT_FALSE(v.open(name.c_str(), &rc));
        EXPECT_EQ(rc, static_cast<uint32_t>(PROP_E_ARG)) << name.substr(0, 20);
    }
}

// The cache says whether a handle still names its key: another address
// means the key was replaced (7), no entry at level 0 that it is gone (4;
// create says 7 for its parent).
TEST_F(OpenTest, EveryOperationChecksItsHandleAgainstTheCache)
{
    StoreView v = view();
    proprch_ctx *cache = ctx()->propb_ctx->proprhandle_cache;
    Key k = v.open("SYSTEM.a.b");
    auto run_all = [&](uint32_t expect, uint32_t expect_create) {
        uint32_t type = 0, size = 0, disp = 0;
        sec_attr sec = store_->top_security();
        Key made(ctx());
        EXPECT_EQ(v.set(k, pattern(10, 1)), expect);
        EXPECT_EQ(prop_get_value(ctx(), k.get(), &type, nullptr, &size, 0), expect);
        EXPECT_EQ(prop_delete_value(ctx(), k.get(), 0), expect);
        EXPECT_EQ(prop_get_security(ctx(), k.get(), &sec), expect);
        EXPECT_EQ(prop_set_security(ctx(), k.get(), &sec, 0), expect);
        EXPECT_EQ(prop_create_key(ctx(), k.get(), "c", &sec, made.out(), &disp, 0), expect_create);
        EXPECT_FALSE(made);
    };
    ASSERT_EQ(proprch_set_addr(cache, "SYSTEM.a.b", k.get()->propr_keyhandle_kdesc->kd_tnode + 100, 0, 0), 0u);
    run_all(PROP_E_KEYH, PROP_E_KEYH);
    ASSERT_EQ(proprch_delete(cache, "SYSTEM.a.b", 0, 0, 0), 0u);
    run_all(PROP_E_STALE, PROP_E_KEYH);
    EXPECT_EQ(v.get(v.open("SYSTEM.a.b")).bytes, pattern(600, 1)) << "nothing was changed";
}

}  // namespace

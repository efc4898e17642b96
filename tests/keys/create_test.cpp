// Creating keys and creating them with a value: what is made, with which
// security, what the disposition says, and what is refused.
#include "keys/keyhandle.h"
#include "keys_fixture.h"
#include "txn/log.h"

namespace {

// Four components of 254: 1019 bytes, over 1023 once under "SYSTEM.".
std::string long_name()
{
    std::string c(254, 'm');
    return c + "." + c + "." + c + "." + c;
}

class CreateTest : public KeysTest {
  protected:
    void SetUp() override
    {
        KeysTest::SetUp();
        system_ = view().open("SYSTEM");
        caller_ = make_sec(store_->sec()->user, store_->sec()->group, PROP_PERM_WRITE, PROP_PERM_READ,
                           PROP_PERM_NONE);
    }
    uint32_t cnset(const char *subkey, const std::vector<uint8_t> &v, uint32_t flags, Key *out, uint32_t *disp)
    {
        return prop_create_n_set_key(ctx(), system_.get(), subkey, &caller_, out->out(), disp, PROP_TYPE_BYTES,
                                     v.data(), static_cast<uint32_t>(v.size()), flags);
    }
    Key system_;
    sec_attr caller_{};
};

TEST_F(CreateTest, AThreeComponentSubkeyMakesThreeKeysWithTheCallersSecurity)
{
    StoreView v = view();
    uint64_t used = v.used_pages();
    uint32_t disp = 0;
    Key k = v.create(system_, "a.b.c", caller_, &disp);
    EXPECT_EQ(disp, PROP_DISP_CREATED);
    EXPECT_EQ(v.used_pages(), used + 3);
    EXPECT_STREQ(k.get()->propr_keyhandle_keyname, "SYSTEM.a.b.c");
    EXPECT_EQ(k.get()->propr_keyhandle_depth, 4u);
    EXPECT_TRUE(same_sec(k.get()->propr_keyhandle_sec, caller_));
    EXPECT_TRUE(v.cached("SYSTEM.a.b.c"));
    for (const char *name : {"SYSTEM.a", "SYSTEM.a.b", "SYSTEM.a.b.c"}) {
        Key each = v.open(name);
        EXPECT_TRUE(same_sec(v.security(each), caller_)) << name;
    }
    k.reset();
    system_.reset();
    reopen();
    Key again = view().open("SYSTEM.a.b.c");
    EXPECT_TRUE(same_sec(view().security(again), caller_));
}

TEST_F(CreateTest, CreatingAnExistingKeyOpensItWithItsStoredSecurity)
{
    StoreView v = view();
    Key made = v.create(system_, "x.y", caller_);
    ASSERT_EQ(v.set(made, pattern(700, 1)), 0u);
    made.reset();
    uint64_t used = v.used_pages();
    sec_attr other = make_sec(store_->sec()->user, store_->sec()->group, 1, 2, 3);
    // Once through the key cache, once by the walk after the cache forgot it.
    for (bool cached : {true, false}) {
        if (!cached) {
            ASSERT_EQ(proprch_delete(ctx()->propb_ctx->proprhandle_cache, "SYSTEM.x", 1, 0, 0), 0u);
        }
        uint32_t disp = 0;
        Key k = v.create(system_, "x.y", other, &disp);
        EXPECT_EQ(disp, PROP_DISP_EXISTED);
        EXPECT_TRUE(same_sec(k.get()->propr_keyhandle_sec, caller_)) << cached;
        EXPECT_EQ(k.get()->propr_keyhandle_valsize, 700u);
        EXPECT_EQ(k.get()->propr_keyhandle_depth, 3u);
        EXPECT_EQ(v.used_pages(), used);
    }
}

TEST_F(CreateTest, OnlyTheMissingPartOfASubkeyIsMade)
{
    StoreView v = view();
    Key first = v.create(system_, "p", caller_);
    uint64_t used = v.used_pages();
    uint32_t disp = 0;
    // An absolute name under the parent means the same as the relative one.
    Key k = v.create(system_, "SYSTEM.p.q", caller_, &disp);
    EXPECT_EQ(disp, PROP_DISP_CREATED);
    EXPECT_EQ(v.used_pages(), used + 1);
    EXPECT_STREQ(k.get()->propr_keyhandle_keyname, "SYSTEM.p.q");
    Key opened = v.open("SYSTEM.p.q");
}

TEST_F(CreateTest, BadSubkeyNamesAreRefusedBeforeAnythingIsMade)
{
    StoreView v = view();
    uint64_t used = v.used_pages();
    struct Case {
        std::string subkey;
        uint32_t rc;
    };
    const Case cases[] = {
        {"", PROP_E_STORAGE},                       // nothing relative to make
        {"SYSTEM", PROP_E_STORAGE},                 // the parent itself
        {"SYSTEM.", PROP_E_STORAGE},
        {"a..b", PROP_E_ARG},
        {".a", PROP_E_ARG},
        {"a.", PROP_E_ARG},
        {std::string(256, 'n'), PROP_E_ARG},        // a component longer than 255
        {long_name(), PROP_E_ARG},                  // short components, too long a name
        {std::string(2000, 'n'), PROP_E_ARG},
    };
    for (const Case &c : cases) {
        uint32_t rc = 0;
        Key k = v.create(system_, c.subkey.c_str(), caller_, nullptr, &rc);
        EXPECT_EQ(rc, c.rc) << c.subkey.substr(0, 20);
        EXPECT_FALSE(k);
    }
    EXPECT_EQ(v.used_pages(), used);
    Key none(ctx(), nullptr);
    uint32_t disp = 0;
    EXPECT_EQ(prop_create_key(ctx(), system_.get(), nullptr, &caller_, none.out(), &disp, 0),
              static_cast<uint32_t>(PROP_E_NULL));
    EXPECT_EQ(prop_create_key(ctx(), nullptr, "z", &caller_, none.out(), &disp, 0),
              static_cast<uint32_t>(PROP_E_KEYH));
}

TEST_F(CreateTest, CreateAndSetMakesTheKeyWithItsValueInOneStep)
{
    StoreView v = view();
    uint64_t used = v.used_pages();
    Key k(ctx(), nullptr);
    uint32_t disp = 0;
    ASSERT_EQ(cnset("n1.n2", pattern(5000, 4), 0, &k, &disp), 0u);
    EXPECT_EQ(disp, PROP_DISP_CREATED);
    EXPECT_EQ(v.used_pages(), used + 2 + 2);
    EXPECT_EQ(v.get(k).bytes, pattern(5000, 4));
    EXPECT_TRUE(v.cached("SYSTEM.n1.n2"));

    // Again without the flag: the value is overwritten.
    Key k2(ctx(), nullptr);
    ASSERT_EQ(cnset("n1.n2", pattern(100, 5), 0, &k2, &disp), 0u);
    EXPECT_EQ(disp, PROP_DISP_EXISTED);
    EXPECT_EQ(v.get(k).bytes, pattern(100, 5));
}

TEST_F(CreateTest, CreateAndSetWithNoOverwriteLeavesAnExistingKeyAlone)
{
    StoreView v = view();
    Key k(ctx(), nullptr);
    uint32_t disp = 0;
    ASSERT_EQ(cnset("keep", pattern(300, 1), 0, &k, &disp), 0u);
    uint64_t used = v.used_pages();
    u32 lsn = ctx()->propb_ctx->proprhandle_propr_log->propr_log_lsn;
    Key existing(ctx(), nullptr);
    EXPECT_EQ(cnset("keep", pattern(9000, 2), PRZKV_FLAGS_NO_OVERWRITE, &existing, &disp),
              static_cast<uint32_t>(PROP_E_EXISTS));
    EXPECT_EQ(disp, PROP_DISP_EXISTED);
    EXPECT_TRUE(existing);  // the existing key's handle comes back with the refusal
    EXPECT_EQ(v.get(k).bytes, pattern(300, 1));
    EXPECT_EQ(v.used_pages(), used);
    EXPECT_EQ(ctx()->propb_ctx->proprhandle_propr_log->propr_log_lsn, lsn) << "no transaction was begun";
}

TEST_F(CreateTest, ATooBigValueInCreateAndSetMakesNoKey)
{
    StoreView v = view();
    uint64_t used = v.used_pages();
    Key k(ctx(), nullptr);
    uint32_t disp = 0;
    EXPECT_EQ(cnset("toobig", pattern(81537, 1), 0, &k, &disp), static_cast<uint32_t>(PROP_E_TOOBIG));
    EXPECT_FALSE(k);
    uint32_t rc = 0;
    v.open("SYSTEM.toobig", &rc);
    EXPECT_EQ(rc, static_cast<uint32_t>(PROP_E_STALE));
    EXPECT_EQ(v.used_pages(), used);
}

}  // namespace

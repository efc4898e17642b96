// Creating keys, alone or with a value: what is made, with which security,
// what the disposition says, and what is refused; and replacing a key's
// security afterwards.
#include "keys_fixture.h"

namespace {

class CreateTest : public KeysTest {
  protected:
    void SetUp() override
    {
        KeysTest::SetUp();
        caller_ = make_sec(store_->sec()->user, store_->sec()->group, PROP_PERM_WRITE, PROP_PERM_READ, 0);
    }
    uint32_t cnset(const char *subkey, size_t size, uint32_t flags, Key *out, uint32_t *disp)
    {
        std::vector<uint8_t> v = pattern(size, static_cast<uint8_t>(size));
        return prop_create_n_set_key(ctx(), system_.get(), subkey, &caller_, out->out(), disp, PROP_TYPE_BYTES,
                                     v.data(), static_cast<uint32_t>(v.size()), flags);
    }
    sec_attr caller_{};
};

TEST_F(CreateTest, MissingKeysAreMadeWithTheCallersSecurityAndAnExistingOneOpensAsItIs)
{
    StoreView v = view();
    uint64_t used = v.used_pages();
    uint32_t disp = 0;
    Key k = v.create(system_, "a.b.c", caller_, &disp);
    EXPECT_EQ(disp, PROP_DISP_CREATED);
    EXPECT_EQ(v.used_pages(), used + 3);
    EXPECT_STREQ(k.get()->propr_keyhandle_keyname, "SYSTEM.a.b.c");
    EXPECT_TRUE(v.cached("SYSTEM.a.b.c"));
    for (const char *name : {"SYSTEM.a", "SYSTEM.a.b", "SYSTEM.a.b.c"})
        EXPECT_TRUE(same_sec(v.security(v.open(name)), caller_)) << name;

    // Creating an existing key opens it with what it stores.
    ASSERT_EQ(v.set(v.create(system_, "x.y", caller_), pattern(700, 1)), PROP_OK);
    used = v.used_pages();
    sec_attr other = make_sec(store_->sec()->user, store_->sec()->group, 1, 2, 3);
    // Once found in the key cache, once by the walk after the cache forgot it.
    for (bool cached : {true, false}) {
        if (!cached) {
            ASSERT_EQ(proprch_delete(ctx()->propb_ctx->proprhandle_cache, "SYSTEM.x", 1, 0, 0), PROP_OK);
        }
        Key x = v.create(system_, "x.y", other, &disp);
        EXPECT_EQ(disp, PROP_DISP_EXISTED);
        EXPECT_TRUE(same_sec(x.get()->propr_keyhandle_sec, caller_)) << cached;
        EXPECT_EQ(x.get()->propr_keyhandle_valsize, 700u);
        EXPECT_EQ(v.used_pages(), used);
    }
}

// A name that leads to no key below the parent is the caller's mistake
// (8), whatever is wrong with it.
TEST_F(CreateTest, BadSubkeyNamesAreRefusedBeforeAnythingIsMade)
{
    StoreView v = view();
    Key a = make(system_, "a");
    uint64_t used = v.used_pages();
    const std::string c254(254, 'm');
    const struct {
        const Key *parent;
        std::string subkey;
    } cases[] = {
        {&system_, ""},
        {&system_, "SYSTEM"},  // the parent itself
        {&a, "SYSTEM.abc.d"},  // from the top, begins like the parent's name
        {&a, "SYSTEM.a."},
        {&system_, "a..b"},
        {&system_, std::string(256, 'n')},                // a component over 255
        {&system_, c254 + "." + c254 + "." + c254 + "." + c254},  // a full name over 1023
    };
    for (const auto &c : cases) {
        uint32_t rc = 0;
        EXPECT_FALSE(v.create(*c.parent, c.subkey.c_str(), caller_, nullptr, &rc));
        EXPECT_EQ(rc, static_cast<uint32_t>(PROP_E_ARG)) << c.subkey.substr(0, 20);
    }
    EXPECT_EQ(v.used_pages(), used);
    EXPECT_EQ(list_subkeys(ctx(), a).num_keys, 0u);
    // A record that names no owner is refused for a key to be made (the
    // tree test), but an existing key needs no record, and opens.
    sec_attr nobody = caller_;
    nobody.username[0] = '\0';
    EXPECT_TRUE(v.create(system_, "a", nobody));
    // Written from the top, a name below the parent is fine.
    Key b = v.create(a, "SYSTEM.a.b", caller_);
    EXPECT_STREQ(b.get()->propr_keyhandle_keyname, "SYSTEM.a.b");
}

TEST_F(CreateTest, CreateAndSetIsOneStepAndNoOverwriteLeavesAnExistingKeyAlone)
{
    StoreView v = view();
    uint64_t used = v.used_pages();
    Key k(ctx());
    uint32_t disp = 0;
    ASSERT_EQ(cnset("n1.n2", 5000, 0, &k, &disp), 0u);
    EXPECT_EQ(disp, PROP_DISP_CREATED);
    EXPECT_EQ(v.used_pages(), used + 2 + 2);
    EXPECT_EQ(v.get(k).bytes, pattern(5000, static_cast<uint8_t>(5000)));
    EXPECT_TRUE(v.cached("SYSTEM.n1.n2"));

    Key again(ctx());
    ASSERT_EQ(cnset("n1.n2", 100, 0, &again, &disp), 0u);
    EXPECT_EQ(disp, PROP_DISP_EXISTED);
    EXPECT_EQ(v.get(k).bytes, pattern(100, 100));

    used = v.used_pages();
    uint32_t lsn = lsn_of(ctx());
    Key existing(ctx());
    EXPECT_EQ(cnset("n1.n2", 9000, PRZKV_FLAGS_NO_OVERWRITE, &existing, &disp), static_cast<uint32_t>(PROP_E_EXISTS));
    EXPECT_EQ(disp, PROP_DISP_EXISTED);
    EXPECT_TRUE(existing) << "the existing key's handle comes back with the refusal";
    EXPECT_EQ(lsn_of(ctx()), lsn) << "no transaction was begun, so nothing changed";

    Key none(ctx());
    EXPECT_EQ(cnset("big", 81537, 0, &none, &disp), static_cast<uint32_t>(PROP_E_TOOBIG));
    EXPECT_FALSE(none);
    EXPECT_EQ(v.open_rc("SYSTEM.big"), static_cast<uint32_t>(PROP_E_STALE));
    EXPECT_EQ(v.used_pages(), used);
}

// Security is replaced as a whole: names become ids (a new name is added),
// levels keep their low byte, and only the handle used learns it.
TEST_F(CreateTest, SetSecurityReplacesAllFiveFields)
{
    StoreView v = view();
    Key k = make(system_, "sec");
    Key other = v.open("SYSTEM.sec");
    sec_attr next = make_sec("someowner", "a-group-not-seen-before", 300, PROP_PERM_READ, PROP_PERM_ALL_ACCESS);
    ASSERT_EQ(prop_set_security(ctx(), k.get(), &next, 0), PROP_OK);
    sec_attr stored = next;
    stored.userperm = 300 % 256;
    EXPECT_TRUE(same_sec(v.security(k), stored));
    EXPECT_TRUE(same_sec(k.get()->propr_keyhandle_sec, next));
    EXPECT_TRUE(same_sec(other.get()->propr_keyhandle_sec, store_->top_security()));
}

}  // namespace

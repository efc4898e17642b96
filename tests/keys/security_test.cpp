// Key security: replaced as a whole, names turned into ids and back, levels
// kept to their low byte, and only the handle used learns the change.
#include "keys/keyhandle.h"
#include "keys_fixture.h"

namespace {

using SecurityTest = KeysTest;

TEST_F(SecurityTest, SetSecurityReplacesAllFiveFieldsAndSurvivesARestart)
{
    StoreView v = view();
    Key system = v.open("SYSTEM");
    Key k = v.create(system, "sec", store_->top_security());
    Key other = v.open("SYSTEM.sec");
    sec_attr next = make_sec("someowner", "a-group-not-seen-before", 300, PROP_PERM_READ, PROP_PERM_ALL_ACCESS);
    ASSERT_EQ(prop_set_security(ctx(), k.get(), &next, 0), 0u);

    sec_attr stored = next;
    stored.userperm = 300 % 256;
    EXPECT_TRUE(same_sec(v.security(k), stored));
    EXPECT_TRUE(same_sec(v.security(other), stored)) << "get reads the tnode, not the handle";
    EXPECT_TRUE(same_sec(k.get()->propr_keyhandle_sec, next));
    EXPECT_TRUE(same_sec(other.get()->propr_keyhandle_sec, store_->top_security()));

    k.reset();
    other.reset();
    system.reset();
    reopen();
    Key again = view().open("SYSTEM.sec");
    EXPECT_TRUE(same_sec(view().security(again), stored));
    EXPECT_TRUE(same_sec(again.get()->propr_keyhandle_sec, stored));
}

TEST_F(SecurityTest, ArgumentsAreChecked)
{
    Key system = view().open("SYSTEM");
    EXPECT_EQ(prop_get_security(ctx(), system.get(), nullptr), static_cast<uint32_t>(PROP_E_NULL));
    EXPECT_EQ(prop_set_security(ctx(), system.get(), nullptr, 0), static_cast<uint32_t>(PROP_E_NULL));
    sec_attr s{};
    EXPECT_EQ(prop_get_security(ctx(), nullptr, &s), static_cast<uint32_t>(PROP_E_KEYH));
    EXPECT_EQ(prop_set_security(ctx(), nullptr, &s, 0), static_cast<uint32_t>(PROP_E_KEYH));
}

}  // namespace

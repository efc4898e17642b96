// Key security is replaced as a whole: names become ids (a new name is
// added), levels keep their low byte, and only the handle used learns it.
#include "keys/keyhandle.h"
#include "keys_fixture.h"

namespace {

using SecurityTest = KeysTest;

TEST_F(SecurityTest, SetSecurityReplacesAllFiveFieldsAndSurvivesARestart)
{
    StoreView v = view();
    Key k = v.create(v.open("SYSTEM"), "sec", store_->top_security());
    Key other = v.open("SYSTEM.sec");
    sec_attr next = make_sec("someowner", "a-group-not-seen-before", 300, PROP_PERM_READ, PROP_PERM_ALL_ACCESS);
    ASSERT_EQ(prop_set_security(ctx(), k.get(), &next, 0), 0u);
    sec_attr stored = next;
    stored.userperm = 300 % 256;
    EXPECT_TRUE(same_sec(v.security(k), stored));
    EXPECT_TRUE(same_sec(k.get()->propr_keyhandle_sec, next));
    EXPECT_TRUE(same_sec(other.get()->propr_keyhandle_sec, store_->top_security()));

    k.reset();
    other.reset();
    reopen();
    EXPECT_TRUE(same_sec(view().security(view().open("SYSTEM.sec")), stored));
}

}  // namespace

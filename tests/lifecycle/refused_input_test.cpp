// Bad input at the caching level: it is refused with its own code and
// changes nothing, and it never ends the process, as a storage failure
// (26) there would.  The calls run in a child that exits 0 when every
// answer was the expected one.
#include <gtest/gtest.h>

#include <cstdlib>

#include "lifecycle_util.h"

namespace {

using ::testing::ExitedWithCode;

// Create and set security with a record that names no owner: 8 both.
bool refuses_owner_without_name(backend_ctx *ctx, const sec_attr &no_owner)
{
    propr_keyhandle *sys = nullptr;
    propr_keyhandle *kh = nullptr;
    u32 disposition = 0;
    return prop_open(ctx, "SYSTEM", &sys, 0) == 0 &&
           prop_create_key(ctx, sys, "new.deeper", &no_owner, &kh, &disposition, 0) == PROP_E_ARG && kh == nullptr &&
           prop_set_security(ctx, sys, &no_owner, 0) == PROP_E_ARG;
}

TEST(RefusedInput, AnOwnerWithoutANameIsTheCallersMistake)
{
    Store store;
    store.format();
    sec_attr no_owner = store.top_security();
    no_owner.username[0] = '\0';
    for (u32 level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING}) {
        SCOPED_TRACE(level);
        ASSERT_EQ(store.init(level), 0u);
        backend_ctx *ctx = store.ctx();
        EXPECT_EXIT(std::exit(refuses_owner_without_name(ctx, no_owner) ? 0 : 2), ExitedWithCode(0), "");
        ASSERT_EQ(store.terminate(), 0u);
    }
    // What the children left on the store: nothing.
    ASSERT_EQ(store.init(), 0u);
    propr_keyhandle *kh = nullptr;
    EXPECT_NE(prop_open(store.ctx(), "SYSTEM.new", &kh, 0), 0u);
    expect_top_keys(store.ctx(), store.top_security());
}

}  // namespace

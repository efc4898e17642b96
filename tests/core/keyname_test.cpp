#include <string>

#include "core/keyname.h"
#include "meta_fixture.h"
#include "platform/trace.h"
#include "support/tmpdir.h"

namespace {

using KeyNameTest = MetaTest;

TEST_F(KeyNameTest, DepthLastComponentAndParent)
{
    struct Case {
        const char *name;
        u32 depth;
        const char *last;
        const char *parent;
    } cases[] = {
        {"SYSTEM", 1, "SYSTEM", " "},  // a top-level key's parent is a blank
        {"SYSTEM.a.b", 3, "b", "SYSTEM.a"},
        {"a..b", 2, "b", "a."},  // empty components are not counted
        {".a", 1, "a", ""},
        {"", 0, "", " "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        u32 depth = 99;
        char last[64] = "?", parent[64] = "?";
        ASSERT_EQ(u_get_keydepth(meta, c.name, &depth, last, parent), 0u);
        EXPECT_EQ(depth, c.depth);
        EXPECT_STREQ(last, c.last);
        EXPECT_STREQ(parent, c.parent);
    }
}

TEST_F(KeyNameTest, RelativeNames)
{
    struct Case {
        const char *parent;
        const char *subkey;
        u32 rc;
        const char *rel;
    } cases[] = {
        {"SYSTEM.a", "SYSTEM.a.b.c", 0, "b.c"},
        {"SYSTEM.a", "x.y", 0, "x.y"},        // already relative
        {"SYSTEM", "SYSTEM", 1, ""},          // a key is not its own subkey
        {"SYSTEM.a", "SYSTEM.b.c", 1, ""},    // same root, not under the parent
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.parent) + " / " + c.subkey);
        char out[64] = "?";
        EXPECT_EQ(u_ator(meta, c.parent, c.subkey, out), c.rc);
        if (c.rc == 0) {
            EXPECT_STREQ(out, c.rel);
        }
    }
    char out[8];
    EXPECT_EQ(u_ator(meta, nullptr, "a", out), 1u);
}

TEST_F(KeyNameTest, ScratchAllocationFailuresLeakNothing)
{
    u32 depth = 0;
    char a[32], b[32];
    prop_fe_meta_fail_from(meta, 1);
    EXPECT_EQ(u_get_keydepth(meta, "a.b", &depth, a, b), 1u);
    EXPECT_EQ(u_ator(meta, "a", "a.b", a), 1u);
    prop_fe_meta_fail_from(meta, 2);  // the parent's copy succeeds, the subkey's fails
    EXPECT_EQ(u_ator(meta, "a", "a.b", a), 1u);
    prop_fe_meta_fail_from(meta, 0);
    EXPECT_EQ(u_get_keydepth(meta, nullptr, &depth, nullptr, nullptr), 1u);
}

TEST(LogLevelTest, EnvironmentLevels)
{
    struct Case {
        const char *env;  // nullptr: unset
        u32 rc;
        u32 level;        // what the caller's 3 becomes
    } cases[] = {
        // A level, one out of range and a component not named: trace_test.
        {"ZKVOSD:1,ZKVRAW:2", 0, 2},
        {"ZKVRAW=3", 1, 3},  // wrong delimiter
        {"ZKVRAW:x", 1, 3},
        {nullptr, 1, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.env != nullptr ? c.env : "(unset)");
        ScopedEnv env("ZKV_LOGGING_LEVEL", c.env);
        u32 level = 3;
        EXPECT_EQ(u_get_env_loglevel("ZKVRAW", &level, nullptr), c.rc);
        EXPECT_EQ(level, c.level);
    }
    u32 level = 0;
    EXPECT_EQ(u_get_env_loglevel(nullptr, &level, nullptr), 1u);
    EXPECT_EQ(u_get_env_loglevel("ZKVRAW", nullptr, nullptr), 1u);
}

}  // namespace

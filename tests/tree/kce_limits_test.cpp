// The child limit and the use of ADDR pages, by boot level and by the
// active version the front end reports.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/handle.h"
#include "platform/version.h"
#include "tree/kce_limits.h"

namespace {

TEST(KceLimits, VersionTextPacksOrIsRefused)
{
    struct Case {
        const char *text;
        bool ok;
        u32 number;
    } cases[] = {{"12.2", true, 0x0C200000},
                 {"12.1.0.2.0", true, 0x0C100200},
                 {"12.2.1", true, 0x0C201000},
                 {"", false, 0},
                 {"12..2", false, 0},
                 {"12.2a", false, 0},
                 {"12.16", false, 0},
                 {"256", false, 0},
                 {"1.2.3.4.5.6", false, 0}};
    for (const Case &c : cases) {
        u32 number = 0xDEAD;
        EXPECT_EQ(version_to_number(c.text, &number), c.ok) << c.text;
        EXPECT_EQ(number, c.number) << c.text;
    }
}

TEST(KceLimits, ByBootLevelAndActiveVersion)
{
    auto handle = std::make_unique<proprhandle>();
    auto zkv = std::make_unique<przkv_ctx>();
    struct Case {
        u32 level;
        const char *version;  // nullptr: no front-end context
        u32 rc, use, max;
    } cases[] = {{0, nullptr, 0, 1, 10000}, {2, nullptr, 0, 1, 10000},     {4, nullptr, 0, 1, 10000},
                 {8, nullptr, 0, 1, 10000}, {1, "12.1.0.2.0", 0, 0, 4096}, {1, "12.2.0.0.0", 0, 1, 10000},
                 {1, "garbage", 3, 9, 9},   {1, nullptr, 13, 9, 9},        {5, nullptr, 3, 9, 9}};
    for (const Case &c : cases) {
        handle->proprhandle_bootlevel = c.level;
        handle->proprhandle_zkvctx = c.version != nullptr ? zkv.get() : nullptr;
        if (c.version != nullptr) std::strcpy(zkv->active_version, c.version);
        u32 use = 9, max = 9;
        EXPECT_EQ(proprut_use_sindirect_kcepages(handle.get(), &use, &max), c.rc) << c.level;
        EXPECT_EQ(use, c.use) << c.level;
        EXPECT_EQ(max, c.max) << c.level;
    }
}

}  // namespace

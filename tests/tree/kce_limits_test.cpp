// The child limit and the use of ADDR pages, by boot level and active version.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/handle.h"
#include "tree/kce_limits.h"

namespace {

TEST(KceLimits, ByBootLevelAndActiveVersion)
{
    auto handle = std::make_unique<proprhandle>();
    auto zkv = std::make_unique<przkv_ctx>();
    struct Case {
        u32 level;
        const char *version;  // nullptr: no front-end context
        u32 rc, use, max;
    } cases[] = {
        {0, nullptr, 0, 1, 10000},
        {2, nullptr, 0, 1, 10000},
        {4, nullptr, 0, 1, 10000},
        {8, nullptr, 0, 1, 10000},
        {1, "12.1.0.2.0", 0, 0, 4096},
        {1, "12.2.0.0.0", 0, 1, 10000},
        {1, "12.2", 0, 1, 10000},
        {1, "19.0.0.0.0", 0, 1, 10000},
        {1, "11.2.0.4.0", 0, 0, 4096},
        {1, "garbage", PROP_E_CTX, 99, 99},
        {1, "", PROP_E_CTX, 99, 99},
        {1, nullptr, PROP_E_NULL, 99, 99},
        {3, nullptr, PROP_E_CTX, 99, 99},
        {5, nullptr, PROP_E_CTX, 99, 99},
        {6, nullptr, PROP_E_CTX, 99, 99},
    };
    for (const Case &c : cases) {
        handle->proprhandle_bootlevel = c.level;
        handle->proprhandle_zkvctx = nullptr;
        if (c.version != nullptr) {
            std::strcpy(zkv->active_version, c.version);
            handle->proprhandle_zkvctx = zkv.get();
        }
        u32 use = 99, max = 99;
        EXPECT_EQ(proprut_use_sindirect_kcepages(handle.get(), &use, &max), c.rc)
            << c.level << " " << (c.version ? c.version : "-");
        EXPECT_EQ(use, c.use) << c.level << " " << (c.version ? c.version : "-");
        EXPECT_EQ(max, c.max) << c.level << " " << (c.version ? c.version : "-");
    }
    u32 use = 0;
    EXPECT_EQ(proprut_use_sindirect_kcepages(nullptr, &use, &use), PROP_E_NULL);
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>

#include "core/handle.h"
#include "format/storemap.h"
#include "platform/trace.h"

TEST(StoreMap, AreasFollowTheBitmapCountForAnySize)
{
    struct Case {
        u32 pages;
        u32 num_fcl;
        u32 grow_to;
    } cases[] = {{3, 1, 0},         {32512, 1, 0},           {32513, 2, 0}, {0x19000, 4, 0},
                 {0x19000, 4, 1000}, {0x19000, 13, 4 * 0x19000}, {1014u * 32512, 1014, 0}};
    for (const Case &c : cases) {
        propr_storemap m{};
        ASSERT_EQ(propr_storemap_compute(c.pages, &m, c.grow_to), PROP_OK) << c.pages;
        u32 n = c.num_fcl;
        EXPECT_EQ(m.num_fcl, n) << c.pages;
        EXPECT_EQ(m.numpage, c.pages - 2 * n);
        EXPECT_EQ(m.ndk_addr, 12288 + 8192 * n);
        EXPECT_EQ(m.rtnst, m.ndk_addr + 4096 * (1 + 20490 + 2));
        // The last page lies where a file location must reach.
        EXPECT_EQ(m.last_page_addr, (u64{m.numpage - 1} << 12) + (n << 13) + PROPR_FIXED_BYTES);
        EXPECT_EQ(m.file_bytes, m.last_page_addr + 4096 + PROPR_RESERVED_PREFIX);
        // Sized back by the device rule, the file holds exactly the pages.
        EXPECT_EQ((m.file_bytes - 0x5029000) / 4096, c.pages);
        // As many bitmap pages as count the pages it may grow to, and no more.
        const u32 target = std::max(c.pages, c.grow_to);
        EXPECT_GE(u64{n} * 32512, target);
        EXPECT_LT(u64{n - 1} * 32512, target);
        EXPECT_GE(propr_storemap_limit(n), target);
    }
}

TEST(StoreMap, RefusesStoresTooSmallOrBeyondWhatBitmapsCanCount)
{
    trace_capture_start();
    propr_storemap m{};
    EXPECT_EQ(propr_storemap_compute(2, &m), PROP_E_STORAGE);
    EXPECT_TRUE(trace_captured_contains(
        "rut_compute_remaining_numpage: problem calculating numpage disk too small (numpage=2, num_fcl=1)"));
    EXPECT_EQ(propr_storemap_compute(1014u * 32512 + 1, &m), PROP_E_STORAGE);
    EXPECT_EQ(propr_storemap_compute(0x19000, &m, 1014u * 32512 + 1), PROP_E_STORAGE);

    u32 n = 99;
    EXPECT_EQ(proprut_compute_fcl(32512, 0, nullptr), PROP_E_STORAGE);
    EXPECT_EQ(proprut_compute_fcl(0, 5, &n), PROP_E_STORAGE);
    // Too many bitmap pages is logged, not refused: the open refuses the store.
    EXPECT_EQ(proprut_compute_fcl(32512, 1014u * 32512 + 1, &n), PROP_OK);
    EXPECT_EQ(n, 1015u);
    EXPECT_TRUE(trace_captured_contains(
        "proprut_compute_fcl: The number of FCLs calculated [1015] is greater than the maximum number supported [1014]"));
    trace_capture_stop();

    proprhandle *h = new proprhandle{};
    h->proprhandle_num_fcl = 4;
    EXPECT_EQ(rut_compute_remaining_numpage(h, 102400), 102392u);
    EXPECT_EQ(rut_compute_remaining_numpage(h, 8), 0u);
    delete h;
}

// Allocation and freeing of tnode-area pages through the bitmap pages, on a
// hand-built store.
#include <gtest/gtest.h>

#include <vector>

#include "format/block.h"
#include "format/storemap.h"
#include "space/fcl.h"
#include "space/used.h"
#include "support/raw_store.h"

namespace {

u32 alloc_page(proprhandle *h)
{
    u32 page = 0;
    u32 rc = proprutffp(h, &page);
    return rc == PROP_OK ? page : 100000000 + rc;
}

u32 is_free(proprhandle *h, u32 page)
{
    u32 isfree = 99;
    EXPECT_EQ(proprutifp(h, page, &isfree), PROP_OK);
    return isfree;
}

// Writes bitmap page index (both copies) with every bit of bytes
// [from, to) set.
void fill_bitmap(const RawStore &store, u32 index, u32 from, u32 to)
{
    for (u32 copy = 0; copy < 2; ++copy) {
        u32 addr = propr_fcl_addr(index, copy);
        Block map = store.make_block(addr, PROPR_BLK_METADATA, 0);
        for (u32 b = from; b < to; ++b) map[32 + b] = 0xFF;
        store.write_all(addr, map);
    }
}

TEST(FreeSpace, AllocationIsFirstFitFromPageOne)
{
    RawStore store;
    store.mark_used({1, 2, 4});
    store.reopen();
    proprhandle *h = store.handle();

    EXPECT_EQ(alloc_page(h), 3u);
    EXPECT_EQ(alloc_page(h), 5u);
    EXPECT_EQ(h->proprhandle_fcl[0]->propr_fcl_changed, 1u);
    // A freed page below the others is the next one handed out.
    ASSERT_EQ(proprutcfp(h, 2, 0), PROP_OK);
    EXPECT_EQ(h->proprhandle_fcl[0]->propr_fcl_first_free, 1);
    EXPECT_EQ(alloc_page(h), 2u);
    EXPECT_EQ(alloc_page(h), 6u);
}

TEST(FreeSpace, NeverHandsOutPageZeroOrPagesFromNumpageOn)
{
    RawStoreOptions opt;
    opt.numpage = 10;
    RawStore store(opt);
    proprhandle *h = store.handle();

    std::vector<u32> got;
    for (u32 i = 0; i < 9; ++i) got.push_back(alloc_page(h));
    EXPECT_EQ(got, (std::vector<u32>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    // Only bits for pages 10 and above are clear now.
    EXPECT_EQ(alloc_page(h), 100000000u + PROP_E_NOSPACE);
    EXPECT_EQ(is_free(h, 0), 0u);
    EXPECT_EQ(is_free(h, 10), 1u);
}

TEST(FreeSpace, SearchMovesToTheNextBitmapPageWhenOneIsFull)
{
    RawStoreOptions opt;
    opt.num_fcl = 2;
    opt.numpage = PROPR_BITS_PER_FCL + 100;
    RawStore store(opt);
    fill_bitmap(store, 0, 0, 4064);
    store.reopen();
    proprhandle *h = store.handle();

    EXPECT_EQ(alloc_page(h), PROPR_BITS_PER_FCL + 1);
    EXPECT_EQ(h->proprhandle_fcl[0]->propr_fcl_changed, 0u);
    EXPECT_EQ(h->proprhandle_fcl[1]->propr_fcl_changed, 1u);

    // The last page of the first bitmap page maps to its last bit.
    ASSERT_EQ(proprutcfp(h, PROPR_BITS_PER_FCL, 0), PROP_OK);
    EXPECT_EQ(h->proprhandle_fcl[0]->propr_fcl_first_free, static_cast<i32>(PROPR_BITS_PER_FCL - 1));
    EXPECT_EQ(alloc_page(h), PROPR_BITS_PER_FCL);
}

TEST(FreeSpace, UnreadableOrOutOfRangePagesAreRefused)
{
    RawStore store;
    proprhandle *h = store.handle();
    u32 isfree = 0;
    EXPECT_EQ(proprutifp(h, 32513, &isfree), PROP_E_STORAGE);
    EXPECT_EQ(proprutcfp(h, 0, 0), PROP_E_STORAGE);
    EXPECT_EQ(proprutcfp(h, 32513, 0), PROP_E_STORAGE);
    EXPECT_EQ(proprutifp(h, 1, nullptr), PROP_E_NULL);

    // A current bitmap copy whose header does not validate stops allocation.
    store.write_all(propr_fcl_addr(0, 0), store.make_block(propr_fcl_addr(0, 0), PROPR_BLK_TNODE, 0));
    store.reopen();
    u32 page = 0;
    EXPECT_EQ(proprutffp(store.handle(), &page), PROP_E_STORAGE);
    EXPECT_EQ(proprutcfp(store.handle(), 3, 0), PROP_E_STORAGE);
}

TEST(FreeSpace, DeferredFreesQueueUntilCommitAndListsGrowByTen)
{
    RawStore store;
    proprhandle *h = store.handle();
    for (u32 i = 0; i < 25; ++i) ASSERT_EQ(alloc_page(h), i + 1);
    for (u32 p = 1; p <= 25; ++p) ASSERT_EQ(proprutcfp(h, p, PROPR_FREE_DEFERRED), PROP_OK);
    EXPECT_EQ(h->proprhandle_free_page_list_used, 25u);
    EXPECT_EQ(h->proprhandle_free_page_list_max, 30u);
    EXPECT_EQ(h->propr_handle_free_page_list[24], 25u);
    EXPECT_EQ(is_free(h, 1), 0u);
    EXPECT_EQ(alloc_page(h), 26u);
}

TEST(FreeSpace, UsedPageCountIsTheHighestAllocatedPage)
{
    RawStoreOptions opt;
    opt.num_fcl = 3;
    opt.numpage = 2 * PROPR_BITS_PER_FCL + 50;
    RawStore store(opt);
    u32 used = 99;
    ASSERT_EQ(proprut_used_pages(store.handle(), &used), PROP_OK);
    EXPECT_EQ(used, 0u);

    store.mark_used({1});
    store.reopen();
    ASSERT_EQ(proprut_used_pages(store.handle(), &used), PROP_OK);
    EXPECT_EQ(used, 1u);

    // The highest page wins over lower bitmap pages; the empty last page is
    // passed over.
    store.mark_used({700, PROPR_BITS_PER_FCL + 9});
    store.reopen();
    ASSERT_EQ(proprut_used_pages(store.handle(), &used), PROP_OK);
    EXPECT_EQ(used, PROPR_BITS_PER_FCL + 9);

    // Pages allocated in memory count too.
    u32 page = 0;
    ASSERT_EQ(proprutffp(store.handle(), &page), PROP_OK);
    ASSERT_EQ(proprut_used_pages(store.handle(), &used), PROP_OK);
    EXPECT_EQ(used, PROPR_BITS_PER_FCL + 9);
    store.mark_used({2 * PROPR_BITS_PER_FCL + 1});
    store.reopen();
    ASSERT_EQ(proprut_used_pages(store.handle(), &used), PROP_OK);
    EXPECT_EQ(used, 2 * PROPR_BITS_PER_FCL + 1);
}

TEST(FreeSpace, RecordsAllocationFailuresLeakNothing)
{
    RawStore store;
    proprhandle *h = store.handle();
    proprut_free_fcl(h);
    h->proprhandle_num_fcl = 3;
    u64 base = store.live_blocks();
    // proprutifcl takes 6 blocks: the array, 3 records, 2 lists.
    for (u64 n = 1; n <= 6; ++n) {
        prop_fe_meta_fail_from(store.meta(), n);
        EXPECT_EQ(proprutifcl(h), PROP_E_NOMEM) << n;
        prop_fe_meta_fail_from(store.meta(), 0);
        EXPECT_EQ(store.live_blocks(), base) << n;
        EXPECT_EQ(h->proprhandle_fcl, nullptr);
    }
    ASSERT_EQ(proprutifcl(h), PROP_OK);
    EXPECT_EQ(store.live_blocks(), base + 6);
    for (u32 i = 0; i < 3; ++i) {
        EXPECT_EQ(h->proprhandle_fcl[i]->propr_fcl_last_reserved, -1);
        EXPECT_EQ(h->proprhandle_fcl[i]->propr_fcl_first_free, -1);
        EXPECT_EQ(h->proprhandle_fcl[i]->propr_fcl_read, 0u);
    }
    proprut_free_fcl(h);
    EXPECT_EQ(store.live_blocks(), base);
    h->proprhandle_num_fcl = 1;  // the store's own count again, for teardown
    ASSERT_EQ(proprutifcl(h), PROP_OK);
}

}  // namespace

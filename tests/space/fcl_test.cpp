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

constexpr u32 kNoSpace = 100000000 + PROP_E_NOSPACE;

TEST(FreeSpace, AllocationIsFirstFitFromPageOneAndStopsBeforeNumpage)
{
    RawStoreOptions opt;
    opt.numpage = 10;
    RawStore store(opt);
    store.mark_used({1, 2, 4});
    store.reopen();
    proprhandle *h = store.handle();

    EXPECT_EQ(alloc_page(h), 3u);
    ASSERT_EQ(proprutcfp(h, 2, 0), PROP_OK);  // a page freed below is taken next
    std::vector<u32> got;
    for (u32 i = 0; i < 6; ++i) got.push_back(alloc_page(h));
    EXPECT_EQ(got, (std::vector<u32>{2, 5, 6, 7, 8, 9}));
    // Only the bits of page 10 and above are clear now.
    EXPECT_EQ(alloc_page(h), kNoSpace);
    EXPECT_EQ(page_is_free(h, 0), 0u);
    EXPECT_EQ(page_is_free(h, 10), 1u);
    EXPECT_EQ(proprutcfp(h, 0, 0), PROP_E_STORAGE);
    EXPECT_EQ(proprutcfp(h, PROPR_BITS_PER_FCL + 1, 0), PROP_E_STORAGE);  // no bitmap page covers it
}

TEST(FreeSpace, TheSearchGoesOnInTheNextBitmapPage)
{
    RawStore store(RawStoreOptions{.num_fcl = 2, .numpage = PROPR_BITS_PER_FCL + 100});
    for (u32 copy = 0; copy < 2; ++copy)
        store.write_all(propr_fcl_addr(0, copy), store.make_block(propr_fcl_addr(0, copy), PROPR_BLK_METADATA, 0xFF));
    store.reopen();
    proprhandle *h = store.handle();

    EXPECT_EQ(alloc_page(h), PROPR_BITS_PER_FCL + 1);
    EXPECT_EQ(h->proprhandle_fcl[0]->propr_fcl_changed, 0u);
    ASSERT_EQ(proprutcfp(h, PROPR_BITS_PER_FCL, 0), PROP_OK);  // the last bit of the first page
    EXPECT_EQ(alloc_page(h), PROPR_BITS_PER_FCL);

    // A current copy whose header does not validate stops allocation.
    store.write_all(propr_fcl_addr(1, 0), store.make_block(propr_fcl_addr(1, 0), PROPR_BLK_TNODE, 0));
    store.reopen();
    EXPECT_EQ(alloc_page(store.handle()), 100000000u + PROP_E_STORAGE);
}

TEST(FreeSpace, UsedPageCountIsTheHighestAllocatedPage)
{
    RawStore store(RawStoreOptions{.num_fcl = 3, .numpage = 2 * PROPR_BITS_PER_FCL + 50});
    // Page 1 alone counts (bit 0); a higher bitmap page wins; the empty
    // last one is passed over.
    for (u32 mark : {0u, 1u, 700u, PROPR_BITS_PER_FCL + 9}) {
        if (mark != 0) store.mark_used({mark});
        store.reopen();
        u32 used = 99;
        ASSERT_EQ(proprut_used_pages(store.handle(), &used), PROP_OK);
        EXPECT_EQ(used, mark) << "the highest page marked";
    }
}

}  // namespace

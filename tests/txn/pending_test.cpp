// Pages a transaction changes are kept in memory until its commit: a page
// changed many times reaches the store once, after its image and before
// the commit point, and the transaction reads its own pages.
#include <gtest/gtest.h>

#include "format/block.h"
#include "format/layout.h"
#include "format/storemap.h"
#include "space/fcl.h"
#include "txn/commit.h"
#include "txn/pending.h"
#include "txn/recover.h"
#include "txn_support.h"

namespace {

TEST(KeptPages, APageChangedManyTimesReachesTheStoreOnceBeforeTheCommitPoint)
{
    RawStore store;
    proprhandle *h = store.handle();
    store.put_page(3, PROPR_BLK_TNODE, 0xA3);
    store.put_page(5, PROPR_BLK_TNODE, 0xA5);
    store.faults().set_record(true);

    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    for (u8 fill = 0xB0; fill < 0xBA; fill++) change_page(store, 5, fill);
    change_page(store, 3, 0xC3);
    Block own{};
    ASSERT_EQ(ut_page_read(h, own.data(), store.page_addr(5), 0), PROP_OK);
    EXPECT_EQ(own[100], 0xB9);                // the transaction sees its own pages
    EXPECT_EQ(store.payload(0, 5), 0xA5);     // the store does not, yet
    ASSERT_EQ(alloc_page(h), 1u);
    ASSERT_EQ(proprutfsu(h), PROP_OK);

    // Four groups, each ended by a barrier; neighbours share one write.
    const u32 boot = 0, meta = store.lsst();
    const std::vector<Written> expected = {
        {0, boot, 1}, {0, store.log_slot_addr(1), 2},         // both images, the log made live
        {1, meta, 1},                                        // the metadata that counts them
        {2, 8192, 1}, {2, propr_fcl_addr(0, 1), 1},          // superblock and bitmap copies,
        {2, store.page_addr(3), 1}, {2, store.page_addr(5), 1},  // each page once
        {3, boot, 1},                                        // the commit point
    };
    EXPECT_EQ(written_blocks(store), expected);
    EXPECT_EQ(store.payload(0, 5), 0xB9);
    EXPECT_EQ(store.payload(0, 3), 0xC3);
}

// A transaction that saves no image needs no live log: its fresh pages,
// bitmap, superblock and metadata go out together, then the boot block.
// One that changes nothing writes nothing, its begin included.
TEST(KeptPages, WithoutImagesTheLogNeverGoesLive)
{
    RawStore store;
    proprhandle *h = store.handle();
    store.faults().set_record(true);
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    const u32 fresh = alloc_page(h);
    ASSERT_EQ(proprut_add_newpagelist(h, fresh), PROP_OK);
    Block b = store.page_block(fresh, 0xC1);
    ASSERT_EQ(ut_page_write(h, b.data(), store.page_addr(fresh)), PROP_OK);
    ASSERT_EQ(proprutfsu(h), PROP_OK);
    const std::vector<Written> expected = {
        {0, 8192, 1}, {0, propr_fcl_addr(0, 1), 1}, {0, store.lsst(), 1}, {0, store.page_addr(fresh), 1},
        {1, 0, 1},
    };
    EXPECT_EQ(written_blocks(store), expected);
    EXPECT_EQ(store.boot_be32(0, BOOT_OFF_COMMIT_LSN), 8u);

    // A begin opens the transaction in memory only, and drops what the
    // page lists held before it.
    ASSERT_EQ(proprutcfp(h, 9, PROPR_FREE_DEFERRED), PROP_OK);
    ASSERT_EQ(proprut_add_newpagelist(h, 10), PROP_OK);
    store.faults().reset();
    store.faults().set_record(true);
    ASSERT_EQ(proprutbeginlog(h, 12), PROP_OK);
    EXPECT_EQ(h->proprhandle_free_page_list_used + h->proprhandle_new_page_list_used, 0u);
    EXPECT_EQ(h->bootbuf[BOOT_OFF_LOG_VALID], 1);
    ASSERT_EQ(proprutfsu(h), PROP_OK);
    EXPECT_TRUE(store.faults().recorded().empty());
    EXPECT_EQ(h->bootbuf[BOOT_OFF_LOG_VALID], 0);
}

// A transaction that keeps more than fits in memory writes what it holds
// ahead of its commit, images first, and goes on; a rollback still undoes
// all of it from the store.
TEST(KeptPagesLimit, WhatATransactionWritesAheadStillRollsBack)
{
    RawStore store({.numpage = 2200});
    proprhandle *h = store.handle();
    constexpr u32 kPages = 2100;  // images and pages: more than are kept
    for (u32 page = 1; page <= kPages; page++) store.put_page(page, PROPR_BLK_TNODE, 0xA0);
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    for (u32 page = 1; page <= kPages; page++) {
        ASSERT_EQ(proprutlog(h, page, nullptr), PROP_OK) << page;
        Block b = store.page_block(page, 0xB0);
        ASSERT_EQ(ut_page_write(h, b.data(), store.page_addr(page)), PROP_OK) << page;
    }
    EXPECT_EQ(store.payload(0, 1), 0xB0);  // written ahead of any commit
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_LOG_VALID), 1);
    ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
    for (u32 page : {1u, 1000u, kPages}) EXPECT_EQ(store.payload(0, page), 0xA0) << page;
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_LOG_VALID), 0);
}

// A store larger than 4 GiB: a page past it is written, logged and rolled
// back at its own place, never at the one 4 GiB lower that 32-bit block
// addresses would name.
TEST(LargeStore, APagePastFourGiBIsWrittenLoggedAndRolledBackInItsOwnPlace)
{
    // The tree area ends past 5 GiB; the files stay sparse.
    RawStore store({.num_fcl = 40, .numpage = 40 * 32512});
    proprhandle *h = store.handle();
    const u32 far = 1100000;
    const u32 alias = far - (1u << 20);
    ASSERT_GT(store.page_addr(far), u64{1} << 32);
    ASSERT_EQ(store.page_addr(far) - store.page_addr(alias), u64{1} << 32);
    store.put_page(far, PROPR_BLK_TNODE, 0xA1);
    store.put_page(alias, PROPR_BLK_TNODE, 0xC3);

    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    change_page(store, far, 0xD4);
    ASSERT_EQ(proprutfsu(h), PROP_OK);
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    change_page(store, far, 0xE5);
    ASSERT_EQ(ut_pending_flush(h), PROP_OK);  // on the store, with its image in the log
    EXPECT_EQ(store.payload(0, far), 0xE5);
    ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
    EXPECT_EQ(store.payload(0, far), 0xD4);
    EXPECT_EQ(store.payload(0, alias), 0xC3);
}

}  // namespace

// The commit: bitmap pages and the superblock go to their other copies,
// the boot block last; deferred frees are released only here.
#include <gtest/gtest.h>

#include <cstring>

#include "format/cursor.h"
#include "format/storemap.h"
#include "space/fcl.h"
#include "txn/commit.h"
#include "txn/layout.h"
#include "txn_support.h"

namespace {

bool bit_on_disk(const RawStore &store, u32 copy, u32 page)
{
    Block map = store.read(0, propr_fcl_addr(0, copy));
    u32 bit = page - 1;
    return (map[32 + (bit >> 3)] >> (bit & 7)) & 1U;
}

u32 alloc_page(proprhandle *h)
{
    u32 page = 0;
    EXPECT_EQ(proprutffp(h, &page), PROP_OK);
    return page;
}

TEST(Commit, ChangedBitmapsAndTheSuperblockGoToTheirOtherCopiesBeforeTheBootBlock)
{
    RawStore store;
    proprhandle *h = store.handle();
    Block super0 = store.read(0, 4096);
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    EXPECT_EQ(alloc_page(h), 1u);
    ASSERT_EQ(proprutfsu(h), PROP_OK);

    EXPECT_TRUE(bit_on_disk(store, 1, 1));
    EXPECT_FALSE(bit_on_disk(store, 0, 1));
    Block map1 = store.read(0, propr_fcl_addr(0, 1));
    EXPECT_EQ(hdr_verify_checksum(map1.data(), 4096), 0u);
    EXPECT_EQ(map1[4] | (map1[5] << 8), 2 * 0 + 1 + 28);  // header block number of copy 1

    Block super1 = store.read(0, 8192);
    EXPECT_EQ(store.read(0, 4096), super0);
    EXPECT_EQ(be32_at(super1.data(), SUPER_OFF_FREE_SPACE_ADDR), 1u);
    EXPECT_EQ(super1[4], 27);
    EXPECT_EQ(hdr_verify_checksum(super1.data(), 4096), 0u);

    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_SUPER_SELECTOR), 1);
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_LOG_VALID), 0);
    EXPECT_EQ(store.boot_be32(0, BOOT_OFF_COMMIT_LSN), 8u);
    EXPECT_EQ(h->proprhandle_fcl[0]->free_space_addr, 1u);
    EXPECT_EQ(h->proprhandle_fcl[0]->propr_fcl_changed, 0u);
    EXPECT_EQ(std::memcmp(h->superbuf, super1.data(), 4096), 0);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_lsn, 8u);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_opid, 0u);

    // A new process finds the page in use through the new copies.
    store.reopen();
    EXPECT_EQ(alloc_page(store.handle()), 2u);
}

TEST(Commit, ACommitThatChangedNoBitmapLeavesBothSuperblocksAlone)
{
    RawStore store;
    proprhandle *h = store.handle();
    Block super0 = store.read(0, 4096), super1 = store.read(0, 8192);
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    change_page(store, 0, 0x10);
    ASSERT_EQ(proprutfsu(h), PROP_OK);
    EXPECT_EQ(store.read(0, 4096), super0);
    EXPECT_EQ(store.read(0, 8192), super1);
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_SUPER_SELECTOR), 0);
    EXPECT_EQ(store.boot_be32(0, BOOT_OFF_COMMIT_LSN), 8u);
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_LOG_VALID), 0);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_ltail, 0u);
}

TEST(Commit, TwoCommitsThatChangeABitmapBringItsCopyAndTheSelectorBack)
{
    RawStore store;
    proprhandle *h = store.handle();
    for (u32 round = 1; round <= 2; ++round) {
        ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
        EXPECT_EQ(alloc_page(h), round);
        ASSERT_EQ(proprutfsu(h), PROP_OK);
    }
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_SUPER_SELECTOR), 0);
    EXPECT_EQ(h->proprhandle_fcl[0]->free_space_addr, 0u);
    EXPECT_EQ(be32_at(store.read(0, 4096).data(), SUPER_OFF_FREE_SPACE_ADDR), 0u);
    EXPECT_TRUE(bit_on_disk(store, 0, 1));
    EXPECT_TRUE(bit_on_disk(store, 0, 2));
    EXPECT_FALSE(bit_on_disk(store, 1, 2));
    EXPECT_EQ(store.boot_be32(0, BOOT_OFF_COMMIT_LSN), 9u);
}

TEST(Commit, DeferredFreesAreReleasedAtCommit)
{
    RawStore store;
    store.mark_used({1, 2, 3});
    store.reopen();
    proprhandle *h = store.handle();
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    ASSERT_EQ(proprutcfp(h, 2, PROPR_FREE_DEFERRED), PROP_OK);
    u32 isfree = 9;
    ASSERT_EQ(proprutifp(h, 2, &isfree), PROP_OK);
    EXPECT_EQ(isfree, 0u);
    EXPECT_EQ(alloc_page(h), 4u);  // page 2 is not reused inside the transaction
    ASSERT_EQ(proprutfsu(h), PROP_OK);
    EXPECT_EQ(h->proprhandle_free_page_list_used, 0u);
    EXPECT_FALSE(bit_on_disk(store, 1, 2));
    EXPECT_TRUE(bit_on_disk(store, 1, 4));

    store.reopen();
    ASSERT_EQ(proprutifp(store.handle(), 2, &isfree), PROP_OK);
    EXPECT_EQ(isfree, 1u);
    EXPECT_EQ(alloc_page(store.handle()), 2u);
}

TEST(Commit, AClonedAddressPageReplacesTheOldOneAtCommit)
{
    RawStore store;
    store.mark_used({1, 2});
    store.put_page(2, PROPR_BLK_ADDR, 0x22);
    store.reopen();
    proprhandle *h = store.handle();
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    Block buf = store.read(0, store.page_addr(2));
    u32 page = 2;
    ASSERT_EQ(proprut_log_addrpage(h, &page, buf.data()), PROP_OK);
    ASSERT_EQ(page, 3u);
    ASSERT_EQ(proprutfsu(h), PROP_OK);
    EXPECT_FALSE(bit_on_disk(store, 1, 2));
    EXPECT_TRUE(bit_on_disk(store, 1, 3));
}

}  // namespace

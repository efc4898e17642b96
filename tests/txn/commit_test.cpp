// The commit: bitmap pages and the superblock go to their other copies,
// the boot block last.
#include <gtest/gtest.h>

#include <cstring>

#include "format/cursor.h"
#include "format/layout.h"
#include "format/storemap.h"
#include "space/fcl.h"
#include "txn/commit.h"
#include "txn_support.h"

namespace {

bool bit_on_disk(const RawStore &store, u32 copy, u32 page)
{
    Block map = store.read(0, propr_fcl_addr(0, copy));
    return (map[32 + ((page - 1) >> 3)] >> ((page - 1) & 7)) & 1U;
}

TEST(Commit, ChangedBitmapsAndTheSuperblockGoToTheirOtherCopiesOnlyWhenABitmapChanged)
{
    RawStore store;
    proprhandle *h = store.handle();
    Block super0 = store.read(0, 4096);
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    EXPECT_EQ(alloc_page(h), 1u);
    ASSERT_EQ(proprutfsu(h), PROP_OK);

    EXPECT_TRUE(bit_on_disk(store, 1, 1));
    EXPECT_FALSE(bit_on_disk(store, 0, 1));
    Block super1 = store.read(0, 8192);
    EXPECT_EQ(store.read(0, 4096), super0);
    EXPECT_EQ(be32_at(super1.data(), SUPER_OFF_FREE_SPACE_ADDR), 1u);
    EXPECT_EQ(std::memcmp(h->superbuf, super1.data(), 4096), 0);
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_SUPER_SELECTOR), 1);
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_LOG_VALID), 0);
    EXPECT_EQ(store.boot_be32(0, BOOT_OFF_COMMIT_LSN), 8u);

    // A second transaction that changes the bitmap brings both back.
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    EXPECT_EQ(alloc_page(h), 2u);
    ASSERT_EQ(proprutfsu(h), PROP_OK);
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_SUPER_SELECTOR), 0);
    EXPECT_EQ(be32_at(store.read(0, 4096).data(), SUPER_OFF_FREE_SPACE_ADDR), 0u);
    EXPECT_TRUE(bit_on_disk(store, 0, 1) && bit_on_disk(store, 0, 2));
    EXPECT_EQ(store.boot_be32(0, BOOT_OFF_COMMIT_LSN), 9u);

    // A commit that changed no bitmap leaves both superblocks alone.
    super0 = store.read(0, 4096);
    super1 = store.read(0, 8192);
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    change_page(store, 0, 0x10);
    ASSERT_EQ(proprutfsu(h), PROP_OK);
    EXPECT_EQ(store.read(0, 4096), super0);
    EXPECT_EQ(store.read(0, 8192), super1);
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_SUPER_SELECTOR), 0);
    EXPECT_EQ(store.boot_be32(0, BOOT_OFF_COMMIT_LSN), 10u);
    store.reopen();
    EXPECT_EQ(alloc_page(store.handle()), 3u);
}

}  // namespace

// The undo log: one image per page, the end of the page table, the full
// log, and address pages cloned instead of logged.
#include <gtest/gtest.h>

#include "format/cursor.h"
#include "format/layout.h"
#include "space/fcl.h"
#include "txn/commit.h"
#include "txn_support.h"

namespace {

TEST(UndoLog, APageGetsOneImagePerTransaction)
{
    RawStore store;
    proprhandle *h = store.handle();
    store.put_page(5, PROPR_BLK_TNODE, 0xA5);
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    change_page(store, 5, 0xB1);
    change_page(store, 5, 0xB2);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_ltail, 1u);
    ASSERT_EQ(ut_pending_flush(h), PROP_OK);

    Block image = store.read(0, store.log_slot_addr(1));
    EXPECT_EQ(image[100], 0xA5);
    EXPECT_EQ(header_of(image).propr_hdr_undo_blkno, 5u);
    Block meta = store.read(0, store.lsst());
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_LSN), 8u);
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_OPID), 11u);
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_LTAIL), 1u);
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_TABLE), 5u);
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_LOG_VALID), 1);
    EXPECT_EQ(store.boot_be32(0, BOOT_OFF_COMMIT_LSN), 7u);
    EXPECT_EQ(store.payload(0, 5), 0xB2);
}

TEST(UndoLog, TheTableEndsAt981AndTheFullLogRefusesTheNextImage)
{
    RawStore store({.num_log = 984});  // the metadata block and 983 slots
    proprhandle *h = store.handle();
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    for (u32 page = 1; page <= 983; ++page)
        ASSERT_EQ(proprutlog(h, page, store.page_block(page, 1).data()), PROP_OK) << page;
    EXPECT_EQ(proprutlog(h, 984, store.page_block(984, 1).data()), PROP_E_NOSPACE);
    ASSERT_EQ(ut_pending_flush(h), PROP_OK);

    Block meta = store.read(0, store.lsst());
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_LTAIL), 983u);
    EXPECT_EQ(be32_at(meta.data(), 4092), 981u);  // the table's last entry
    EXPECT_EQ(header_of(store.read(0, store.log_slot_addr(982))).propr_hdr_undo_blkno, 982u);
}

TEST(UndoLog, AnAddressPageIsClonedUnlessItIsNewOrLoggedAndTheOldOneIsFreedAtCommit)
{
    RawStore store;
    store.mark_used({1, 2, 3});
    store.put_page(2, PROPR_BLK_ADDR, 0x22);
    store.put_page(3, PROPR_BLK_ADDR, 0x33);
    store.reopen();
    proprhandle *h = store.handle();
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    ASSERT_EQ(proprutcfp(h, 1, PROPR_FREE_DEFERRED), PROP_OK);

    // An existing page: the change goes to a fresh page; the old one stays
    // as it was until the commit frees it.
    Block buf = store.read(0, store.page_addr(2));
    buf[200] = 0x99;
    u32 page = 2;
    ASSERT_EQ(proprut_log_addrpage(h, &page, buf.data()), PROP_OK);
    ASSERT_EQ(ut_pending_flush(h), PROP_OK);
    EXPECT_EQ(page, 4u);  // neither freed page is reused inside the transaction
    EXPECT_EQ(store.read(0, store.page_addr(2))[200], 0x22);
    EXPECT_EQ(store.read(0, store.page_addr(4)), buf);
    EXPECT_EQ(header_of(buf).propr_hdr_blocknum, (store.page_addr(4) >> 12) + 25);
    EXPECT_EQ(page_is_free(h, 1) + page_is_free(h, 2), 0u);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_ltail, 0u);

    // The clone is new, and page 3 gets its image: both change in place.
    buf[300] = 0x77;
    ASSERT_EQ(proprut_log_addrpage(h, &page, buf.data()), PROP_OK);
    ASSERT_EQ(ut_pending_flush(h), PROP_OK);
    EXPECT_EQ(store.read(0, store.page_addr(4))[300], 0x77);
    ASSERT_EQ(proprutlog(h, 3, nullptr), PROP_OK);
    page = 3;
    ASSERT_EQ(proprut_log_addrpage(h, &page, store.page_block(3, 0x3F, PROPR_BLK_ADDR).data()), PROP_OK);
    ASSERT_EQ(ut_pending_flush(h), PROP_OK);
    EXPECT_EQ(page, 3u);
    EXPECT_EQ(store.payload(0, 3), 0x3F);

    ASSERT_EQ(proprutfsu(h), PROP_OK);
    store.reopen();
    for (u32 p : {1u, 2u, 3u, 4u}) EXPECT_EQ(page_is_free(store.handle(), p), p <= 2 ? 1u : 0u) << p;
}

}  // namespace

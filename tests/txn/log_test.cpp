// The undo log: what a begin writes, one image per page, the table's end,
// the full log, and address pages that are cloned instead of logged.
#include <gtest/gtest.h>

#include <cstring>

#include "format/cursor.h"
#include "space/fcl.h"
#include "txn/layout.h"
#include "txn_support.h"

namespace {

propr_hdr header_of(const Block &b)
{
    propr_hdr h;
    std::memcpy(&h, b.data(), sizeof h);
    return h;
}

TEST(UndoLog, BeginWritesTheLogMetadataAndALiveBootBlockAndEmptiesTheLists)
{
    RawStore store;
    proprhandle *h = store.handle();
    ASSERT_EQ(proprutcfp(h, 9, PROPR_FREE_DEFERRED), PROP_OK);
    ASSERT_EQ(proprut_add_newpagelist(h, 10), PROP_OK);

    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    EXPECT_EQ(h->proprhandle_free_page_list_used, 0u);
    EXPECT_EQ(h->proprhandle_new_page_list_used, 0u);
    EXPECT_EQ(h->propr_handle_free_page_list[0], 0u);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_lsn, 8u);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_opid, 11u);

    Block meta = store.read(0, store.lsst());
    EXPECT_TRUE(proprut_isblk_valid_buf(meta.data(), PROPR_BLK_METADATA));
    EXPECT_EQ(hdr_verify_checksum(meta.data(), 4096), 0u);
    EXPECT_EQ(header_of(meta).propr_hdr_blocknum, (store.lsst() >> 12) + 25);
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_LSN), 8u);
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_OPID), 11u);
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_LOG_VALID), 1);
    EXPECT_EQ(store.boot_be32(0, BOOT_OFF_COMMIT_LSN), 7u);
    EXPECT_EQ(hdr_verify_checksum(store.read(0, 0).data(), 4096), 0u);

    proprut_free_log(h);
    EXPECT_EQ(proprutbeginlog(h, 11), PROP_E_STORAGE);
    ASSERT_EQ(proprutilog(h), PROP_OK);
}

TEST(UndoLog, APageGetsOneImagePerTransaction)
{
    RawStore store;
    proprhandle *h = store.handle();
    store.put_page(5, PROPR_BLK_TNODE, 0xA5);
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);

    change_page(store, 5, 0xB1);
    change_page(store, 5, 0xB2);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_ltail, 1u);
    EXPECT_EQ(fill_of(store, 0, 5), 0xB2);

    Block image = store.read(0, store.log_slot_addr(1));
    EXPECT_EQ(image[100], 0xA5);
    EXPECT_EQ(header_of(image).propr_hdr_undo_blkno, 5u);
    EXPECT_EQ(header_of(image).propr_hdr_blocknum, (store.log_slot_addr(1) >> 12) + 25);
    EXPECT_EQ(hdr_verify_checksum(image.data(), 4096), 0u);
    EXPECT_EQ(store.read(0, store.log_slot_addr(2))[0], 0);  // no second image
    Block meta = store.read(0, store.lsst());
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_LTAIL), 1u);
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_TABLE), 5u);
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_LSN), 8u);

    // A caller's image is saved as given and left as it was.
    Block mine = page_with(store, 6, 0x66);
    Block copy = mine;
    ASSERT_EQ(proprutlog(h, 6, mine.data()), PROP_OK);
    EXPECT_EQ(mine, copy);
    EXPECT_EQ(store.read(0, store.log_slot_addr(2))[100], 0x66);

    // Pages allocated in this transaction need no image.
    u32 fresh = 0;
    ASSERT_EQ(proprutffp(h, &fresh), PROP_OK);
    ASSERT_EQ(proprut_add_newpagelist(h, fresh), PROP_OK);
    u32 exists = 0;
    ASSERT_EQ(proprutlogexists(h, fresh, &exists), PROP_OK);
    EXPECT_EQ(exists, 1u);
    ASSERT_EQ(proprutlogexists(h, 7, &exists), PROP_OK);
    EXPECT_EQ(exists, 0u);
    EXPECT_EQ(proprutlogexists(nullptr, 7, &exists), PROP_E_CTX);
    EXPECT_EQ(proprutlogexists(h, 7, nullptr), PROP_E_NULL);
}

TEST(UndoLog, TheImageAfterTheTableEndsNamesItsPageOnlyInItsHeader)
{
    RawStore store;
    proprhandle *h = store.handle();
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    for (u32 page = 1; page <= 982; ++page) {
        Block b = page_with(store, page, static_cast<u8>(page));
        ASSERT_EQ(proprutlog(h, page, b.data()), PROP_OK) << page;
    }
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_tnode_list_max, 990u);
    Block meta = store.read(0, store.lsst());
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_LTAIL), 982u);
    EXPECT_EQ(be32_at(meta.data(), 4092), 981u);  // the table's last entry
    EXPECT_EQ(hdr_verify_checksum(meta.data(), 4096), 0u);
    Block last = store.read(0, store.log_slot_addr(982));
    EXPECT_EQ(header_of(last).propr_hdr_undo_blkno, 982u);
    EXPECT_EQ(last[100], static_cast<u8>(982));
}

TEST(UndoLog, AFullLogRefusesTheNextImage)
{
    RawStoreOptions opt;
    opt.num_log = 6;  // the metadata block and 5 slots
    RawStore store(opt);
    proprhandle *h = store.handle();
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    for (u32 page = 1; page <= 5; ++page) ASSERT_EQ(proprutlog(h, page, page_with(store, page, 1).data()), PROP_OK);
    EXPECT_EQ(proprutlog(h, 6, page_with(store, 6, 1).data()), PROP_E_NOSPACE);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_ltail, 5u);
    EXPECT_EQ(be32_at(store.read(0, store.lsst()).data(), LOGMETA_OFF_LTAIL), 5u);
}

TEST(UndoLog, AnAddressPageIsClonedUnlessItIsNewOrLoggedInTheTransaction)
{
    RawStore store;
    store.mark_used({1, 2, 3});
    store.reopen();
    proprhandle *h = store.handle();
    store.put_page(2, PROPR_BLK_ADDR, 0x22);
    store.put_page(3, PROPR_BLK_ADDR, 0x03);
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);

    // An existing page: the change goes to a fresh page, the old one stays
    // untouched on disk and is freed at commit.
    Block buf = store.read(0, store.page_addr(2));
    buf[200] = 0x99;
    u32 page = 2;
    ASSERT_EQ(proprut_log_addrpage(h, &page, buf.data()), PROP_OK);
    EXPECT_EQ(page, 4u);
    EXPECT_EQ(store.read(0, store.page_addr(2))[200], 0x22);
    Block clone = store.read(0, store.page_addr(4));
    EXPECT_EQ(clone, buf);
    EXPECT_EQ(clone[200], 0x99);
    EXPECT_EQ(header_of(clone).propr_hdr_block_type, PROPR_BLK_ADDR);
    EXPECT_EQ(header_of(clone).propr_hdr_blocknum, (store.page_addr(4) >> 12) + 25);
    EXPECT_EQ(hdr_verify_checksum(clone.data(), 4096), 0u);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_ltail, 0u);
    ASSERT_EQ(h->proprhandle_free_page_list_used, 1u);
    EXPECT_EQ(h->propr_handle_free_page_list[0], 2u);

    // The clone is new in this transaction: later changes go in place.
    buf[300] = 0x77;
    ASSERT_EQ(proprut_log_addrpage(h, &page, buf.data()), PROP_OK);
    EXPECT_EQ(page, 4u);
    EXPECT_EQ(store.read(0, store.page_addr(4))[300], 0x77);

    // So do changes to a page that already has its image.
    ASSERT_EQ(proprutlog(h, 3, nullptr), PROP_OK);
    page = 3;
    Block three = page_with(store, 3, 0x33);
    ASSERT_EQ(proprut_log_addrpage(h, &page, three.data()), PROP_OK);
    EXPECT_EQ(page, 3u);
    EXPECT_EQ(fill_of(store, 0, 3), 0x33);
}

TEST(UndoLog, AnAddressPageThatCannotBeClonedReportsNoSpace)
{
    RawStoreOptions opt;
    opt.numpage = 4;
    RawStore store(opt);
    store.mark_used({1, 2, 3});
    store.reopen();
    ASSERT_EQ(proprutbeginlog(store.handle(), 11), PROP_OK);
    Block buf = page_with(store, 2, 0);
    u32 page = 2;
    EXPECT_EQ(proprut_log_addrpage(store.handle(), &page, buf.data()), PROP_E_NOSPACE);
    EXPECT_EQ(page, 2u);
    EXPECT_EQ(store.handle()->proprhandle_free_page_list_used, 0u);
}

TEST(UndoLog, InitialisationFailuresLeakNothing)
{
    RawStore store;
    proprhandle *h = store.handle();
    proprut_free_log(h);
    u64 base = store.live_blocks();
    for (u64 n = 1; n <= 3; ++n) {
        prop_fe_meta_fail_from(store.meta(), n);
        EXPECT_EQ(proprutilog(h), PROP_E_NOMEM) << n;
        prop_fe_meta_fail_from(store.meta(), 0);
        EXPECT_EQ(store.live_blocks(), base) << n;
        EXPECT_EQ(h->proprhandle_propr_log, nullptr);
    }
    // Opening the locations may set the lsn before the buffers exist; they
    // come later and keep it, and a second call only replaces them.
    ASSERT_EQ(proprut_set_log_lsn(h, 42), PROP_OK);
    ASSERT_EQ(proprutilog(h), PROP_OK);
    ASSERT_EQ(proprutilog(h), PROP_OK);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_lsn, 42u);
    EXPECT_EQ(store.live_blocks(), base + 3);
}

}  // namespace

// Recovery: a live undo log rolled back on every open location, the cases
// where a location must be left alone, and the abort of a failing
// operation inside the process.
#include <gtest/gtest.h>

#include <cstring>

#include "format/cursor.h"
#include "format/storemap.h"
#include "space/fcl.h"
#include "txn/commit.h"
#include "txn/layout.h"
#include "txn/recover.h"
#include "txn_support.h"

namespace {

propr_hdr header_of(const Block &b)
{
    propr_hdr h;
    std::memcpy(&h, b.data(), sizeof h);
    return h;
}

// A transaction that changed pages 3 and 5 (from 0xA3 and 0xA5 to 0xB0)
// and stopped before its commit.
void crash_mid_transaction(RawStore &store)
{
    store.put_page(3, PROPR_BLK_TNODE, 0xA3);
    store.put_page(5, PROPR_BLK_TNODE, 0xA5);
    ASSERT_EQ(proprutbeginlog(store.handle(), 11), PROP_OK);
    change_page(store, 3, 0xB0);
    change_page(store, 5, 0xB0);
    change_page(store, 3, 0xB1);
    store.reopen();
}

void expect_rolled_back(const RawStore &store, u32 slot)
{
    EXPECT_EQ(fill_of(store, slot, 3), 0xA3) << slot;
    EXPECT_EQ(fill_of(store, slot, 5), 0xA5) << slot;
    Block page = store.read(slot, store.page_addr(3));
    EXPECT_EQ(header_of(page).propr_hdr_undo_blkno, 0u);
    EXPECT_EQ(header_of(page).propr_hdr_blocknum, (store.page_addr(3) >> 12) + 25);
    EXPECT_EQ(hdr_verify_checksum(page.data(), 4096), 0u);
    Block meta = store.read(slot, store.lsst());
    EXPECT_TRUE(proprut_isblk_valid_buf(meta.data(), PROPR_BLK_METADATA));
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_LSN), 7u);  // the commit lsn
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_LTAIL), 0u);
    EXPECT_EQ(be32_at(meta.data(), LOGMETA_OFF_TABLE), 0u);
    EXPECT_EQ(store.boot_byte(slot, BOOT_OFF_LOG_VALID), 0);
    EXPECT_EQ(hdr_verify_checksum(store.read(slot, 0).data(), 4096), 0u);
}

TEST(Recovery, ALiveLogIsRolledBackOnEveryLocation)
{
    RawStoreOptions opt;
    opt.locations = 3;
    RawStore store(opt);
    crash_mid_transaction(store);
    ASSERT_EQ(store.boot_byte(2, BOOT_OFF_LOG_VALID), 1);

    EXPECT_EQ(prop_recover(store.ctx(), 0), PROP_OK);  // through the export
    for (u32 slot = 0; slot < 3; ++slot) expect_rolled_back(store, slot);
    EXPECT_EQ(store.handle()->proprhandle_native_state[1], PROP_SLOT_OPEN);
    // The lsn in memory is the one recovery started with.
    EXPECT_EQ(store.handle()->proprhandle_propr_log->propr_log_lsn, 8u);
    // A second run finds nothing to do.
    EXPECT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
    expect_rolled_back(store, 0);
}

TEST(Recovery, ALocationWhoseLogIsNotLiveIsNotTouched)
{
    RawStoreOptions opt;
    opt.locations = 2;
    RawStore store(opt);
    crash_mid_transaction(store);
    Block boot1 = store.read(1, 0);
    boot1[BOOT_OFF_LOG_VALID] = 0;
    store.write(1, 0, boot1);
    boot1 = store.read(1, 0);
    Block meta1 = store.read(1, store.lsst());

    ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
    expect_rolled_back(store, 0);
    EXPECT_EQ(fill_of(store, 1, 3), 0xB1);
    EXPECT_EQ(store.read(1, 0), boot1);
    EXPECT_EQ(store.read(1, store.lsst()), meta1);
}

TEST(Recovery, ALiveLogWithNoImagesIsJustCleared)
{
    RawStore store;
    ASSERT_EQ(proprutbeginlog(store.handle(), 11), PROP_OK);
    store.reopen();
    ASSERT_EQ(be32_at(store.read(0, store.lsst()).data(), LOGMETA_OFF_LSN), 8u);
    ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
    EXPECT_EQ(be32_at(store.read(0, store.lsst()).data(), LOGMETA_OFF_LSN), 7u);
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_LOG_VALID), 0);
}

TEST(Recovery, ALogWhoseLsnWasCommittedIsNotRestored)
{
    RawStore store;
    crash_mid_transaction(store);
    // The boot block says lsn 8 committed although the byte still says live:
    // the images are stale and must not be written back.
    Block boot = store.read(0, 0);
    be32_put(boot.data(), BOOT_OFF_COMMIT_LSN, 8);
    store.write(0, 0, boot);
    boot = store.read(0, 0);
    ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
    EXPECT_EQ(fill_of(store, 0, 3), 0xB1);
    EXPECT_EQ(store.read(0, 0), boot);
}

TEST(Recovery, AnImageNamingPageZeroIsRestoredThroughTheTable)
{
    RawStore store;
    Block root = store.read(0, store.page_addr(0));
    ASSERT_EQ(proprutbeginlog(store.handle(), 11), PROP_OK);
    change_page(store, 0, 0xB0);
    ASSERT_EQ(header_of(store.read(0, store.log_slot_addr(1))).propr_hdr_undo_blkno, 0u);
    store.reopen();
    ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
    EXPECT_EQ(store.read(0, store.page_addr(0)), root);
}

TEST(Recovery, ImagesBeyondTheTableAreRestoredFromTheirHeaders)
{
    RawStore store;
    ASSERT_EQ(proprutbeginlog(store.handle(), 11), PROP_OK);
    for (u32 page = 1; page <= 983; ++page) {
        Block b = page_with(store, page, 0xA0);
        ASSERT_EQ(proprutlog(store.handle(), page, b.data()), PROP_OK);
    }
    store.put_page(982, PROPR_BLK_TNODE, 0xB0);
    store.put_page(983, PROPR_BLK_TNODE, 0xB0);
    store.reopen();
    ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
    EXPECT_EQ(fill_of(store, 0, 982), 0xA0);
    EXPECT_EQ(fill_of(store, 0, 983), 0xA0);
}

TEST(Recovery, ALocationThatFailsIsTakenOutAndTheOthersAreRestored)
{
    struct Case {
        const char *name;
        bool damage_image;      // location 1's second image does not validate
        const char *faults;     // or its writes fail during the restore
        const char *message;
    };
    const Case cases[] = {
        {"damaged image", true, "", "rrecover_helper:5:The hdr of the saved blk [1] is invalid"},
        {"failed write", false, "fail_write:nth=1,errno=EIO,times=0,path=/loc1.dat",
         "rrecover_helper:7:problem writing to phy address"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FaultScope faults;
        RawStoreOptions opt;
        opt.locations = 2;
        RawStore store(opt);
        crash_mid_transaction(store);
        if (c.damage_image) {
            Block bad = store.read(1, store.log_slot_addr(2));
            bad[1] = 0;
            store.write(1, store.log_slot_addr(2), bad);
        }
        ASSERT_EQ(faults.env().load(c.faults), 0);

        trace_capture_start();
        EXPECT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
        expect_rolled_back(store, 0);
        EXPECT_EQ(store.handle()->proprhandle_native_state[1], PROP_SLOT_UNUSABLE);
        EXPECT_EQ(store.boot_byte(1, BOOT_OFF_LOG_VALID), 1);  // still live there: a later run retries
        auto alerts = alerts_captured();
        ASSERT_EQ(alerts.size(), 1u);
        EXPECT_EQ(alerts[0].number, 1006u);
        EXPECT_NE(alerts[0].args.find(store.path(1)), std::string::npos);
        EXPECT_TRUE(trace_captured_contains(c.message));
        trace_capture_stop();
        faults.env().reset();
    }
}

TEST(Recovery, AnAbortInsideAnOperationRestoresPagesBitmapsAndLists)
{
    RawStore store;
    store.mark_used({1, 2});
    store.reopen();
    proprhandle *h = store.handle();
    store.put_page(2, PROPR_BLK_TNODE, 0xA2);

    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    u32 page = 0;
    ASSERT_EQ(proprutffp(h, &page), PROP_OK);
    ASSERT_EQ(page, 3u);
    ASSERT_EQ(proprut_add_newpagelist(h, page), PROP_OK);
    ASSERT_EQ(proprutcfp(h, 1, 0), PROP_OK);  // an immediate free, undone by the reload
    ASSERT_EQ(proprutcfp(h, 2, PROPR_FREE_DEFERRED), PROP_OK);
    change_page(store, 2, 0xB2);

    // The operation holds the context lock when it aborts.
    {
        RwGuard held(&store.ctx()->prop_rwlock, RwGuard::Exclusive);
        ASSERT_EQ(proprrecover(store.ctx(), PROPR_RECOVER_HOLDS_LOCK), PROP_OK);
    }
    EXPECT_EQ(fill_of(store, 0, 2), 0xA2);
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_LOG_VALID), 0);
    EXPECT_EQ(h->bootbuf[BOOT_OFF_LOG_VALID], 0);
    EXPECT_EQ(h->proprhandle_isvalidlog, 0u);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_lsn, 8u);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_ltail, 0u);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_opid, 0u);
    EXPECT_EQ(h->proprhandle_free_page_list_used, 0u);
    EXPECT_EQ(h->proprhandle_new_page_list_used, 0u);
    const propr_fcl *fcl = h->proprhandle_fcl[0];
    EXPECT_EQ(fcl->propr_fcl_read, 0u);
    EXPECT_EQ(fcl->propr_fcl_changed, 0u);
    EXPECT_EQ(fcl->propr_fcl_first_free, -1);
    EXPECT_EQ(fcl->propr_fcl_last_reserved, 0);

    // The reloaded bitmap is the committed one: 1 and 2 in use, 3 free.
    u32 isfree = 9;
    ASSERT_EQ(proprutifp(h, 1, &isfree), PROP_OK);
    EXPECT_EQ(isfree, 0u);
    ASSERT_EQ(proprutifp(h, 2, &isfree), PROP_OK);
    EXPECT_EQ(isfree, 0u);
    ASSERT_EQ(proprutffp(h, &page), PROP_OK);
    EXPECT_EQ(page, 3u);

    // The next transaction follows on with the next lsn.
    ASSERT_EQ(proprutbeginlog(h, 12), PROP_OK);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_lsn, 9u);
    ASSERT_EQ(proprutfsu(h), PROP_OK);
    EXPECT_EQ(store.boot_be32(0, BOOT_OFF_COMMIT_LSN), 9u);
}

TEST(Recovery, NullContextsAreRefused)
{
    EXPECT_EQ(proprrecover(nullptr, 0), PROP_E_CTX);
    backend_ctx empty{};
    EXPECT_EQ(proprrecover(&empty, 0), PROP_E_CTX);
    EXPECT_EQ(rrecovernumpage(nullptr), PROP_E_CTX);
    EXPECT_EQ(rrecovernumpage(&empty), PROP_E_CTX);
}

TEST(Recovery, ThePageCountIsRepairedOnlyWhenMissingOrTooLarge)
{
    RawStore store;
    proprhandle *h = store.handle();
    const u32 fits = h->proprhandle_native_numpage[0] - 2 * h->proprhandle_num_fcl;

    // Smaller than the locations hold: kept.
    ASSERT_EQ(rrecovernumpage(store.ctx()), PROP_OK);
    EXPECT_EQ(h->numpage, 1024u);
    EXPECT_EQ(store.boot_be32(0, BOOT_OFF_NUMPAGE), 1024u);

    for (u32 recorded : {0u, fits + 1}) {
        h->numpage = recorded;
        ASSERT_EQ(rrecovernumpage(store.ctx()), PROP_OK);
        EXPECT_EQ(h->numpage, fits);
        EXPECT_EQ(store.boot_be32(0, BOOT_OFF_NUMPAGE), fits);
        EXPECT_EQ(hdr_verify_checksum(store.read(0, 0).data(), 4096), 0u);
    }
}

}  // namespace

namespace {

TEST(Recovery, AFullLiveSizedLogRefusesTheLastPageAndIsRolledBackWhole)
{
    RawStoreOptions opt;
    opt.numpage = 20600;
    RawStore store(opt);
    proprhandle *h = store.handle();
    ASSERT_EQ(h->proprhandle_num_log, 20490u);
    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    Block image = page_with(store, 1, 0xA0);
    for (u32 page = 1; page < 20490; ++page) ASSERT_EQ(proprutlog(h, page, image.data()), PROP_OK) << page;
    EXPECT_EQ(proprutlog(h, 20490, image.data()), PROP_E_NOSPACE);
    store.put_page(1, PROPR_BLK_TNODE, 0xB0);
    store.put_page(20489, PROPR_BLK_TNODE, 0xB0);

    ASSERT_EQ(proprrecover(store.ctx(), PROPR_RECOVER_HOLDS_LOCK), PROP_OK);
    EXPECT_EQ(fill_of(store, 0, 1), 0xA0);
    EXPECT_EQ(fill_of(store, 0, 20489), 0xA0);
    EXPECT_EQ(store.boot_byte(0, BOOT_OFF_LOG_VALID), 0);
}

}  // namespace

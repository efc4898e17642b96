// Recovery: a live log rolled back on every open location, the root's
// image, logs left alone, locations that fail, commits that fail or lose a
// location, aborts, and the key cache settled at both ends.  After recovery
// a store holds either the whole old state or the whole new one.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <string>

#include "cache/cache.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "io/devhist.h"
#include "space/fcl.h"
#include "txn/commit.h"
#include "txn/recover.h"
#include "txn_support.h"

namespace {

// Of the writes per location (the live boot block and the image; the
// metadata; the superblock, bitmap and page copies; the boot block): the
// changed page is on disk, the log still live.
constexpr u32 kPageWritten = 6;

// Pages 1 to 3 in use, page 3 holding 0xA3.
void prepare(RawStore &store)
{
    store.mark_used({1, 2, 3});
    store.put_page(3, PROPR_BLK_TNODE, 0xA3);
    store.reopen();
}

// Changes page 3, allocates page 4 and frees page 2, then commits.
u32 run_transaction(RawStore &store)
{
    proprhandle *h = store.handle();
    u32 rc = proprutbeginlog(h, 11);
    if (rc != PROP_OK) return rc;
    change_page(store, 3, 0xB3);
    if (alloc_page(h) != 4) return 1000;
    rc = proprutcfp(h, 2, PROPR_FREE_DEFERRED);
    return rc != PROP_OK ? rc : proprutfsu(h);
}

// The transaction with every write after the kept-th of each location lost
// (a power cut), then a new process on the files.
void crash_after(RawStore &store, u32 kept)
{
    prepare(store);
    u32 all = kept * store.options().locations;
    ASSERT_EQ(store.faults().load(("drop_after:nth=" + std::to_string(all)).c_str()), 0);
    ASSERT_EQ(run_transaction(store), PROP_OK);
    store.faults().reset();
    store.reopen();
}

void expect_state(RawStore &store, u32 slot, bool committed, const std::string &where)
{
    SCOPED_TRACE(where);
    EXPECT_EQ(store.payload(slot, 3), committed ? 0xB3 : 0xA3);
    EXPECT_EQ(store.boot_byte(slot, BOOT_OFF_LOG_VALID), 0) << "no log is left live";
    EXPECT_EQ(store.boot_be32(slot, BOOT_OFF_COMMIT_LSN), committed ? 8u : 7u);
    EXPECT_EQ(store.boot_byte(slot, BOOT_OFF_SUPER_SELECTOR), committed ? 1 : 0);
    proprhandle *h = store.handle();
    EXPECT_EQ(page_is_free(h, 2), committed ? 1u : 0u);
    EXPECT_EQ(page_is_free(h, 4), committed ? 0u : 1u);
}

// Logs with nothing to undo: one marked dead is not touched; one marked
// live whose metadata holds no lsn past the commit gets only its mark
// cleared.
TEST(Recovery, LogsWithNothingToUndo)
{
    const std::pair<const char *, void (*)(Block &)> cases[] = {
        {"log-valid byte 0", [](Block &b) { b[BOOT_OFF_LOG_VALID] = 0; }},
        {"commit lsn equal to the log's",
         [](Block &b) { be32_put(b.data(), BOOT_OFF_COMMIT_LSN, 8); }},
    };
    for (const auto &[name, change] : cases) {
        SCOPED_TRACE(name);
        RawStore store;
        crash_after(store, kPageWritten);
        Block boot = store.read(0, 0);
        change(boot);
        store.write(0, 0, boot);
        boot = store.read(0, 0);
        ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
        EXPECT_EQ(store.payload(0, 3), 0xB3);
        boot[BOOT_OFF_LOG_VALID] = 0;
        hdr_stamp_checksum(boot.data(), 4096);
        EXPECT_EQ(store.read(0, 0), boot);
    }
}

// The root is page 0, which an image's header also says for "no page".
// The log names the slot of the root's image, so the root is restored even
// past the metadata table; a log written before it did (the word reads 0)
// still finds a root within the table.  A power cut at each write from the
// root's image to the commit leaves the old root or the new one, and never
// a location taken out of service.
TEST(Recovery, TheRootsImageIsRestoredWhereverItLies)
{
    const struct {
        u32 others;  // images before the root's
        bool old_log;
    } cases[] = {{0, false}, {0, true}, {1000, false}};
    for (const auto &c : cases) {
        // The live boot block and the images, the metadata, the root page,
        // the boot block: one write each.
        constexpr u32 kAll = 5;
        for (u32 kept = 1; kept <= kAll; ++kept) {
            SCOPED_TRACE(std::to_string(c.others) + (c.old_log ? " old" : "") + ", kept " + std::to_string(kept));
            RawStore store;
            proprhandle *h = store.handle();
            ASSERT_EQ(store.faults().load(("drop_after:nth=" + std::to_string(kept)).c_str()), 0);
            ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
            for (u32 page = 1; page <= c.others; ++page) {
                Block image = store.page_block(page, 0xA1);
                ASSERT_EQ(proprutlog(h, page, image.data()), PROP_OK);
            }
            change_page(store, 0, 0xB0);
            ASSERT_EQ(proprutfsu(h), PROP_OK);
            store.faults().reset();
            if (c.old_log) {
                Block meta = store.read(0, store.lsst());
                be32_put(meta.data(), LOGMETA_OFF_ROOT_SLOT, 0);
                store.write(0, store.lsst(), meta);
            }
            store.reopen();
            ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
            EXPECT_EQ(store.handle()->proprhandle_native_state[0], PROP_SLOT_OPEN);
            EXPECT_EQ(store.payload(0, 0), kept == kAll ? 0xB0 : 0);
            EXPECT_EQ(store.boot_byte(0, BOOT_OFF_LOG_VALID), 0);
        }
    }
}

TEST(Recovery, ALocationThatFailsIsTakenOutAndTheOthersAreRestored)
{
    struct Case {
        const char *name;
        bool damage_image;   // location 1's image does not validate
        const char *faults;  // or its writes fail during the restore
    };
    const Case cases[] = {
        {"damaged image", true, ""},
        {"failed write", false, "fail_write:nth=1,errno=EIO,times=0,path=/loc1.dat"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RawStore store({.locations = 2});
        crash_after(store, kPageWritten);
        if (c.damage_image) {
            Block bad = store.read(1, store.log_slot_addr(1));
            bad[1] = 0;
            store.write(1, store.log_slot_addr(1), bad);
        }
        ASSERT_EQ(store.faults().load(c.faults), 0);
        trace_capture_start();
        EXPECT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
        expect_state(store, 0, false, "survivor");
        EXPECT_EQ(store.handle()->proprhandle_native_state[1], PROP_SLOT_UNUSABLE);
        EXPECT_EQ(store.boot_byte(1, BOOT_OFF_LOG_VALID), 1);  // still live there: a later run retries
        auto alerts = alerts_captured();
        ASSERT_EQ(alerts.size(), 1u);
        EXPECT_EQ(alerts[0].number, 1006u);
        EXPECT_NE(alerts[0].args.find(store.path(1)), std::string::npos);
        trace_capture_stop();
        store.faults().reset();
    }
}

TEST(Recovery, ACommitThatFailsBeforeItsBootBlockLeavesTheHandleOnTheOldCopies)
{
    RawStore store({.locations = 3});
    prepare(store);
    proprhandle *h = store.handle();
    Block super = store.read(0, 4096);
    // The bitmap write (each location's 5th) fails on two of three: no quorum.
    ASSERT_EQ(store.faults().load("fail_write:nth=5,errno=EIO,path=/loc1.dat; "
                                  "fail_write:nth=5,errno=EIO,path=/loc2.dat"),
              0);
    EXPECT_EQ(run_transaction(store), PROP_E_STORAGE);
    EXPECT_EQ(h->proprhandle_fcl[0]->free_space_addr, 0u);
    EXPECT_EQ(h->bootbuf[BOOT_OFF_SUPER_SELECTOR], 0);
    EXPECT_EQ(be32_at(h->bootbuf, BOOT_OFF_COMMIT_LSN), 7u);
    EXPECT_EQ(std::memcmp(h->superbuf, super.data(), 4096), 0);

    ASSERT_EQ(proprrecover(store.ctx(), PROPR_RECOVER_HOLDS_LOCK), PROP_OK);
    expect_state(store, 0, false, "aborted in process");
    // The locations that missed the write still hold the live log.
    store.faults().reset();
    store.reopen();
    ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
    for (u32 slot = 0; slot < 3; ++slot) expect_state(store, slot, false, "slot " + std::to_string(slot));
}

TEST(Recovery, ALocationLostAtTheCommitPointLeavesTheSurvivorCommitted)
{
    RawStore store({.locations = 2});
    prepare(store);
    // Location 1 loses the commit's boot-block write (its 7th); one of two is
    // a quorum, and the survivor takes both votes from the handle's buffer.
    ASSERT_EQ(store.faults().load("fail_write:nth=7,errno=EIO,path=/loc1.dat"), 0);
    ASSERT_EQ(run_transaction(store), PROP_OK);
    EXPECT_EQ(store.boot_be32(0, DEV_VOTES_MY), 2u);
    expect_state(store, 0, true, "survivor, same process");

    store.faults().reset();
    store.reopen(1U << 1);  // the vote check leaves the stale location out
    ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
    expect_state(store, 0, true, "survivor, next process");
}

// An abort leaves the handle idle on the committed state, also when the
// mirror sync after the rollback fails: the aborted transaction's pages
// never come back at the next commit.
TEST(Recovery, AnAbortRestoresPagesBitmapsAndListsEvenWhenTheSyncFails)
{
    for (bool sync_fails : {false, true}) {
        SCOPED_TRACE(sync_fails ? "sync fails" : "sync succeeds");
        RawStore store({.locations = sync_fails ? 2u : 1u});
        prepare(store);
        proprhandle *h = store.handle();
        ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
        ASSERT_EQ(alloc_page(h), 4u);
        ASSERT_EQ(proprut_add_newpagelist(h, 4), PROP_OK);
        ASSERT_EQ(proprutcfp(h, 1, 0), PROP_OK);
        ASSERT_EQ(proprutcfp(h, 2, PROPR_FREE_DEFERRED), PROP_OK);
        change_page(store, 3, 0xB3);
        // Location 1 is lost holding both votes: the survivor may not take
        // over, so the sync that follows the rollback fails.
        if (sync_fails) {
            h->proprhandle_native_state[1] = PROP_SLOT_UNUSABLE;
            h->proprhandle_my_votes[1] = h->proprhandle_total_votes[1] = 2;
        }
        {  // the operation holds the context lock when it aborts
            RwGuard held(&store.ctx()->prop_rwlock, RwGuard::Exclusive);
            ASSERT_EQ(proprrecover(store.ctx(), PROPR_RECOVER_HOLDS_LOCK), sync_fails ? PROP_E_STORAGE : PROP_OK);
        }
        EXPECT_EQ(h->bootbuf[BOOT_OFF_LOG_VALID], 0);
        EXPECT_EQ(page_is_free(h, 1), 0u);  // the reloaded bitmap is the committed one
        expect_state(store, 0, false, "aborted");

        h->proprhandle_my_votes[1] = h->proprhandle_total_votes[1] = 0;  // location 1 given up
        ASSERT_EQ(proprutbeginlog(h, 12), PROP_OK);
        EXPECT_EQ(alloc_page(h), 4u);
        ASSERT_EQ(proprutfsu(h), PROP_OK);
        EXPECT_EQ(store.boot_be32(0, BOOT_OFF_COMMIT_LSN), 9u);
        EXPECT_EQ(page_is_free(h, 2) + page_is_free(h, 5), 1u);  // 2 still in use, 5 never taken
        EXPECT_EQ(store.payload(0, 3), 0xA3) << "the aborted change stays dropped";
    }
}

// The recorded page count follows what the locations hold, down and up
// (a location grown since the format), but never past the pages its
// bitmaps can count.
TEST(Recovery, ThePageCountFollowsTheLocationsAsFarAsTheBitmapsReach)
{
    for (u32 bitmaps : {1u, 4u}) {
        RawStore store({.num_fcl = bitmaps});
        proprhandle *h = store.handle();
        const u32 fits = h->proprhandle_native_numpage[0] - 2 * h->proprhandle_num_fcl;
        const u32 expected = std::min(fits, bitmaps * 32512);
        for (u32 recorded : {1024u, 0u, fits + 1}) {
            h->numpage = recorded;
            ASSERT_EQ(rrecovernumpage(store.ctx()), PROP_OK);
            EXPECT_EQ(h->numpage, expected) << bitmaps << " " << recorded;
            EXPECT_EQ(store.boot_be32(0, BOOT_OFF_NUMPAGE), expected) << bitmaps << " " << recorded;
        }
    }
    EXPECT_EQ(rrecovernumpage(nullptr), PROP_E_CTX);
}

TEST(Recovery, CommitKeepsAndRollbackDropsTheCacheEntriesOfTheTransaction)
{
    RawStore store;
    proprhandle *h = store.handle();
    ASSERT_EQ(proprch_init(h, &h->proprhandle_cache), PROP_OK);
    proprch_ctx *cache = h->proprhandle_cache;
    for (const char *name : {"top.kept", "top.dropped"}) {
        ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
        ASSERT_EQ(proprch_insert(cache, name, PROP_FLAG_IN_BATCH), PROP_OK);
        if (name[4] == 'k')
            ASSERT_EQ(proprutfsu(h), PROP_OK);
        else
            ASSERT_EQ(proprrecover(store.ctx(), PROPR_RECOVER_HOLDS_LOCK), PROP_OK);
    }
    proprch_hashelement *element = nullptr;
    ASSERT_EQ(proprch_keycached(cache, "top.kept", &element, 0), PROP_OK);
    EXPECT_EQ(element->status, PROPRCH_PERMANENT);
    EXPECT_EQ(proprch_keycached(cache, "top.dropped", &element, 0), PROP_R_NOTCACHED);
    ASSERT_EQ(proprch_terminate(cache), PROP_OK);
    h->proprhandle_cache = nullptr;
}

// At the CACHING level pages are read from memory once read or written:
// neither a failed commit nor a recovery after a crash may leave a page
// there that the undo put back on disk.
TEST(Recovery, NoUndonePageIsReadFromMemoryAfterwards)
{
    auto read_payload = [](RawStore &store, u32 page) {
        Block b{};
        EXPECT_EQ(proprior(store.handle(), b.data(), 4096, store.page_addr(page), 0, PROPRIO_ALL), PROP_OK);
        return b[100];
    };
    const RawStoreOptions opt{.locations = 3, .boot_level = PROP_LEVEL_CACHING};
    {
        RawStore store(opt);
        prepare(store);
        EXPECT_EQ(read_payload(store, 3), 0xA3);
        // The commit's boot block (each location's 7th write) reaches one location of three.
        ASSERT_EQ(store.faults().load("fail_write:nth=7,errno=EIO,path=/loc1.dat; "
                                      "fail_write:nth=7,errno=EIO,path=/loc2.dat"),
                  0);
        EXPECT_EQ(run_transaction(store), PROP_E_STORAGE);
        ASSERT_EQ(proprrecover(store.ctx(), PROPR_RECOVER_HOLDS_LOCK), PROP_OK);
        EXPECT_EQ(read_payload(store, 3), 0xA3) << "after a failed commit";
        store.faults().reset();
    }
    {
        RawStore store(opt);
        crash_after(store, kPageWritten);
        EXPECT_EQ(read_payload(store, 3), 0xB3) << "the crashed transaction's page, before the undo";
        ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
        EXPECT_EQ(read_payload(store, 3), 0xA3) << "after the recovery";
    }
}

}  // namespace

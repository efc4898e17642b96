// Power cuts at every write of a transaction, and a commit that fails: after
// recovery the store holds either the whole old state or the whole new one.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "format/cursor.h"
#include "io/devhist.h"
#include "space/fcl.h"
#include "txn/commit.h"
#include "txn/layout.h"
#include "txn/recover.h"
#include "txn_support.h"

namespace {

constexpr u32 kWrites = 8;  // begin 2, one page 3, bitmap, superblock, boot

// Changes page 3, allocates page 4 and frees page 2, then commits.
u32 run_transaction(RawStore &store)
{
    proprhandle *h = store.handle();
    u32 rc = proprutbeginlog(h, 11);
    if (rc != PROP_OK) return rc;
    change_page(store, 3, 0xB3);
    u32 page = 0;
    rc = proprutffp(h, &page);
    if (rc != PROP_OK || page != 4) return 1000 + page;
    rc = proprutcfp(h, 2, PROPR_FREE_DEFERRED);
    if (rc != PROP_OK) return rc;
    return proprutfsu(h);
}

u32 is_free(proprhandle *h, u32 page)
{
    u32 isfree = 9;
    EXPECT_EQ(proprutifp(h, page, &isfree), PROP_OK);
    return isfree;
}

void expect_state(RawStore &store, u32 slot, bool committed, const std::string &where)
{
    SCOPED_TRACE(where);
    EXPECT_EQ(fill_of(store, slot, 3), committed ? 0xB3 : 0xA3);
    EXPECT_EQ(store.boot_byte(slot, BOOT_OFF_LOG_VALID), 0);
    EXPECT_EQ(store.boot_be32(slot, BOOT_OFF_COMMIT_LSN), committed ? 8u : 7u);
    EXPECT_EQ(store.boot_byte(slot, BOOT_OFF_SUPER_SELECTOR), committed ? 1 : 0);
    proprhandle *h = store.handle();
    EXPECT_EQ(is_free(h, 1), 0u);
    EXPECT_EQ(is_free(h, 2), committed ? 1u : 0u);
    EXPECT_EQ(is_free(h, 4), committed ? 0u : 1u);
}

TEST(Crash, APowerCutAfterAnyWriteLeavesTheOldOrTheNewStateAfterRecovery)
{
    for (u32 kept = 1; kept <= kWrites; ++kept) {
        FaultScope faults;
        RawStore store;
        store.mark_used({1, 2, 3});
        store.put_page(3, PROPR_BLK_TNODE, 0xA3);
        store.reopen();
        ASSERT_EQ(faults.env().load(("drop_after:nth=" + std::to_string(kept)).c_str()), 0);
        ASSERT_EQ(run_transaction(store), PROP_OK);
        EXPECT_EQ(faults.env().writes(), kWrites);

        faults.env().reset();
        store.reopen();
        ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
        expect_state(store, 0, kept == kWrites, "writes kept: " + std::to_string(kept));
    }
}

TEST(Crash, ACommitThatFailsBeforeItsBootBlockLeavesTheHandleOnTheOldCopies)
{
    FaultScope faults;
    RawStoreOptions opt;
    opt.locations = 3;
    RawStore store(opt);
    store.mark_used({1, 2, 3});
    store.put_page(3, PROPR_BLK_TNODE, 0xA3);
    store.reopen();
    proprhandle *h = store.handle();
    Block super = store.read(0, 4096);
    // The bitmap write (the 6th write of each location) fails on two of
    // three locations: no quorum.
    ASSERT_EQ(faults.env().load("fail_write:nth=6,errno=EIO,path=/loc1.dat; fail_write:nth=6,errno=EIO,path=/loc2.dat"), 0);
    EXPECT_EQ(run_transaction(store), PROP_E_STORAGE);

    EXPECT_EQ(h->proprhandle_fcl[0]->free_space_addr, 0u);
    EXPECT_EQ(h->bootbuf[BOOT_OFF_SUPER_SELECTOR], 0);
    EXPECT_EQ(be32_at(h->bootbuf, BOOT_OFF_COMMIT_LSN), 7u);
    EXPECT_EQ(std::memcmp(h->superbuf, super.data(), 4096), 0);

    ASSERT_EQ(proprrecover(store.ctx(), PROPR_RECOVER_HOLDS_LOCK), PROP_OK);
    expect_state(store, 0, false, "aborted in process");

    // The locations that missed the write still hold the live log: a new
    // process rolls them back too.
    faults.env().reset();
    store.reopen();
    ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
    for (u32 slot = 0; slot < 3; ++slot) expect_state(store, slot, false, "slot " + std::to_string(slot));
}

TEST(Crash, ALocationLostAtTheCommitPointLeavesTheSurvivorCommitted)
{
    FaultScope faults;
    RawStoreOptions opt;
    opt.locations = 2;
    RawStore store(opt);
    store.mark_used({1, 2, 3});
    store.put_page(3, PROPR_BLK_TNODE, 0xA3);
    store.reopen();
    // Location 1 loses the boot-block write of the commit (its 8th write);
    // one of two is a quorum, and the survivor takes both votes.
    ASSERT_EQ(faults.env().load("fail_write:nth=8,errno=EIO,path=/loc1.dat"), 0);
    ASSERT_EQ(run_transaction(store), PROP_OK);
    EXPECT_EQ(store.handle()->proprhandle_native_state[1], PROP_SLOT_UNUSABLE);
    EXPECT_EQ(store.boot_be32(0, DEV_VOTES_MY), 2u);
    expect_state(store, 0, true, "survivor, same process");

    faults.env().reset();
    store.reopen(1U << 1);  // the vote check leaves the stale location out
    ASSERT_EQ(proprrecover(store.ctx(), 0), PROP_OK);
    expect_state(store, 0, true, "survivor, next process");
}

}  // namespace

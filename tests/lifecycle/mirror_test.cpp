// A mirror that stops taking writes: the store goes on without it, and the
// next start brings it up to date.
#include <gtest/gtest.h>

#include <cstring>

#include "io/io.h"
#include "lifecycle_util.h"
#include "platform/trace.h"
#include "space/fcl.h"
#include "txn/commit.h"
#include "txn/log.h"
#include "txn/recover.h"

namespace {

// One transaction that takes a free page and fills it.
u32 commit_page(backend_ctx *ctx, u8 fill, u32 *page)
{
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    proprhandle *h = ctx->propb_ctx;
    u32 rc = proprutbeginlog(h, 11);
    if (rc == 0) rc = proprutffp(h, page);
    if (rc == 0) {
        alignas(8) u8 block[4096];
        std::memset(block, fill, sizeof block);
        const u32 addr = h->proprhandle_rtnst + 4096 * *page;
        propr_hdr hdr;
        hdr_init(h, &hdr, addr >> 12, PROPR_BLK_VAL);
        std::memcpy(block, &hdr, sizeof hdr);
        hdr_stamp_checksum(block, sizeof block);
        rc = propriow(h, block, sizeof block, addr, PROPRIO_ALL);
    }
    if (rc == 0) rc = proprutfsu(h);
    if (rc != 0) proprrecover(ctx, PROP_FLAG_HOLDS_LOCK);
    return rc;
}

bool alerted(u32 number, const std::string &arg)
{
    for (const AlertRecord &a : alerts_captured())
        if (a.number == number && a.args.find(arg) != std::string::npos) return true;
    return false;
}

TEST(Mirrors, ALocationWhoseWritesFailIsDroppedAndBroughtUpToDateAtTheNextStart)
{
    Store store({.locations = 2});
    store.format();
    ASSERT_EQ(store.init(PROP_LEVEL_RW), 0u);
    u32 pages[3] = {};
    ASSERT_EQ(commit_page(store.ctx(), 0x11, &pages[0]), 0u);

    ASSERT_EQ(store.faults().load(("fail_write:nth=1,errno=EIO,times=0,path=" + store.location_tag(1)).c_str()), 0);
    trace_capture_start();
    ASSERT_EQ(commit_page(store.ctx(), 0x22, &pages[1]), 0u);
    EXPECT_EQ(store.handle()->proprhandle_native_state[1], PROP_SLOT_UNUSABLE);
    EXPECT_TRUE(alerted(1006, store.location(1)));
    ASSERT_EQ(commit_page(store.ctx(), 0x33, &pages[2]), 0u);
    trace_capture_stop();
    ASSERT_EQ(store.terminate(), 0u);
    store.faults().reset();

    const u32 rtnst = boot_of(store, 0).rtnst;
    auto page_of = [&](u32 slot, u32 page) { return store.read_block(slot, rtnst + 4096 * page); };
    EXPECT_NE(page_of(0, pages[2]), page_of(1, pages[2]));

    ASSERT_EQ(store.init(PROP_LEVEL_RW), 0u);
    EXPECT_EQ(store.handle()->proprhandle_native_state[1], PROP_SLOT_STALE);
    ASSERT_EQ(prop_recover(store.ctx(), 0), 0u);
    EXPECT_EQ(store.handle()->proprhandle_native_state[1], PROP_SLOT_OPEN);
    ASSERT_EQ(store.terminate(), 0u);

    const u8 fills[3] = {0x11, 0x22, 0x33};
    for (u32 i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(static_cast<u8>(page_of(0, pages[i])[100]), fills[i]);
        EXPECT_EQ(page_of(1, pages[i]), page_of(0, pages[i]));
    }
    EXPECT_EQ(boot_of(store, 1).commit_lsn, boot_of(store, 0).commit_lsn);
}

}  // namespace

// Giving everything back: termination, every allocation failure of
// formatting and opening, and renewing an open context.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "cache/cache.h"
#include "core/handle.h"
#include "format/block.h"
#include "support/store.h"
#include "platform/trace.h"
#include "keys/keyhandle.h"
#include "tree/tnode.h"

namespace {

// Makes the n-th allocation of op fail, for every n op makes when it
// succeeds: each time op must fail and leave the meta context as it was.
template <class Op, class Undo>
void fail_each_allocation(Store &store, Op op, Undo undo)
{
    const u64 before = prop_fe_meta_total_allocs(store.meta());
    ASSERT_EQ(op(), 0u);
    const u64 allocations = prop_fe_meta_total_allocs(store.meta()) - before;
    undo();
    ASSERT_GT(allocations, 0u);
    for (u64 n = 1; n <= allocations; n++) {
        prop_fe_meta_fail_from(store.meta(), n);
        const u32 rc = op();
        prop_fe_meta_fail_from(store.meta(), 0);
        EXPECT_NE(rc, PROP_OK) << "allocation " << n << " of " << allocations;
        if (rc == 0) undo();
        EXPECT_EQ(store.live_blocks(), 0u) << "allocation " << n << " of " << allocations;
    }
}

TEST(Teardown, EveryAllocationFailureOfFormattingAndOpeningIsReportedAndLeaksNothing)
{
    Store store;
    fail_each_allocation(store, [&] { return store.setup(); }, [&] { ASSERT_EQ(store.terminate(), 0u); });
    for (u32 level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING}) {
        SCOPED_TRACE(level);
        fail_each_allocation(store, [&] { return store.init(level); }, [&] { ASSERT_EQ(store.terminate(), 0u); });
    }
}

// A read-only node whose superblock read fails re-opens its locations
// once and reads again before it gives up.
TEST(Reboot, AReadOnlyNodeReopensOnceBeforeGivingUp)
{
    struct Case {
        u64 failing_reads;  // from the superblock read on; 0 = every one
        u32 rc;
    } cases[] = {{1, 0}, {0, 26}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failing_reads);
        Store store;
        store.format();
        ASSERT_EQ(store.init(PROP_LEVEL_READONLY), PROP_OK);
        // The boot block is read first.
        ASSERT_EQ(store.faults().load(("fail_read:nth=2,times=" + std::to_string(c.failing_reads) +
                                       ",path=" + store.location_tag(0)).c_str()), 0);
        trace_capture_start();
        EXPECT_EQ(prop_init_reboot(store.ctx()), c.rc);
        u32 opens = 0;
        for (const TraceLine &l : trace_captured())
            if (l.text.find("proprioo: opening ZKV device(s)") != std::string::npos) opens++;
        trace_capture_stop();
        EXPECT_EQ(opens, 1u);
        store.faults().reset();
    }
}

// A node renewing its hold on the store starts with an empty key cache and
// reads what the store holds now, not what it kept in memory from before:
// another node may have changed it.  Reinitialisation reopens the
// locations and the next transactions write on.
TEST(Reboot, TheCachingLevelReadsTheStoreAfreshAfterRebootAndReinit)
{
    Store store({.locations = 2});
    store.format();
    ASSERT_EQ(store.init(PROP_LEVEL_CACHING), PROP_OK);
    ASSERT_EQ(put_value(store, "k", "one"), 0u);
    proprhandle *h = store.handle();
    propr_keyhandle *kh = nullptr;
    ASSERT_EQ(prop_open(store.ctx(), "SYSTEM.k", &kh, 0), PROP_OK);
    const u32 addr = h->proprhandle_rtnst + 4096 * kh->propr_keyhandle_kdesc->kd_tnode;
    ASSERT_EQ(prop_close(store.ctx(), kh), PROP_OK);
    // Rewrites the key's value on every location around the library.
    auto rewrite = [&](const char *text) {
        for (u32 slot = 0; slot < 2; slot++) {
            std::string block = store.read_block(slot, addr);
            block.replace(TNODE_OFF_INLINE_VALUE, 3, text);
            hdr_stamp_checksum(reinterpret_cast<u8 *>(block.data()), 4096);
            store.write_block(slot, addr, block);
        }
    };
    EXPECT_EQ(get_value(store, "k"), "one");
    rewrite("two");
    ASSERT_EQ(proprch_set_addr(h->proprhandle_cache, "SYSTEM", 2, 0, 0), PROP_OK);
    ASSERT_EQ(prop_init_reboot(store.ctx()), PROP_OK);
    u32 cached = 0;
    EXPECT_EQ(proprch_get_addr(h->proprhandle_cache, "SYSTEM", &cached, 0, 0), PROP_R_NOTCACHED);
    EXPECT_EQ(get_value(store, "k"), "two");
    rewrite("six");
    ASSERT_EQ(prop_reinit(store.ctx(), store.grp()), PROP_OK);
    EXPECT_EQ(get_value(store, "k"), "six");
    EXPECT_EQ(store.handle()->proprhandle_native_state[0], PROP_SLOT_OPEN);
    EXPECT_EQ(store.handle()->proprhandle_native_state[1], PROP_SLOT_OPEN);
    ASSERT_EQ(put_value(store, "k", "ten"), 0u);
    ASSERT_EQ(store.terminate(), 0u);
    ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
    EXPECT_EQ(get_value(store, "k"), "ten");
}

// A context ended while another thread is inside a call on it: the end
// waits for that call (here one held up in a slow write), refuses the
// calls that come meanwhile, and only then gives the store up.
TEST(Terminate, WaitsForTheCallInProgressAndRefusesNewOnes)
{
    Store store;
    store.format();
    ASSERT_EQ(store.init(), PROP_OK);
    backend_ctx *ctx = store.ctx();
    const std::string loc = store.location_tag(0);
    const u64 writes = store.faults().writes(loc.c_str());
    ASSERT_EQ(store.faults().load(("delay:us=400000,path=" + loc).c_str()), 0);
    trace_capture_start();

    std::atomic<bool> worker_done{false};
    u32 worker_rc = 99, end_rc = 99;
    std::thread worker([&] {
        worker_rc = prop_set_state(ctx, 0, 0);
        worker_done = true;
    });
    while (store.faults().writes(loc.c_str()) == writes) std::this_thread::yield();
    std::thread ender([&] { end_rc = store.terminate(); });
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool waiting = false;
    while (!(waiting = trace_captured_contains("propr_terminate: Waiting for")) &&
           std::chrono::steady_clock::now() < give_up && !worker_done)
        std::this_thread::yield();
    EXPECT_TRUE(waiting) << "the end did not wait for the call in progress";
    if (waiting) {
        u32 state = 0;
        EXPECT_EQ(prop_get_state(ctx, &state, 0), uint32_t{PROP_E_CTX});
    }
    ender.join();
    EXPECT_TRUE(worker_done.load()) << "the context ended under a call";
    worker.join();
    trace_capture_stop();
    EXPECT_EQ(worker_rc, PROP_OK);
    EXPECT_EQ(end_rc, PROP_OK);
}

}  // namespace

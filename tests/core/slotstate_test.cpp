#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "core/slotstate.h"
#include "platform/trace.h"

namespace {

// A change the store never makes is still made, but traced; a slot past
// the table is traced and not written.
TEST(SlotStateTest, UnexpectedChangesAndSlotsAreTraced)
{
    auto h = std::make_unique<proprhandle>();
    auto traced = [&](u32 slot, u32 state, const char *text) {
        trace_capture_start();
        slot_set_state(h.get(), slot, state, "who");
        const bool seen = trace_captured_contains(text);
        trace_capture_stop();
        return seen;
    };
    EXPECT_FALSE(traced(1, PROP_SLOT_UNUSABLE, "not expected"));  // an open begins
    EXPECT_EQ(h->proprhandle_native_state[1], PROP_SLOT_UNUSABLE);
    EXPECT_TRUE(traced(2, PROP_SLOT_STALE, "who: location 2 moves from state 0"));  // never opened
    EXPECT_EQ(h->proprhandle_native_state[2], PROP_SLOT_STALE);
    EXPECT_TRUE(traced(PROP_NUM_SLOTS, PROP_SLOT_OPEN, "who: no location slot 5"));
}

TEST(SlotStateTest, AChangeWaitsForTheHolderOfTheIoMutex)
{
    auto h = std::make_unique<proprhandle>();
    ASSERT_EQ(plat_mutex_init(&h->proprhandle_io_mutex), 0);
    h->proprhandle_io_mutex_created = 1;
    std::atomic<bool> done{false};
    std::thread changer;
    {
        IoLock held(h.get());
        changer = std::thread([&] {
            slot_set_state(h.get(), 0, PROP_SLOT_UNUSABLE, "who");
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(done.load());
        EXPECT_EQ(h->proprhandle_native_state[0], PROP_SLOT_UNCONFIGURED);
    }
    changer.join();
    EXPECT_EQ(h->proprhandle_native_state[0], PROP_SLOT_UNUSABLE);
    plat_mutex_destroy(&h->proprhandle_io_mutex);
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "core/slotstate.h"
#include "platform/trace.h"

namespace {

constexpr const char *kUnexpected = "a change not expected";

struct Step {
    u32 slot;
    u32 state;
    bool traced;  // a change the store never makes
};

TEST(SlotStateTest, EveryChangeIsMadeAndOnlyUnlistedOnesAreTraced)
{
    auto h = std::make_unique<proprhandle>();
    const Step steps[] = {
        {1, PROP_SLOT_UNUSABLE, false},      // utopen begins
        {1, PROP_SLOT_OPEN, false},          // and succeeds
        {1, PROP_SLOT_STALE, false},         // behind in the votes
        {1, PROP_SLOT_OPEN, false},          // copied up to date
        {1, PROP_SLOT_CLOSED, false},
        {1, PROP_SLOT_OPEN, true},           // used again without an open
        {2, PROP_SLOT_STALE, true},          // never opened
        {2, PROP_SLOT_CORRUPT, true},        // only a check reports it
        {2, PROP_SLOT_UNCONFIGURED, false},  // a reset clears anything
    };
    for (const Step &s : steps) {
        trace_capture_start();
        slot_set_state(h.get(), s.slot, s.state, "who");
        EXPECT_EQ(trace_captured_contains(kUnexpected), s.traced) << "slot " << s.slot << " to " << s.state;
        trace_capture_stop();
        EXPECT_EQ(h->proprhandle_native_state[s.slot], s.state);
    }
    trace_capture_start();
    slot_set_state(h.get(), PROP_NUM_SLOTS, PROP_SLOT_OPEN, "who");
    EXPECT_TRUE(trace_captured_contains("who: no location slot 5"));
    trace_capture_stop();
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

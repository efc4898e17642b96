// A mirror that stops taking writes: the store goes on without it, and the
// next start brings it up to date.
#include <gtest/gtest.h>

#include "lifecycle_util.h"

namespace {

TEST(Mirrors, ALocationWhoseWritesFailIsDroppedAndBroughtUpToDateAtTheNextStart)
{
    Store store({.locations = 2});
    store.format();
    ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
    ASSERT_EQ(put_value(store, "before", "one"), 0u);

    ASSERT_EQ(store.faults().load(("fail_write:nth=1,errno=EIO,times=0,path=" + store.location_tag(1)).c_str()), 0);
    trace_capture_start();
    ASSERT_EQ(put_value(store, "during", "two"), 0u);
    EXPECT_EQ(store.handle()->proprhandle_native_state[1], PROP_SLOT_UNUSABLE);
    EXPECT_TRUE(alerted(1006, store.location(1)));
    trace_capture_stop();
    ASSERT_EQ(put_value(store, "after", "three"), 0u);
    ASSERT_EQ(store.terminate(), 0u);
    store.faults().reset();

    ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
    EXPECT_EQ(store.handle()->proprhandle_native_state[1], PROP_SLOT_STALE);
    ASSERT_EQ(prop_recover(store.ctx(), 0), PROP_OK);
    EXPECT_EQ(store.handle()->proprhandle_native_state[1], PROP_SLOT_OPEN);
    EXPECT_EQ(get_value(store, "before"), "one");
    EXPECT_EQ(get_value(store, "during"), "two");
    EXPECT_EQ(get_value(store, "after"), "three");
    ASSERT_EQ(store.terminate(), 0u);

    // The stale copy now matches block for block, but for the undo log,
    // whose images die with their transactions, and the free pages.
    const BootView b = boot_of(store, 0);
    const std::pair<u32, u32> compared[] = {{0, b.lsst}, {b.odbst, b.rtnst + 64 * 4096}};
    for (auto [from, to] : compared)
        for (u32 addr = from; addr < to; addr += 4096)
            ASSERT_EQ(store.read_block(1, addr), store.read_block(0, addr)) << "block address " << addr;
}

}  // namespace

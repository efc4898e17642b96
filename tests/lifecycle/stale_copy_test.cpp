// A copy of the store that comes back from elsewhere: behind the others, or
// with a history that names other locations, or both.  The newest committed
// state always wins; where the only newest copies name other locations the
// open refuses and writes nothing.
#include <gtest/gtest.h>

#include "io/devhist.h"
#include "core/handle.h"
#include "format/block.h"
#include "support/store.h"
#include "support/child.h"

namespace {

enum class Commit { older, equal, newer };

struct Case {
    u32 locations;
    bool history_matches;
    Commit commit;
};

class StaleCopy : public ::testing::TestWithParam<Case> {};

// The last location is the copy that comes back.  Older: it missed the
// last key.  Newer: every other location missed it.
TEST_P(StaleCopy, TheNewestCommittedStateWinsOrTheOpenChangesNothing)
{
    const Case c = GetParam();
    SCOPED_TRACE(testing::Message() << c.locations << " locations, history matches " << c.history_matches
                                    << ", commit " << static_cast<int>(c.commit) << " (older, equal, newer)");
    Store store({.locations = c.locations});
    const u32 back = c.locations - 1;
    ASSERT_EQ(store.setup(), 0u);
    ASSERT_EQ(put_value(store, "first", "one"), 0u);
    ASSERT_EQ(store.terminate(), 0u);
    std::vector<FileImage> before;
    for (u32 i = 0; i < c.locations; i++) before.emplace_back(store.location(i));

    ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
    ASSERT_EQ(put_value(store, "last", "two"), 0u);
    ASSERT_EQ(store.terminate(), 0u);
    for (u32 i = 0; i < c.locations; i++) {
        const bool behind = c.commit == Commit::older ? i == back : c.commit == Commit::newer && i != back;
        if (behind) before[i].restore();
    }
    if (!c.history_matches) {
        // The history the copy keeps when the store moved on without it, or
        // moved to other locations.
        std::string raw = store.read_block(back, 0);
        u8 *b = reinterpret_cast<u8 *>(raw.data());
        const u32 prev[PROP_NUM_SLOTS] = {11, 12, 13, 0, 0}, next[PROP_NUM_SLOTS] = {11, 12, 14, 0, 0};
        ASSERT_EQ(dev_whist(b, prev, next), PROP_OK);
        hdr_stamp_checksum(b, 4096);
        store.write_block(back, 0, raw);
    }
    const bool newest_is_foreign = !c.history_matches && c.commit == Commit::newer;
    std::vector<FileImage> files;
    for (u32 i = 0; i < c.locations; i++) files.emplace_back(store.location(i));

    for (u32 level : {PROP_LEVEL_READONLY, PROP_LEVEL_RW}) {
        const u32 rc = store.init(level);
        if (newest_is_foreign) {
            EXPECT_EQ(rc, static_cast<u32>(PROP_E_DEVDIFF)) << "level " << level;
            for (u32 i = 0; i < c.locations; i++)
                EXPECT_TRUE(FileImage(store.location(i)) == files[i]) << "location " << i << " was written";
            continue;
        }
        ASSERT_EQ(rc, PROP_OK) << "level " << level;
        if (level == PROP_LEVEL_RW) {
            ASSERT_EQ(prop_recover(store.ctx(), 0), PROP_OK);
        }
        EXPECT_EQ(get_value(store, "first"), "one");
        EXPECT_EQ(get_value(store, "last"), "two");
        if (level == PROP_LEVEL_RW) {
            EXPECT_EQ(put_value(store, "after", "three"), 0u);
        }
        ASSERT_EQ(store.terminate(), 0u);
    }
    if (newest_is_foreign) return;
    // Every location is current again: none is left behind.
    ASSERT_EQ(store.init(PROP_LEVEL_READONLY), PROP_OK);
    for (u32 i = 0; i < c.locations; i++)
        EXPECT_EQ(store.handle()->proprhandle_native_state[i], PROP_SLOT_OPEN) << "location " << i;
    EXPECT_EQ(get_value(store, "after"), "three");
    ASSERT_EQ(store.terminate(), 0u);
}

std::vector<Case> every_case()
{
    std::vector<Case> out;
    for (u32 n : {2u, 3u})
        for (bool matches : {true, false})
            for (Commit commit : {Commit::older, Commit::equal, Commit::newer}) out.push_back({n, matches, commit});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Copies, StaleCopy, ::testing::ValuesIn(every_case()));

}  // namespace

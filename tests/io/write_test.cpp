// Mirrored and direct writes: the quorum over configured locations, write
// groups, and what a failed location becomes.
#include <cstring>

#include <gtest/gtest.h>

#include "io/group.h"
#include "io/quorum.h"
#include "io/workers.h"
#include "io_fixture.h"

namespace {

constexpr u32 ADDR = 8 * 4096;

struct QuorumCase {
    u32 configured;
    u32 failing;  // the last `failing` locations refuse every write
    u32 expected;
};

// Half of the configured locations must take the write (more than half
// of one or two), whether written in turn or by the workers.
TEST(MirroredWrite, QuorumIsHalfOfTheConfiguredLocations)
{
    const QuorumCase cases[] = {
        {1, 0, 0}, {1, 1, 26}, {2, 1, 0},  {3, 1, 0},  {3, 2, 26},
        {4, 2, 0}, {4, 3, 26}, {5, 2, 0},  {5, 3, 26},
    };
    for (bool caching : {false, true})
        for (const QuorumCase &c : cases) {
            SCOPED_TRACE("configured " + std::to_string(c.configured) + ", failing " + std::to_string(c.failing) +
                         (caching ? ", workers" : ", in turn"));
            IoStore s(c.configured, caching ? PROP_LEVEL_CACHING : PROP_LEVEL_RW);
            s.open_files();
            for (u32 i = 0; i < c.configured; i++) s.write_boot(i, {});
            s.set_votes(c.configured == 2 ? 1 : 0, c.configured == 2 ? 2 : 0);
            if (caching) {
                ASSERT_EQ(proprio_spawn(s.h), PROP_OK);
            }
            for (u32 i = c.configured - c.failing; i < c.configured; i++) {
                const std::string rule = "fail_write:nth=1,times=0,errno=EIO,path=/loc" + std::to_string(i);
                ASSERT_EQ(s.faults.load(rule.c_str()), 0);
            }
            trace_capture_start();
            u8 block[2 * PROP_PAGE_SIZE];
            std::memset(block, 0x5a, sizeof block);
            EXPECT_EQ(propriow(s.h, block, sizeof block, ADDR, PROPRIO_ALL), c.expected);

            u32 alerts = 0;
            for (const AlertRecord &a : alerts_captured()) alerts += a.number == 1006 ? 1 : 0;
            EXPECT_EQ(alerts, c.failing);
            for (u32 i = 0; i < c.configured; i++) {
                const bool failed = i >= c.configured - c.failing;
                EXPECT_EQ(s.h->proprhandle_native_state[i], failed ? PROP_SLOT_UNUSABLE : PROP_SLOT_OPEN) << i;
                if (!failed) {
                    EXPECT_EQ(s.read_raw(i, ADDR, 1)[0], 0x5a) << i;
                }
            }
        }
}

TEST(MirroredWrite, OutOfSpaceAnywhereFailsTheWrite)
{
    IoStore s(5);
    s.h->proprhandle_configured_device_count = 5;
    EXPECT_EQ(proprio_write_verdict(s.h, 4, 1), PROP_E_NOSPACE);
    EXPECT_EQ(proprio_write_verdict(s.h, 3, 0), PROP_OK);
    EXPECT_EQ(proprio_write_verdict(s.h, 0, 0), PROP_E_STORAGE);
}

TEST(MirroredWrite, StaleLocationsAreNotWritten)
{
    IoStore s(3);
    s.open_files();
    s.h->proprhandle_native_state[1] = PROP_SLOT_STALE;
    u8 block[PROP_PAGE_SIZE] = {};
    EXPECT_EQ(propriow(s.h, block, sizeof block, ADDR, PROPRIO_ALL), PROP_OK);
    EXPECT_EQ(s.faults.writes("/loc1"), 0u);
    EXPECT_EQ(s.faults.writes("/loc2"), 1u);
}

// A group's neighbours go out as one request and the later copy of a page
// wins; each location gets one barrier per group, an empty group none.
TEST(WriteGroups, NeighboursMergeTheLaterCopyWinsAndEachLocationHasOneBarrier)
{
    IoStore s(3);
    s.open_files();
    std::vector<u8> two(2 * PROP_PAGE_SIZE, 1), one(PROP_PAGE_SIZE, 2), far(PROP_PAGE_SIZE, 3);
    WriteGroup g(s.h);
    ASSERT_EQ(g.add(two.data(), two.size(), ADDR), 0u);
    ASSERT_EQ(g.add(one.data(), one.size(), ADDR + PROP_PAGE_SIZE), 0u);
    ASSERT_EQ(g.add(far.data(), far.size(), ADDR + 5 * PROP_PAGE_SIZE), 0u);
    ASSERT_EQ(g.flush(), 0u);
    for (u32 i = 0; i < 3; i++) {
        const std::string loc = "/loc" + std::to_string(i);
        EXPECT_EQ(s.faults.writes(loc.c_str()), 2u) << i;
        EXPECT_EQ(s.faults.barriers(loc.c_str()), 1u) << i;
        for (const auto &[page, fill] : {std::pair<u32, u8>{0, 1}, {1, 2}, {5, 3}})
            EXPECT_EQ(s.read_raw(i, ADDR + page * PROP_PAGE_SIZE, 1)[0], fill) << i << " " << page;
    }
    // One location only; nothing at all.
    ASSERT_EQ(g.add(far.data(), far.size(), ADDR), 0u);
    ASSERT_EQ(g.flush(1), 0u);
    ASSERT_EQ(g.flush(), 0u);
    EXPECT_EQ(s.faults.writes("/loc"), 7u);
    EXPECT_EQ(s.faults.barriers("/loc"), 4u);
    EXPECT_EQ(s.read_raw(1, ADDR, 1)[0], 3);
    EXPECT_EQ(s.read_raw(0, ADDR, 1)[0], 1);
}

}  // namespace

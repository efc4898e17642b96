// Mirrored and direct writes: the quorum over configured locations, the
// workers of the CACHING level, and what a failed location becomes.
#include <chrono>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "io/io.h"
#include "io/quorum.h"
#include "io/workers.h"
#include "io_fixture.h"
#include "propreg/frontend.h"

namespace {

constexpr u32 ADDR = 8 * 4096;

struct QuorumCase {
    u32 configured;
    u32 failing;  // the last `failing` locations refuse every write
    u32 expected;
};

void fail_writes(IoStore &s, u32 slot)
{
    ASSERT_EQ(s.faults.load(("fail_write:nth=1,times=0,errno=EIO,path=/loc" + std::to_string(slot)).c_str()), 0);
}

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
                ASSERT_EQ(proprio_spawn(s.h), 0u);
            }
            for (u32 i = c.configured - c.failing; i < c.configured; i++) fail_writes(s, i);
            trace_capture_start();
            const prop_iostat *stats = prop_fe_iostat_attach(s.zkv);
            u8 block[2 * PROP_PAGE_SIZE];
            std::memset(block, 0x5a, sizeof block);
            EXPECT_EQ(propriow(s.h, block, sizeof block, ADDR, PROPRIO_ALL), c.expected);

            u32 alerts = 0;
            for (const AlertRecord &a : alerts_captured()) alerts += a.number == 1006 ? 1 : 0;
            EXPECT_EQ(alerts, c.failing);
            for (u32 i = 0; i < c.configured; i++) {
                const bool failed = i >= c.configured - c.failing;
                EXPECT_EQ(s.h->proprhandle_native_state[i], failed ? PROP_SLOT_UNUSABLE : PROP_SLOT_OPEN) << i;
                // Workers' writes count in the calling thread's statistics; a
                // two-location survivor also read and rewrote its boot block.
                const bool took_over = c.configured == 2 && c.failing == 1;
                EXPECT_EQ(stats[i].pages, failed ? 0u : (took_over ? 4u : 2u)) << i;
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
    EXPECT_EQ(proprio_write_verdict(s.h, 4, 1), 36u);
    EXPECT_EQ(proprio_write_verdict(s.h, 0, 5), 36u);
    EXPECT_EQ(proprio_write_verdict(s.h, 3, 0), 0u);
    EXPECT_EQ(proprio_write_verdict(s.h, 0, 0), 26u);
}

TEST(MirroredWrite, StaleLocationsAreNotWritten)
{
    IoStore s(3);
    s.open_files();
    s.h->proprhandle_native_state[1] = PROP_SLOT_STALE;
    u8 block[PROP_PAGE_SIZE] = {};
    EXPECT_EQ(propriow(s.h, block, sizeof block, ADDR, PROPRIO_ALL), 0u);
    EXPECT_EQ(s.faults.writes("/loc1"), 0u);
    EXPECT_EQ(s.faults.writes("/loc2"), 1u);
}

// The workers write in parallel: with every write delayed, three mirrors
// cost about what one does.
TEST(Workers, MirroredWriteCostsAboutOneLocation)
{
    constexpr int kWrites = 10;
    constexpr u64 kDelayUs = 20000;
    double ms[2] = {};
    const u32 locations[2] = {1, 3};
    for (int run = 0; run < 2; run++) {
        IoStore s(locations[run], PROP_LEVEL_CACHING);
        for (u32 i = 0; i < locations[run]; i++) s.write_boot(i, {});
        ASSERT_EQ(proprioini(s.h, 0), 0u);
        ASSERT_NE(s.h->proprhandle_workers, nullptr);
        ASSERT_EQ(s.faults.load(("delay:us=" + std::to_string(kDelayUs)).c_str()), 0);
        u8 block[PROP_PAGE_SIZE] = {};
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kWrites; i++) ASSERT_EQ(propriow(s.h, block, sizeof block, ADDR, PROPRIO_ALL), 0u);
        ms[run] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(s.faults.writes("/loc"), static_cast<u64>(kWrites) * locations[run]);
    }
    std::printf("mirrored write, %d writes, %llu us delay each: 1 location %.1f ms, 3 locations %.1f ms (%.2fx)\n",
                kWrites, static_cast<unsigned long long>(kDelayUs), ms[0], ms[1], ms[1] / ms[0]);
    EXPECT_LT(ms[1], 1.5 * ms[0]);
}

}  // namespace

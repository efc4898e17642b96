// I/O errors and lost locations.  Reads or writes fail with EIO from the
// n-th on, on one location and then on two of three, while the workload
// runs: with a quorum left it must finish with its last tree (one of three
// unreadable from its first read is copied back at the next open); with
// none, the operation that met the error fails and leaves nothing.  One of
// two locations gone: opening is refused unless the published group
// record shows the hand-over.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "bench.h"
#include "platform/groupdata.h"

namespace {

constexpr int kNoStore = 11;  // the driver's status when the store does not open
// The reads a location gets while the open votes: its boot block and its
// log's lsn.  A read that fails later only fails that location over.
constexpr uint64_t kVoteReads = 2;

struct ErrorMode {
    const char *name;
    bool reads;  // reads fail, else writes
    std::vector<uint32_t> slots;
};

std::string eio_rules(CrashBench &bench, const ErrorMode &mode, uint64_t n)
{
    std::string rules;
    for (uint32_t slot : mode.slots)
        rules += std::string(mode.reads ? "fail_read" : "fail_write") + ":nth=" + std::to_string(n) +
                 ",errno=EIO,times=0,path=" + bench.store().location_tag(slot) + ";";
    return rules;
}

void sweep_errors(uint32_t locations, uint32_t level, const std::vector<ErrorMode> &modes, uint32_t sample)
{
    std::string label = std::to_string(locations) + " location(s), level " + std::to_string(level);
    SCOPED_TRACE(label);
    CrashBench bench({.locations = locations, .level = level});
    ASSERT_TRUE(bench.ok());
    Sweeper s(bench, label, sample);
    for (const ErrorMode &mode : modes) {
        uint32_t slot = mode.slots.front();
        const Progress &clean = bench.clean();
        uint64_t count = mode.reads ? clean.reads.back()[slot] : clean.at.back()[slot + 1];
        // Every read of the vote and the first after it, then a sample.
        std::set<uint64_t> points;
        for (uint64_t n = 1; mode.reads && n <= kVoteReads + 1 && n <= count; n++) points.insert(n);
        for (uint64_t n : crash_points(1, count, sample, bench.options().seed + slot)) points.insert(n);
        for (uint64_t n : points) {
            Progress p = bench.run_workload(eio_rules(bench, mode, n));
            // A quorum left means nothing fails, except that one of two
            // locations unreadable while the open votes keeps it shut.
            bool quorum = 2 * (locations - mode.slots.size()) >= locations;
            bool refused = locations == 2 && mode.reads && n <= kVoteReads;
            std::string why;
            if (refused && p.status != kNoStore)
                why = "the store opened with one of two locations unreadable: status " + std::to_string(p.status);
            else if (quorum && !refused && p.status != 0)
                why = "the workload failed with a quorum left: status " + std::to_string(p.status);
            // The run finished, or stopped at an operation that failed (or at
            // the CACHING level ended the process): that operation left nothing.
            const uint32_t stopped = bench.expect_stopped(p).first;
            const uint32_t ops = bench.options().ops;
            const uint32_t end = p.status == 0 && stopped == ops ? ops : stopped;
            s.judge(mode.name, n, why, {end, end});
        }
    }
    s.expect_none("I/O errors, " + label, bench.clean());
}

TEST(IoErrors, OneLocationFailing)
{
    for (uint32_t level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING})
        for (uint32_t locations : {1u, 2u, 3u}) {
            uint32_t last = locations - 1;
            sweep_errors(locations, level,
                         {{"EIO on reads, one location", true, {last}}, {"EIO on writes, one location", false, {last}}},
                         12);
        }
}

TEST(IoErrors, TwoOfThreeLocationsFailing)
{
    for (uint32_t level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING})
        sweep_errors(3, level,
                     {{"EIO on reads, two of three", true, {1, 2}}, {"EIO on writes, two of three", false, {1, 2}}}, 20);
}

std::string lost(CrashBench &bench, uint32_t slot)
{
    return "fail_open:nth=1,errno=ENOENT,times=0,path=" + bench.store().location_tag(slot);
}

// Two locations: the survivor may only run alone once the group record
// shows the other at 1 of 2 votes in both phases of the hand-over.
TEST(LocationLost, TwoLocationsNeedTheHandOverInTheGroupRecord)
{
    CrashBench bench({.locations = 2, .level = PROP_LEVEL_CACHING});
    ASSERT_TRUE(bench.ok());
    Store &store = bench.store();
    const Expect last{bench.options().ops, bench.options().ops};
    for (uint32_t gone : {1u, 0u}) {
        SCOPED_TRACE("location " + std::to_string(gone) + " gone");
        // The group starts with nothing published, in the group data and in
        // the node's own copy of its record.
        uint32_t record[PROP_GRPREC_WORDS] = {};
        ASSERT_EQ(grpdata_publish("testgroup", record, sizeof record), 0);
        std::memcpy(store.grp()->record, record, sizeof record);
        ASSERT_EQ(store.faults().load(lost(bench, gone).c_str()), 0);
        EXPECT_EQ(store.init(PROP_LEVEL_RW), static_cast<uint32_t>(PROP_E_STORAGE));
        EXPECT_EQ(store.init(PROP_LEVEL_CACHING), static_cast<uint32_t>(PROP_E_STORAGE));

        // With both open, the node publishes what it sees: 1 of 2 each.
        store.faults().reset();
        ASSERT_EQ(store.init(PROP_LEVEL_CACHING), PROP_OK);
        EXPECT_EQ(prop_reinit(store.ctx(), store.grp()), PROP_OK);
        ASSERT_EQ(store.terminate(), 0u);

        ASSERT_EQ(store.faults().load(lost(bench, gone).c_str()), 0);
        EXPECT_EQ(store.init(PROP_LEVEL_RW), static_cast<uint32_t>(PROP_E_STORAGE));
        EXPECT_EQ(bench.verify(last, {1 - gone}), "");
        // The survivor now holds 2 of 2; the other comes back stale.
        store.faults().reset();
        EXPECT_EQ(bench.verify(last), "");
    }
}

}  // namespace

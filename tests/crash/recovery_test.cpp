// Crashes inside recovery itself, at every crash point of every mode: of
// a rollback (image restore, log clear, boot-block reset) and of a mirror
// sync.  The store, opened and recovered again, must hold exactly what a
// recovery without a crash gives, be whole, and take new writes.
#include <gtest/gtest.h>

#include "bench.h"

namespace {

// The operation with the most writes: the largest undo log to roll back.
uint32_t biggest_op(const CrashBench &bench)
{
    const auto &at = bench.clean().at;
    uint32_t best = 1;
    for (uint32_t i = 1; i < at.size(); i++)
        if (at[i][0] - at[i - 1][0] > at[best][0] - at[best - 1][0]) best = i;
    return best;
}

// Leaves the store as the crash rules do, recovers it once without faults
// (the outcome must be one of allowed), then crashes that recovery at
// every point and requires the same outcome each time.
void sweep_recovery(CrashBench &bench, const std::string &label, const std::string &crash, Expect allowed,
                    uint32_t sample)
{
    SCOPED_TRACE(label);
    Progress crashed = bench.run_workload(crash);
    ASSERT_EQ(crashed.status, kCrashStatus);
    bench.save();
    Progress clean = bench.run_recovery("");
    ASSERT_EQ(clean.status, 0);
    uint32_t outcome = 0;
    ASSERT_EQ(bench.verify(allowed, {}, &outcome), "");

    Sweeper s(bench, label, sample);
    s.all_modes(
        clean, [&](const std::string &faults) { return bench.run_recovery(faults); },
        [&](uint32_t, uint64_t) { return Expect{outcome, outcome}; }, "in recovery, ");
    s.expect_none("crash in recovery, " + label, bench.clean());
}

// Either every location holds the undo log of the operation with the most
// writes (its commit reached none of them: recovery rolls it back), or the
// last location missed the commit the others took (sync: recovery copies
// the store onto it).
void crash_then_recover(uint32_t locations, uint32_t level, bool sync)
{
    CrashBench bench({.locations = locations, .level = level});
    ASSERT_TRUE(bench.ok());
    const uint32_t op = biggest_op(bench), last = locations - 1;
    // The commit is one boot-block write per location, the operation's last.
    const uint64_t k = sync ? bench.clean().at[op][last + 1] - 1 : bench.clean().at[op][0] - locations;
    const std::string label = std::to_string(locations) + " location(s), level " + std::to_string(level) +
                              (sync ? ", syncing location " + std::to_string(last) + " after" : ", rolling back") +
                              " operation " + std::to_string(op);
    sweep_recovery(bench, label, sync ? power_cut(k, bench.store().location_tag(last)) : power_cut(k),
                   {op - 1, sync ? op : op - 1}, 12);
}

TEST(CrashInRecovery, RollbackOnOneTwoAndThreeLocations)
{
    for (uint32_t level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING})
        for (uint32_t locations : {1u, 2u, 3u}) crash_then_recover(locations, level, false);
}

TEST(CrashInRecovery, MirrorSyncOnTwoAndThreeLocations)
{
    for (uint32_t level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING})
        for (uint32_t locations : {2u, 3u}) crash_then_recover(locations, level, true);
}

}  // namespace

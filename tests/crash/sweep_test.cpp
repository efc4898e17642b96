// The workload under every crash (see Sweeper): the store, reopened and
// recovered, must hold the tree of the last committed operation or of the
// one before, be whole page by page, and take new writes.  The default run
// samples the crash points; $PROPREG_CRASH_SWEEP=full tries every one.  On
// locations in disk groups, also the volume manager's own failures from a
// sampled write on: the instance going down, and a disk group out of space.
#include <gtest/gtest.h>

#include "bench.h"

namespace {

constexpr int kFailedOp = 10;    // the driver's status after an operation failed
constexpr int kFatalExit = 1;    // a CACHING-level failure ended the process

struct VmFailure {
    const char *name;
    uint32_t counter;  // whose writes are counted: 0 all, j + 1 location j's
    std::string (*rules)(uint64_t k);
};

// The instance going down breaks the stand-in's link to it: ENOTCONN (107).
const VmFailure kFailures[] = {
    {"instance down", 0, [](uint64_t k) { return "fail_write:nth=" + std::to_string(k) + ",errno=107,times=0"; }},
    {"disk group full", 2,
     [](uint64_t k) { return "fail_write:nth=" + std::to_string(k) + ",errno=ENOSPC,times=0,path=store-location-1"; }},
};

// However a run the volume manager failed ends, the store reopened holds
// the tree of the last committed operation or of the one before.
void vm_failures(CrashBench &bench, Sweeper &s, uint32_t sample)
{
    const Progress &clean = bench.clean();
    for (const VmFailure &f : kFailures) {
        const uint64_t writes = clean.at.back()[f.counter] - clean.at.front()[f.counter];
        for (uint64_t k : crash_points(1, writes, sample, bench.options().seed + f.counter)) {
            // The count starts at the driver's first write, opening included.
            Progress p = bench.run_workload(f.rules(clean.at.front()[f.counter] + k));
            bool ok = p.status == 0 || p.status == kFailedOp || p.status == kFatalExit;
            s.judge(f.name, k, ok ? "" : "the driver ended with status " + std::to_string(p.status),
                    bench.expect_stopped(p));
        }
    }
}

void sweep(uint32_t locations, uint32_t sample, bool vld = false)
{
    for (uint32_t level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING}) {
        std::string label = std::to_string(locations) + " location(s)" +
                            (vld ? " in disk groups" : "") + ", level " + std::to_string(level);
        SCOPED_TRACE(label);
        CrashBench bench({.locations = locations, .level = level, .vld = vld});
        ASSERT_TRUE(bench.ok());
        Sweeper s(bench, label, sample);
        s.all_modes(
            bench.clean(), [&](const std::string &faults) { return bench.run_workload(faults); },
            [&](uint32_t counter, uint64_t w) { return bench.expect_lost(counter, w); });
        if (vld) vm_failures(bench, s, sample);
        s.expect_none("crash sweep, " + label, bench.clean());
    }
}

TEST(CrashSweep, OneLocation)
{
    sweep(1, 40);
}

TEST(CrashSweep, TwoLocations)
{
    sweep(2, 30);
}

TEST(CrashSweep, ThreeLocations)
{
    sweep(3, 30);
}

TEST(CrashSweepVld, TwoLocationsInDiskGroups)
{
    sweep(2, 12, true);
}

}  // namespace

// The workload on a store of two locations in disk groups of the volume
// manager, with the same checks as on files: a power cut at every sampled
// write (on all locations, on one) and torn writes; then the volume
// manager's own failures from a sampled write on: the instance going down
// (the link to it breaks), and one disk group out of space.  However a run
// ends, the store reopened must hold the tree of the last committed
// operation or of the one before, be whole, and take new writes.
#include <gtest/gtest.h>

#include "bench.h"

namespace {

constexpr uint32_t kSeed = 21;
constexpr uint32_t kOps = 30;
constexpr int kFailedOp = 10;    // the driver's status after an operation failed
constexpr int kFatalExit = 1;    // a CACHING-level failure ended the process
constexpr int kNotConnected = 107;  // ENOTCONN: the stand-in's lost link to its instance

struct VmFailure {
    const char *name;
    uint32_t counter;  // whose writes are counted: 0 all, j + 1 location j's
    std::string (*rules)(uint64_t k);
};

const VmFailure kFailures[] = {
    {"instance down", 0,
     [](uint64_t k) {
         return "fail_write:nth=" + std::to_string(k) + ",errno=" + std::to_string(kNotConnected) + ",times=0";
     }},
    {"disk group full", 2,
     [](uint64_t k) { return "fail_write:nth=" + std::to_string(k) + ",errno=ENOSPC,times=0,path=store-location-1"; }},
};

void vm_failures(CrashBench &bench, Sweeper &s, uint32_t sample)
{
    const Progress &clean = bench.clean();
    for (const VmFailure &f : kFailures) {
        const uint64_t writes = clean.at.back()[f.counter] - clean.at.front()[f.counter];
        for (uint64_t k : crash_points(1, writes, sample, kSeed + f.counter)) {
            // The count starts at the driver's first write, opening included.
            Progress p = bench.run_workload(f.rules(clean.at.front()[f.counter] + k));
            bool ok = p.status == 0 || p.status == kFailedOp || p.status == kFatalExit;
            s.judge(f.name, k, ok ? "" : "the driver ended with status " + std::to_string(p.status),
                    bench.expect_stopped(p));
        }
    }
}

void sweep(uint32_t sample)
{
    for (uint32_t level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING}) {
        std::string label = "2 locations in disk groups, level " + std::to_string(level);
        SCOPED_TRACE(label);
        CrashBench bench({2, level, kSeed, kOps, true});
        ASSERT_TRUE(bench.ok());
        Figures figures;
        Sweeper s(bench, figures, label, sample, kSeed);
        s.all_modes(
            bench.clean(), [&](const std::string &faults) { return bench.run_workload(faults); },
            [&](uint32_t counter, uint64_t w) { return bench.expect_lost(counter, w); });
        vm_failures(bench, s, sample);
        std::printf("%s", figures.summary("crash sweep, " + label, bench.clean()).c_str());
        EXPECT_EQ(figures.failures(), 0u);
    }
}

TEST(CrashSweepVld, TwoLocationsInDiskGroups)
{
    sweep(12);
}

}  // namespace

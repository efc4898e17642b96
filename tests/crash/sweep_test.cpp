// The workload under every crash: for each write k the driver loses every
// write after the k-th on all locations at once (a power cut), or on one
// location only (the others keep what they had when the process died), or
// tears the k-th write after 512 bytes, and of the writes each cut location
// took since its last barrier it keeps, loses or tears some, as a seed
// drawn from k decides; the store, reopened and recovered,
// must hold the tree of the last committed operation or of the one before,
// be whole page by page, and take new writes.  Every level writes the
// mirrors of a group at once.  The default run samples the crash points
// with a fixed seed; $PROPREG_CRASH_SWEEP=full tries every one.
#include <gtest/gtest.h>

#include "bench.h"

namespace {

constexpr uint32_t kSeed = 21;
constexpr uint32_t kOps = 30;

void sweep(uint32_t locations, uint32_t sample)
{
    for (uint32_t level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING}) {
        std::string label = std::to_string(locations) + " location(s), level " + std::to_string(level);
        SCOPED_TRACE(label);
        CrashBench bench({locations, level, kSeed, kOps});
        ASSERT_TRUE(bench.ok());
        Figures figures;
        Sweeper s(bench, figures, label, sample, kSeed);
        s.all_modes(
            bench.clean(), [&](const std::string &faults) { return bench.run_workload(faults); },
            [&](uint32_t counter, uint64_t w) { return bench.expect_lost(counter, w); });
        std::printf("%s", figures.summary("crash sweep, " + label, bench.clean()).c_str());
        EXPECT_EQ(figures.failures(), 0u);
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

}  // namespace

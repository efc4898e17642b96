// The workload under every crash: for each write k the driver loses every
// write after the k-th on all locations at once (a power cut), or on one
// location only (the others keep what they had when the process died), or
// tears the k-th write after 512 bytes; the store, reopened and recovered,
// must hold the tree of the last committed operation or of the one before,
// be whole page by page, and take new writes.  At level 1 the workers
// write the mirrors in parallel, so what each location holds at a crash
// differs from run to run.  The default run samples the crash points with
// a fixed seed; $PROPREG_CRASH_SWEEP=full tries every one.
#include <gtest/gtest.h>

#include "bench.h"

namespace {

constexpr uint32_t kSeed = 21;
constexpr uint32_t kOps = 30;

struct Sweep {
    CrashBench &bench;
    Figures &figures;
    std::string label;
    uint32_t sample;
    uint32_t shown = 0;

    void fail(const std::string &mode, uint64_t k, const std::string &why)
    {
        if (shown++ < 5) ADD_FAILURE() << label << ", " << mode << ", k = " << k << ": " << why;
    }

    // One crash: the run must end where the rules end it, then the store
    // must verify.
    void point(const std::string &mode, uint64_t k, const std::string &rules, uint32_t counter, uint64_t lost,
               bool may_finish)
    {
        Progress p = bench.run_workload(rules);
        std::string why;
        if (p.status != kCrashStatus && !(may_finish && p.status == 0))
            why = "the driver ended with status " + std::to_string(p.status);
        else
            why = bench.verify(bench.expect_lost(counter, lost));
        figures.count(mode, !why.empty());
        if (!why.empty()) fail(mode, k, why);
    }

    void power_cuts()
    {
        const auto &at = bench.clean().at;
        uint64_t first = at.front()[0], last = at.back()[0];
        for (uint64_t k : crash_points(first, last, sample, kSeed))
            point("power cut, all locations", k, power_cut(k), 0, k + 1, k >= last);
    }

    void one_location_cuts()
    {
        const auto &at = bench.clean().at;
        for (uint32_t j = 0; j < bench.options().locations; j++) {
            uint64_t first = at.front()[j + 1], last = at.back()[j + 1];
            std::string tag = bench.store().location_tag(j);
            for (uint64_t k : crash_points(first, last, sample / bench.options().locations, kSeed + j))
                point("power cut, one location", k, power_cut(k, tag), j + 1, k + 1, k >= last);
        }
    }

    void torn_writes()
    {
        const auto &at = bench.clean().at;
        uint64_t first = at.front()[0] + 1, last = at.back()[0];
        for (uint64_t k : crash_points(first, last, sample, kSeed + 7))
            point("torn write", k, torn_write(k), 0, k, false);
    }
};

void sweep(uint32_t locations, uint32_t sample)
{
    for (uint32_t level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING}) {
        std::string label = std::to_string(locations) + " location(s), level " + std::to_string(level);
        SCOPED_TRACE(label);
        CrashBench bench({locations, level, kSeed, kOps});
        ASSERT_TRUE(bench.ok());
        Figures figures;
        figures.note("workload: " + std::to_string(kOps) + " operations (" + op_mix(bench.workload().ops) + "), " +
                     std::to_string(bench.workload().trees.back().size()) + " keys at the end");
        Sweep s{bench, figures, label, sample};
        s.power_cuts();
        if (locations > 1) s.one_location_cuts();
        s.torn_writes();
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

#include "bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "pages.h"

void Progress::read(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        uint32_t rc = 0;
        std::vector<uint64_t> counts(1 + PROP_MAX_LOCATIONS), read_counts(PROP_MAX_LOCATIONS);
        words >> rc;
        for (uint64_t &c : counts) words >> c;
        for (uint64_t &c : read_counts) words >> c;
        if (!words) return;
        if (!at.empty()) codes.push_back(rc);
        at.push_back(counts);
        reads.push_back(read_counts);
    }
}

void Sweeper::expect_none(const std::string &title, const Progress &clean) const
{
    std::ostringstream out;
    out << title << ": writes " << (clean.at.empty() ? 0 : clean.at.back()[0] - clean.at.front()[0]) << "\n";
    uint64_t tried = 0, failed = 0;
    for (const auto &[mode, m] : modes_) {
        out << "  " << mode << ": " << m.first << " crash points tried, " << m.second << " failed\n";
        tried += m.first;
        failed += m.second;
    }
    out << "  all modes: " << tried << " tried, " << failed << " failed\n";
    std::printf("%s", out.str().c_str());
    EXPECT_EQ(failed, 0u);
}

// Developer mode makes no write durable, so a cut may lose anything: the
// crash runs use the durable path a cluster runs.
CrashBench::CrashBench(const BenchOptions &options)
    : opt_(options),
      store_({.locations = options.locations, .developer = false, .vld = options.vld})
{
    store_.format();
    saved_.capture(store_.files());
    report_ = store_.location(0) + ".report";

    // The start tree, then the run without faults, which must end in the
    // model's last tree.
    EXPECT_EQ(store_.init(opt_.level), PROP_OK);
    Tree start;
    EXPECT_EQ(read_tree(store_.ctx(), &start), 0u);
    EXPECT_EQ(store_.terminate(), 0u);
    work_ = make_workload(opt_.seed, opt_.ops, start);
    clean_ = run_workload("");
    EXPECT_EQ(clean_.status, 0) << "the workload does not run cleanly";
    std::string why = verify({opt_.ops, opt_.ops});
    EXPECT_EQ(why, "");
    ok_ = clean_.status == 0 && why.empty();
}

std::vector<std::string> CrashBench::locations() const
{
    std::vector<std::string> paths;
    for (uint32_t i = 0; i < opt_.locations; i++) paths.push_back(store_.location(i));
    return paths;
}

void CrashBench::save()
{
    saved_.capture(store_.files());
}

Progress CrashBench::run_driver(const std::vector<std::string> &args, const std::string &faults)
{
    Progress p;
    p.status = run_child(PROPREG_CRASH_DRIVER, args, faults);
    p.read(report_);
    return p;
}

Progress CrashBench::run_workload(const std::string &faults)
{
    restore_saved();
    return run_driver({"run", std::to_string(opt_.level), std::to_string(opt_.seed), std::to_string(opt_.ops), report_},
                      faults);
}

Progress CrashBench::run_recovery(const std::string &faults)
{
    restore_saved();
    return run_driver({"recover", std::to_string(opt_.level), report_}, faults);
}

Progress CrashBench::run_restore(const std::string &backup, const std::string &faults)
{
    restore_saved();
    return run_driver({"restore", backup, report_}, faults);
}

Expect CrashBench::expect_lost(uint32_t counter, uint64_t w) const
{
    const auto &at = clean_.at;
    uint32_t n = static_cast<uint32_t>(work_.ops.size());
    if (at.empty() || w <= at[0][counter]) return {0, 0};
    for (uint32_t i = 1; i <= n && i < at.size(); i++)
        if (w <= at[i][counter]) return {i - 1, i};
    return {n, n};
}

Expect CrashBench::expect_stopped(const Progress &run) const
{
    // run.at has a line for the open store and one per finished
    // operation; the one after them was in flight (or failed).
    if (run.at.empty()) return {0, 0};
    uint32_t done = static_cast<uint32_t>(run.at.size() - 1);
    if (!run.codes.empty() && run.codes.back() != 0) done--;
    uint32_t n = static_cast<uint32_t>(work_.ops.size());
    return {std::min(done, n), std::min(done + 1, n)};
}

std::string CrashBench::verify(const Expect &expect, const std::vector<uint32_t> &check, uint32_t *matched)
{
    uint32_t rc = store_.init(opt_.level);
    if (rc != 0) return "the store does not open: " + std::to_string(rc);
    std::string why = verify_open(expect, check, matched);
    rc = store_.terminate();
    if (rc != 0 && why.empty()) why = "the store does not close: " + std::to_string(rc);
    return why;
}

std::string CrashBench::verify_open(const Expect &expect, const std::vector<uint32_t> &check, uint32_t *matched)
{
    backend_ctx *ctx = store_.ctx();
    uint32_t rc = prop_recover(ctx, 0);
    if (rc != 0) return "recovery fails: " + std::to_string(rc);

    Tree got;
    std::string where;
    rc = read_tree(ctx, &got, &where);
    if (rc != 0) return "the tree cannot be read at " + where + ": " + std::to_string(rc);
    bool match = false;
    for (uint32_t i = expect.first; i <= expect.last && !match; i++) {
        match = got == work_.trees[i];
        if (match && matched != nullptr) *matched = i;
    }
    if (!match) {
        const uint32_t next = std::min<uint32_t>(expect.first, static_cast<uint32_t>(work_.ops.size()) - 1);
        return "the tree is not the one after operation " + std::to_string(expect.first) + " or " +
               std::to_string(expect.last) + " (next: " + describe(work_.ops[next]) + "):\n" +
               tree_diff(work_.trees[expect.last], got);
    }

    std::vector<std::string> paths = check.empty() ? locations() : std::vector<std::string>{};
    for (uint32_t slot : check) paths.push_back(store_.location(slot));
    std::string faults;
    for (const std::string &f : check_pages(paths)) faults += "\n" + f;
    if (!faults.empty()) return "pages:" + faults;
    // The library's own check must agree, or a restore would be refused;
    // the caching level does not run it.
    if (opt_.level != PROP_LEVEL_CACHING) {
        if (uint32_t crc = prop_check_logical_corruption(ctx); crc != 0)
            return "the corruption check finds a whole store unsound: " + std::to_string(crc);
    }

    return takes_new_writes(ctx, store_.top_security(), expect.last);
}

std::string takes_new_writes(backend_ctx *ctx, const sec_attr &sec, uint32_t seed)
{
    std::string v(6000, '\0');
    for (size_t i = 0; i < v.size(); i++) v[i] = static_cast<char>(i * 13 + seed);
    uint32_t rc = run_op(ctx, {.kind = OpKind::create_set, .key = "SYSTEM", .name = "aftercrash.a",
                               .value = v, .type = PROP_TYPE_BYTES, .sec = sec});
    Tree tree;
    if (rc == 0) rc = read_tree(ctx, &tree);
    if (rc == 0 && tree["SYSTEM.aftercrash.a"].value != v) rc = PROP_E_CORRUPT;
    if (rc == 0) rc = run_op(ctx, {.kind = OpKind::delete_tree, .key = "SYSTEM.aftercrash"});
    if (rc != 0) return "the store takes no new writes: " + std::to_string(rc);
    return "";
}

// Each cut also decides, by a generator seeded from its point, its mode
// and its variant, which of the writes since each cut file's last barrier
// were never made durable.
std::string losses(uint64_t k, uint64_t mode, uint32_t variant)
{
    return ",lose=" + std::to_string((4 * k + mode) * kLossVariants + variant + 1);
}

std::string power_cut(uint64_t k, const std::string &path, uint32_t variant)
{
    std::string where = path.empty() ? "" : ",path=" + path;
    std::string lose = losses(k, path.empty() ? 0 : 1, variant);
    std::string cut = k == 0 ? "tear:nth=1,bytes=0" + where : "drop_after:nth=" + std::to_string(k) + where;
    return cut + lose + "; crash:status=" + std::to_string(kCrashStatus);
}

std::string torn_write(uint64_t k, uint32_t variant)
{
    return "tear:nth=" + std::to_string(k) + ",bytes=512" + losses(k, 2, variant) + "; crash:status=" +
           std::to_string(kCrashStatus);
}

bool full_sweep()
{
    const char *mode = std::getenv("PROPREG_CRASH_SWEEP");
    return mode != nullptr && std::strcmp(mode, "full") == 0;
}

std::vector<uint64_t> crash_points(uint64_t first, uint64_t last, uint32_t sample, uint32_t seed)
{
    std::vector<uint64_t> all;
    for (uint64_t k = first; k <= last; k++) all.push_back(k);
    if (full_sweep() || all.size() <= sample + 2) return all;
    std::vector<uint64_t> some = {first, last};
    std::mt19937 rng(seed);
    std::sample(all.begin() + 1, all.end() - 1, std::back_inserter(some), sample, rng);
    std::sort(some.begin(), some.end());
    return some;
}

void Sweeper::point(const std::string &mode, uint64_t k, const std::string &rules, const Runner &run, Expect expect,
                    bool may_finish)
{
    Progress p = run(rules);
    bool ok = p.status == kCrashStatus || (may_finish && p.status == 0);
    judge(mode, k, ok ? "" : "the driver ended with status " + std::to_string(p.status), expect);
}

void Sweeper::judge(const std::string &mode, uint64_t k, std::string why, const Expect &expect)
{
    if (why.empty()) why = verify_ ? verify_(expect) : bench_.verify(expect);
    modes_[mode].first++;
    if (!why.empty()) modes_[mode].second++;
    if (!why.empty() && shown_++ < 5) ADD_FAILURE() << label_ << ", " << mode << ", k = " << k << ": " << why;
}

void Sweeper::all_modes(const Progress &clean, const Runner &run, const Judge &judge, const std::string &prefix)
{
    ASSERT_GE(clean.at.size(), 2u);
    const auto &first = clean.at.front(), &last = clean.at.back();
    // A full sweep cuts each point several times, each losing other writes
    // of the groups in flight.
    const uint32_t variants = full_sweep() ? kLossVariants : 1;
    for (uint32_t v = 0; v < variants; v++) {
        for (uint64_t k : crash_points(first[0], last[0], sample_, seed_))
            point(prefix + "power cut, all locations", k, power_cut(k, "", v), run, judge(0, k + 1), k >= last[0]);
        uint32_t locations = bench_.options().locations;
        for (uint32_t j = 0; j < locations && locations > 1; j++) {
            std::string tag = bench_.store().location_tag(j);
            for (uint64_t k : crash_points(first[j + 1], last[j + 1], sample_ / locations, seed_ + j + 1))
                point(prefix + "power cut, one location", k, power_cut(k, tag, v), run, judge(j + 1, k + 1),
                      k >= last[j + 1]);
        }
        for (uint64_t k : crash_points(first[0] + 1, last[0], sample_, seed_ + 7))
            point(prefix + "torn write", k, torn_write(k, v), run, judge(0, k), false);
    }
}

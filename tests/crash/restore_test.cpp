// Crashes inside a restore.  The store holds the workload's tree; a backup
// of it is taken and the store changed since; the restore then runs in the
// driver under every crash point of every mode.  After each cut the store
// either does not open or opens with exactly the backup's tree, whole page
// by page; only a cut before every boot block was destroyed may leave the
// changed store as it was, the restore not begun.  Running the restore
// again then always gives the backup's tree.
#include <gtest/gtest.h>

#include "bench.h"
#include "pages.h"

namespace {

constexpr uint32_t kSeed = 33;

class RestoreBench {
  public:
    explicit RestoreBench(uint32_t locations) : bench_({.locations = locations, .seed = kSeed})
    {
        backup_ = bench_.store().location(0) + ".backup";
        Store &s = bench_.store();
        EXPECT_EQ(s.init(PROP_LEVEL_RW), PROP_OK);
        // Values of 15 pages each, so that the restore copies its pages in
        // several steps.
        for (int i = 0; i < 40; i++) {
            const Op op{.kind = OpKind::create_set, .key = "SYSTEM", .name = "big" + std::to_string(i),
                        .value = std::string(60000, static_cast<char>('a' + i % 26)),
                        .type = PROP_TYPE_BYTES, .sec = s.top_security()};
            EXPECT_EQ(run_op(s.ctx(), op), 0u);
        }
        EXPECT_EQ(read_tree(s.ctx(), &saved_), 0u);
        char name[PROP_LOCNAME_SIZE];
        std::snprintf(name, sizeof name, "%s", backup_.c_str());
        EXPECT_EQ(prop_bkup(s.ctx(), name), PROP_OK);
        // The store moves on: what a restore must not leave half of.
        Workload more = make_workload(kSeed + 1, 15, saved_);
        for (const Op &op : more.ops) EXPECT_EQ(run_op(s.ctx(), op), 0u) << describe(op);
        changed_ = more.trees.back();
        EXPECT_NE(changed_, saved_);
        EXPECT_EQ(s.terminate(), 0u);
        bench_.save();
    }

    CrashBench &bench() { return bench_; }
    Progress run(const std::string &faults) { return bench_.run_restore(backup_, faults); }

    // expect.first is 1 when the cut came before every boot block was
    // destroyed, so the changed store may still open as it was.
    std::string verify(const Expect &expect)
    {
        std::string why = check_open(expect.first == 1);
        if (!why.empty()) return why;
        uint32_t rc = prop_recover_media(bench_.store().meta(), backup_.c_str(), PROP_KIND_ZKV);
        if (rc != 0) return "the restore does not run again: " + std::to_string(rc);
        return check_open(false, true);
    }

  private:
    std::string check_open(bool old_allowed, bool must_open = false)
    {
        Store &s = bench_.store();
        if (s.init(PROP_LEVEL_RW) != 0) return must_open ? "the restored store does not open" : "";
        std::string why;
        Tree got;
        if (uint32_t rc = prop_recover(s.ctx(), 0); rc != 0) why = "recovery fails: " + std::to_string(rc);
        if (why.empty() && read_tree(s.ctx(), &got) != 0) why = "the tree cannot be read";
        if (why.empty() && got != saved_ && !(old_allowed && got == changed_))
            why = "the tree is neither the backup's" + std::string(old_allowed ? " nor the one before" : "") + ":\n" +
                  tree_diff(saved_, got);
        if (s.terminate() != 0 && why.empty()) why = "the store does not close";
        if (why.empty()) {
            for (const std::string &f : check_pages(bench_.locations())) why += f + "\n";
            if (!why.empty()) why = "pages:\n" + why;
        }
        return why;
    }

    CrashBench bench_;
    std::string backup_;
    Tree saved_, changed_;
};

void sweep(uint32_t locations, uint32_t sample)
{
    const std::string label = "restore onto " + std::to_string(locations) + " location(s)";
    SCOPED_TRACE(label);
    RestoreBench rb(locations);
    ASSERT_TRUE(rb.bench().ok());
    Progress clean = rb.run("");
    ASSERT_EQ(clean.status, 0);
    ASSERT_EQ(rb.verify({0, 0}), "");

    Sweeper s(rb.bench(), label, sample);
    s.verify_with([&](const Expect &e) { return rb.verify(e); });
    // The first write to each location destroys its boot block.
    auto judge = [&](uint32_t counter, uint64_t w) {
        const uint64_t destroys = counter == 0 ? locations : 1;
        return Expect{w <= destroys ? 1u : 0u, 0};
    };
    s.all_modes(clean, [&](const std::string &faults) { return rb.run(faults); }, judge, "in restore, ");
    s.expect_none("crash in restore, " + label, clean);
}

TEST(CrashInRestore, OneAndThreeLocations)
{
    for (uint32_t locations : {1u, 3u}) sweep(locations, 8);
}

}  // namespace

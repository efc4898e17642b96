// Many propctl processes on one store, and propctl processes that die in
// the middle of a write.  The library's fault layer ($PROPREG_FAULTS) slows
// writes down, or cuts the power at a chosen write and ends the process
// there, as a crash would.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "propctl_run.h"

namespace {

constexpr int kCrashStatus = 86;

TEST(PropctlProcesses, ConcurrentWritersAndReadersSeeEveryChange)
{
    Propctl p;
    p.ok({"init", "--cluster", "--copies", "2"});
    p.ok({"set", "SYSTEM.shared", "start"});
    // Slow writes keep each writer inside its transaction long enough for
    // the others to try to come in.
    p.set_env("PROPREG_FAULTS", "delay:us=1000");
    constexpr int kWriters = 6;
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kWriters; i++) {
        const std::string n = std::to_string(i);
        children.push_back(p.spawn({"set", "SYSTEM.w" + n + ".value", "v" + n}));
        children.push_back(p.spawn({"get", "SYSTEM.shared"}));
    }
    for (size_t i = 0; i < children.size(); i++) {
        RunResult r = children[i]->wait();
        EXPECT_EQ(r.status, 0) << "child " << i << ": " << r.err;
        if (i % 2 == 1) {
            EXPECT_EQ(r.out, "start\n");
        }
    }
    p.clear_env("PROPREG_FAULTS");
    for (int i = 0; i < kWriters; i++)
        EXPECT_EQ(p.ok({"get", "SYSTEM.w" + std::to_string(i) + ".value"}), "v" + std::to_string(i) + "\n") << i;
    EXPECT_EQ(p.ok({"get", "SYSTEM.shared"}), "start\n");
}

class PropctlCrash : public ::testing::Test {
  protected:
    void SetUp() override
    {
        // Buffered I/O for speed: the fault layer below decides what
        // reaches the locations either way.
        p.ok({"init", "--cluster", "--copies", "2", "--dev"});
        p.ok({"set", "SYSTEM.k", old_value});
    }

    // The next command sees the old value or the new one, whole; then the
    // store takes writes again.
    void expect_before_or_after(const std::string &first_command, int round)
    {
        std::string got;
        if (first_command == "get") {
            got = p.ok({"get", "SYSTEM.k"});
        } else {
            p.ok({"set", "SYSTEM.other", std::to_string(round)});
            got = p.ok({"get", "SYSTEM.k"});
        }
        EXPECT_TRUE(got == old_value + "\n" || got == new_value + "\n")
            << "round " << round << ": a value of " << got.size() << " bytes starting with " << got.substr(0, 8);
        p.ok({"set", "SYSTEM.k", old_value});
        EXPECT_EQ(p.ok({"get", "SYSTEM.k"}), old_value + "\n");
    }

    Propctl p;
    // Values of several pages each, so that a cut can fall between the
    // pages of one value.
    const std::string old_value = std::string(9000, 'o');
    const std::string new_value = std::string(13000, 'n');
};

TEST_F(PropctlCrash, APowerCutAtAnyWriteLeavesTheValueBeforeOrAfter)
{
    int crashed = 0;
    for (int n = 1;; n++) {
        ASSERT_LT(n, 200) << "the set never finished";
        p.set_env("PROPREG_FAULTS", "drop_after:nth=" + std::to_string(n) + "; crash:status=86");
        RunResult r = p.run({"set", "SYSTEM.k", new_value});
        p.clear_env("PROPREG_FAULTS");
        if (r.status == 0) break;  // every write of the set came before the cut
        ASSERT_EQ(r.status, kCrashStatus) << r.err;
        crashed++;
        // Alternately a reader and a writer come first after the crash.
        expect_before_or_after(n % 2 == 0 ? "get" : "set", n);
    }
    EXPECT_GT(crashed, 5);
    EXPECT_EQ(p.ok({"get", "SYSTEM.k"}), new_value + "\n");
}

TEST_F(PropctlCrash, AKilledWriterLeavesTheValueBeforeOrAfter)
{
    // Each write takes 5 ms, so the set takes about 200 ms: the kills land
    // all along it, one of them while the value's pages are rewritten.
    int killed = 0;
    for (int delay_ms = 20; delay_ms <= 200; delay_ms += 20) {
        p.set_env("PROPREG_FAULTS", "delay:us=5000");
        std::unique_ptr<Child> writer = p.spawn({"set", "SYSTEM.k", new_value});
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        writer->kill_now();
        RunResult r = writer->wait();
        p.clear_env("PROPREG_FAULTS");
        EXPECT_TRUE(r.status == 128 + 9 || r.status == 0) << r.status << " " << r.err;
        killed += r.status == 128 + 9;
        expect_before_or_after("get", delay_ms);
    }
    EXPECT_GT(killed, 3);
}

}  // namespace

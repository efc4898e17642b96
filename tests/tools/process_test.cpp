// Many propctl processes on one store, and a propctl killed in the middle
// of a write.  The library's fault layer ($PROPREG_FAULTS) slows writes
// down so that the processes overlap.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "propctl_run.h"

namespace {

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

TEST(PropctlProcesses, AKilledWriterLeavesTheValueBeforeOrAfter)
{
    Propctl p;
    // Buffered I/O for speed: the kill decides what reaches the locations.
    p.ok({"init", "--cluster", "--copies", "2", "--dev"});
    // Values of several pages each, so that a kill can fall between the
    // pages of one value.
    const std::string old_value(9000, 'o'), new_value(13000, 'n');
    p.ok({"set", "SYSTEM.k", old_value});
    // Each group of writes takes 40 ms, so the set takes about 200 ms: the
    // kills land all along it, one of them while the value's pages are
    // rewritten.
    int killed = 0;
    for (int delay_ms = 20; delay_ms <= 200; delay_ms += 20) {
        SCOPED_TRACE(delay_ms);
        p.set_env("PROPREG_FAULTS", "delay:us=40000");
        std::unique_ptr<Child> writer = p.spawn({"set", "SYSTEM.k", new_value});
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        writer->kill_now();
        RunResult r = writer->wait();
        p.clear_env("PROPREG_FAULTS");
        EXPECT_TRUE(r.status == 128 + 9 || r.status == 0) << r.status << " " << r.err;
        killed += r.status == 128 + 9;
        // The next reader sees the old value or the new one, whole; then
        // the store takes writes again.
        std::string got = p.ok({"get", "SYSTEM.k"});
        EXPECT_TRUE(got == old_value + "\n" || got == new_value + "\n")
            << "a value of " << got.size() << " bytes starting with " << got.substr(0, 8);
        p.ok({"set", "SYSTEM.k", old_value});
        EXPECT_EQ(p.ok({"get", "SYSTEM.k"}), old_value + "\n");
    }
    EXPECT_GT(killed, 3);
}

}  // namespace

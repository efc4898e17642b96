// Many propctl processes on one store, and the lock that takes turns; the
// fault layer ($PROPREG_FAULTS) slows writes down so that they overlap.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "propctl_run.h"

namespace {

TEST(PropctlProcesses, ConcurrentWritersAndReadersSeeEveryChange)
{
    Propctl p({"init", "--cluster", "--copies", "2"});
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
        EXPECT_TRUE(i % 2 == 0 || r.out == "start\n") << r.out;
    }
    p.clear_env("PROPREG_FAULTS");
    for (int i = 0; i < kWriters; i++)
        EXPECT_EQ(p.ok({"get", "SYSTEM.w" + std::to_string(i) + ".value"}), "v" + std::to_string(i) + "\n") << i;
}

TEST(PropctlProcesses, AWaitForTheLockNamesItsHolderAndCanGiveUp)
{
    Propctl p({"init", "--dev"});
    const int fd = ::open((p.root() + "/propctl.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const std::string holder = "held by pid " + std::to_string(::getpid()) + " (tools_test";

    EXPECT_TRUE(exits(p.run({"--wait", "0.5", "set", "SYSTEM.a", "1"}), 7,
                      "set SYSTEM.a: gave up waiting for the store's lock after 0.5 s: " + holder));

    std::unique_ptr<Child> waiting = p.spawn({"set", "SYSTEM.a", "2"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ::close(fd);
    RunResult r = waiting->wait();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind("propctl: waiting for the store's lock, " + holder, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "said once: " << r.err;
    EXPECT_EQ(p.ok({"get", "SYSTEM.a"}), "2\n");
}

}  // namespace

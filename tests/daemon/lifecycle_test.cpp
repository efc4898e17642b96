// The daemon owns its store while it runs, lets it go cleanly on SIGTERM,
// and ends at once on a fatal storage failure, closing its connections.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace {

bool locked(const std::string &root)
{
    int fd = ::open((root + "/propctl.lock").c_str(), O_RDWR);
    bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

bool exists(const std::string &path)
{
    return ::access(path.c_str(), F_OK) == 0;
}

TEST(DaemonLifecycle, HoldsTheStoreUntilItStopsCleanly)
{
    Daemon d(kServed);
    EXPECT_TRUE(locked(d.root())) << "the daemon takes propctl's lock";
    EXPECT_TRUE(exists(d.root() + "/propctl.dirty")) << "a killed daemon leaves readers a rollback to run";
    ASSERT_EQ(d.connect().set("SYSTEM.kept", "yes"), 0u);
    // A second daemon on the same root is refused.
    EXPECT_NE(::system((std::string(PROPREGD_PATH) + " --lock-wait 0 --root " + d.root() + " 2>/dev/null").c_str()), 0);

    EXPECT_EQ(d.stop(), 0);
    EXPECT_FALSE(locked(d.root()));
    EXPECT_FALSE(exists(d.socket()));
    EXPECT_FALSE(exists(d.root() + "/propctl.dirty"));
    EXPECT_EQ(d.propctl({"check"}), 0);
}

TEST(DaemonLifecycle, AFatalStorageFailureEndsItAndARestartServesWhatWasAnswered)
{
    Daemon d;
    // Every write after the first few fails: the store cannot be written.
    d.start({}, "fail_write:nth=40,errno=EIO,times=0");
    Conn c = d.connect();
    int answered = 0;
    uint32_t rc = 0;
    while ((rc = c.set("SYSTEM.n", std::to_string(answered + 1))) == 0) answered++;
    EXPECT_EQ(rc, uint32_t{PRC_E_CLOSED});
    EXPECT_GT(answered, 0);
    EXPECT_EQ(d.wait_exit(10000), 1);

    d.start();
    Conn again = d.connect();
    const std::string n = again.get("SYSTEM.n");
    EXPECT_TRUE(n == std::to_string(answered) || n == std::to_string(answered + 1)) << n << " after " << answered;
}

// The daemon opens at the level that takes a good copy of a damaged boot
// block (the library's healing is the vld tests'), and logs the repair.
TEST(DaemonLifecycle, ItsOpenTakesAGoodCopyOfADamagedBootBlock)
{
    Daemon d(DaemonOptions{.disk_groups = {"+DATA"}});
    ASSERT_EQ(d.propctl({"set", "SYSTEM.a", "kept"}), 0);
    ASSERT_EQ(d.propctl({"vld", "damage", "+DATA"}), 0);
    d.start();
    EXPECT_EQ(d.connect().get("SYSTEM.a"), "kept");
    EXPECT_NE(d.log().find("mirror copy 1 of the boot block of +DATA/registry.255.1 is damaged: taking a good copy"),
              std::string::npos)
        << d.log();
}

}  // namespace

// The daemon owns its store while it runs, lets it go cleanly on SIGTERM,
// and ends at once on a fatal storage failure, its clients seeing the
// connection close rather than waiting.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
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
    {
        Conn c = d.connect();
        ASSERT_EQ(c.set("SYSTEM.kept", "yes"), 0u);
    }
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

// The block of a store file that holds its boot block, as one mirror copy
// of a disk group keeps it.
std::string boot_block(const std::string &copy)
{
    constexpr std::streamoff kPage = 4096, kBootBlock = 25;
    std::ifstream in(copy, std::ios::binary);
    in.seekg(kBootBlock * kPage);
    std::string block(kPage, '\0');
    in.read(block.data(), kPage);
    return in ? block : "<unreadable>";
}

// With one disk group a damaged copy leaves a direct reader no valid
// format; with two it fails that location.  The daemon's open takes a good
// copy either way, and serves every key.
TEST(DaemonLifecycle, ItsOpenTakesAGoodCopyOfADamagedBootBlock)
{
    for (const std::vector<std::string> &groups : {std::vector<std::string>{"+DATA"}, {"+DATA", "+MIRR"}}) {
        SCOPED_TRACE(groups.size());
        Daemon d(DaemonOptions{.cluster = true, .disk_groups = groups, .init_faults = ""});
        const std::vector<std::string> keys = {"SYSTEM.a", "SYSTEM.a.b", "HWK.c"};
        for (const std::string &k : keys) ASSERT_EQ(d.propctl({"set", k, k}), 0);
        const std::string copy = d.disk_group_dir() + "/DATA/registry.255.1.m";
        ASSERT_EQ(d.propctl({"vld", "damage", "+DATA"}), 0);
        ASSERT_TRUE(boot_block(copy + "1") != boot_block(copy + "2")) << "the copies differ";

        d.start();
        {
            Conn c = d.connect();
            for (const std::string &k : keys) EXPECT_EQ(c.get(k), k);
        }
        EXPECT_TRUE(boot_block(copy + "1") == boot_block(copy + "2")) << "the damaged copy is whole again";
        EXPECT_NE(d.log().find("mirror copy 1 of the boot block of +DATA/registry.255.1 is damaged: taking a good copy"),
                  std::string::npos)
            << d.log();
        EXPECT_EQ(d.stop(), 0);
        EXPECT_EQ(d.propctl({"check"}), 0);
    }
}

}  // namespace

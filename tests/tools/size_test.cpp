// How large a store is: made to a size, grown, and said to be nearly full.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "propctl_run.h"

namespace {

uint64_t file_size(const std::string &path)
{
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return static_cast<uint64_t>(st.st_size);
}

// How far a store may grow is the format's to say; propctl makes the file
// that size, grows it, and refuses what cannot be.
TEST(PropctlSize, AStoreMadeToASizeGrowsButNeverShrinks)
{
    Propctl p;
    EXPECT_TRUE(holds(p.run({"init", "--size", "100M"}).err, "--size is at least 503484416 bytes"));
    EXPECT_TRUE(holds(p.run({"init", "--size", "1P"}).err, "no size"));
    EXPECT_TRUE(holds(p.run({"init", "--size", "200G"}).err, "--size is at most"));
    EXPECT_TRUE(holds(p.run({"init", "--size", "1G", "--cluster", "--disk-group", "+X"}).err, "--size is for files"));

    p.ok({"init", "--size", "1G"});
    const std::string location = p.root() + "/data/local.store";
    EXPECT_EQ(file_size(location), 1ull << 30);
    const std::string before = fields(p.ok({"--json", "status"}), "pages_total").at(0);
    p.ok({"set", "SYSTEM.a", "1"});
    std::string grown = p.ok({"grow", "3G"});
    EXPECT_EQ(file_size(location), 3ull << 30);
    const std::string after = fields(p.ok({"--json", "status"}), "pages_total").at(0);
    EXPECT_GT(std::stoull(after), std::stoull(before) + (2ull << 30) / 4096 - 100);
    EXPECT_TRUE(holds(grown, "the store holds " + after + " pages now"));
    EXPECT_EQ(p.ok({"get", "SYSTEM.a"}), "1\n");

    EXPECT_TRUE(exits(p.run({"grow", "5G"}), 1, "grow: this store can grow to 3.8 GiB"));
    EXPECT_TRUE(exits(p.run({"grow", "2G"}), 1, "a store does not shrink"));
    EXPECT_EQ(file_size(location), 3ull << 30);

    Propctl v({"init", "--cluster", "--disk-group", "+DATA"});
    EXPECT_TRUE(exits(v.run({"grow", "1G"}), 1, "is in the volume manager, where a store file grows by the disk"));
}

// A store from 90% full on says so after every write; the default store
// grows by a little only.  The location presents itself as a device of
// 20100 pages, so that a batch fills it.
TEST(PropctlSize, EveryWriteWarnsFromNinetyPercentFull)
{
    Propctl p;
    p.set_env("PROPREG_FAULTS", "device:bytes=" + std::to_string(0x5029000 + 20100ull * 4096) + ",path=local.store");
    p.ok({"init"});
    // Values of 300 bytes take two pages a key; a parent holds 1000 keys.
    auto keys = [](const std::string &parent, int n) {
        std::string text;
        for (int i = 0; i < n; i++)
            text += "set SYSTEM." + parent + std::to_string(i / 1000) + ".k" + std::to_string(i) + " " + std::string(300, 'v') + "\n";
        return text;
    };
    EXPECT_EQ(p.run({"batch"}, keys("f", 8500)).err, "") << "85% full: no warning, and no failure";
    RunResult r = p.run({"batch"}, keys("g", 600));
    EXPECT_TRUE(exits(r, 0, "propctl: warning: the store is 9"));
    EXPECT_TRUE(holds(r.err, "'propctl grow SIZE' makes it larger"));
    EXPECT_TRUE(exits(p.run({"set", "SYSTEM.g0.e", "v"}), 0, "% full ("));
    EXPECT_EQ(p.run({"get", "SYSTEM.g0.e"}).err, "") << "reads do not warn";
}

}  // namespace

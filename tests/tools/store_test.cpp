// Making stores: the kinds, where their locations go, what info reports,
// and the default root that needs no set-up.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "propctl_run.h"

namespace {

TEST(PropctlStore, ALocalRegistryIsOneDurableLocationMadeOnlyWhenAsked)
{
    // A location that may hold someone's data is never formatted over.
    Propctl p;
    const std::string taken = write_file(p.dir(), "taken", "data");
    EXPECT_TRUE(exits(p.run({"init", "--location", taken}), 1,
                      "propctl: init: location " + taken + " already exists and is not an empty file\n"));
    EXPECT_NE(::access((p.root() + "/SOFTWARE").c_str(), F_OK), 0) << "configuration left after a refused init";

    EXPECT_EQ(p.ok({"init"}), "created a local registry at " + p.root() + "\n  location " + p.root() +
                                  "/data/local.store\n  durable: writes go to the device before they are reported done\n");
    std::string info = p.ok({"info", "--json"});
    EXPECT_TRUE(holds(info, "\"kind\":\"local\",\"durable\":true"));
    EXPECT_TRUE(holds(info, "\"path\":\"" + p.root() + "/data/local.store\""));
    EXPECT_TRUE(exits(p.run({"init", "--cluster"}), 1, "a local registry already exists at " + p.root() + "\n"));
}

TEST(PropctlStore, AClusterRegistryMirrorsOnEveryLocationAndDeveloperModeIsNotDurable)
{
    Propctl p, dev;
    p.ok({"init", "--cluster", "--copies", "3", "--location", p.dir().file("disk1/copy.store"), "--location",
          p.dir().file("disk2/copy.store"), "--location", p.dir().file("disk3/copy.store")});
    std::string info = p.ok({"info", "--json"});
    EXPECT_TRUE(holds(info, "\"kind\":\"cluster\",\"durable\":true"));
    EXPECT_TRUE(holds(info, "\"path\":\"" + p.dir().file("disk2/copy.store") + "\""));
    EXPECT_EQ(fields(info, "device_id").size(), 3u) << info;

    EXPECT_EQ(dev.ok({"init", "--cluster", "--dev", "--json"}),
              "{\"root\":\"" + dev.root() + "\",\"kind\":\"cluster\",\"durable\":false,\"locations\":[\"" +
                  dev.root() + "/data/copy1.store\"]}\n");
}

// A power cut at any write of an init leaves no store, which the next init
// makes, or a complete one, which nothing overwrites.  The cut ends the
// process at the first write the library's fault layer loses; buffered
// I/O keeps the sweep quick and changes nothing of what reaches the files.
// The default run cuts at every fourth write and at each of the last ones;
// $PROPREG_CRASH_SWEEP=full at every write.
TEST(PropctlStore, AnInitCutAtAnyWriteLeavesNoStoreOrACompleteOne)
{
    const char *mode = std::getenv("PROPREG_CRASH_SWEEP");
    const int step = mode != nullptr && std::strcmp(mode, "full") == 0 ? 1 : 4;
    for (const std::vector<std::string> &init :
         {std::vector<std::string>{"init", "--dev"}, {"init", "--cluster", "--copies", "3", "--dev"}}) {
        int remade = 0;
        // Cuts at the write after the kept ones; false once none is left.
        auto cut_at = [&](int kept) {
            SCOPED_TRACE(std::to_string(init.size()) + " words, kept " + std::to_string(kept));
            Propctl p;
            const std::string cut = "tear:bytes=0,nth=" + std::to_string(kept + 1);
            RunResult r = p.run(init, RunOptions{.faults = cut + "; crash:status=86"});
            if (r.status == 0) return false;
            EXPECT_EQ(r.status, 86) << r.err;
            RunResult ls = p.run({"ls"});
            if (ls.status == 0) {
                EXPECT_EQ(ls.out, "DATABASE\nHWK\nSYSTEM\n");
                EXPECT_EQ(p.run(init).status, 1);
            } else {
                remade++;
                EXPECT_TRUE(holds(ls.err, "no store at"));
                p.ok(init);
                EXPECT_EQ(p.ok({"ls"}), "DATABASE\nHWK\nSYSTEM\n");
            }
            return true;
        };
        // Every step-th write, then each of the last ones.
        int last = -1;
        for (int kept = 0; cut_at(kept); kept += step) last = kept;
        for (int kept = last + 1; kept < last + step && cut_at(kept);) kept++;
        EXPECT_GT(remade, 0);
    }
}

// Any user who can read a location file reads every value in it, whatever
// the keys' permissions say.
TEST(PropctlStore, WhatPropctlMakesIsItsOwnersAloneAndAnOlderStoreIsNamed)
{
    Propctl p({"init", "--cluster", "--dev"});
    p.ok({"location", "add", p.root() + "/data/added.store"});
    auto mode = [](const std::string &path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
    };
    for (const char *dir : {"", "/data", "/SOFTWARE", "/SOFTWARE/Korvex/zkv"})
        EXPECT_EQ(mode(p.root() + dir), 0700) << dir;
    for (const char *file : {"/data/copy1.store", "/data/added.store", "/SOFTWARE/Korvex/zkv/zkvconfig_loc",
                             "/SOFTWARE/Korvex/zkv/zkvmirrorconfig_loc", "/propctl.conf", "/propctl.lock"})
        EXPECT_EQ(mode(p.root() + file), 0600) << file;

    // A store in the volume manager: its disk group and file copies too.
    Propctl v({"init", "--cluster", "--disk-group", "+DATA"});
    EXPECT_EQ(mode(v.dir().file("vld/DATA")), 0700);
    EXPECT_EQ(mode(v.dir().file("vld/DATA/registry.255.1.m1")), 0600);

    // An existing store keeps its modes, and status names the file.
    const std::string copy = p.root() + "/data/copy1.store";
    ::chmod(copy.c_str(), 0644);
    EXPECT_TRUE(exits(p.run({"status"}), 0, "propctl: warning: every user may read " + copy +
                                                " and every value in it ('chmod o-rw " + copy + "' makes it private)\n"));
    EXPECT_EQ(mode(copy), 0644);
}

TEST(PropctlStore, TheDefaultRootNeedsNoSetUp)
{
    Propctl p;
    const RunOptions no_root{.root = false};
    const std::string version = p.run({"--version"}, no_root).out;  // "propctl X.Y.Z\n"
    EXPECT_NE(::access(p.dir().file("home").c_str(), F_OK), 0) << "--version made a store";
    // No --root and no $ZKV_REGISTRY_ROOT: the user's data directory.
    RunResult r = p.run({"set", "SYSTEM.first", "run"}, no_root);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string root = p.dir().file("home") + "/.local/share/propreg";
    EXPECT_EQ(r.err, "propctl: no store yet: creating a local registry at " + root + "\n");
    EXPECT_EQ(p.run({"get", "SYSTEM.first"}, no_root).out, "run\n");
    EXPECT_TRUE(holds(p.run({"--json", "info"}, no_root).out, "\"version\":\"" + version.substr(8, version.size() - 9)));

    // $ZKV_REGISTRY_ROOT names a root that must already hold a store.
    p.set_env("ZKV_REGISTRY_ROOT", p.root());
    EXPECT_TRUE(exits(p.run({"get", "SYSTEM.first"}, no_root), 4, "no store at " + p.root() + " (propctl init"));
}

TEST(PropctlStore, TheDemoMakesAMirroredStoreInAFreshDirectory)
{
    Propctl p;
    auto run_default = [&](const std::vector<std::string> &args) { return p.run(args, RunOptions{.root = false}); };
    const std::string dir = p.dir().file("demo");
    RunResult r = run_default({"demo", dir});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(holds(r.out, "registry        cluster, 2 mirrored locations\n"));
    // The store stays for the user to explore.
    p.set_env("ZKV_REGISTRY_ROOT", dir + "/registry");
    EXPECT_EQ(run_default({"get", "SYSTEM.demo.port"}).out, "8080\n");

    EXPECT_TRUE(exits(run_default({"demo", dir}), 1, "propctl: demo: " + dir + " is not empty\n"));
}

}  // namespace

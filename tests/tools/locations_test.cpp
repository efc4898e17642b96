// Changing a cluster registry's locations with propctl, and a node taking
// back the configuration the Cache Writer published.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "propctl_run.h"

namespace {

TEST(PropctlLocations, AddReplaceRemoveThenRepairFromTheCluster)
{
    Propctl p({"init", "--cluster", "--dev"});
    p.ok({"set", "SYSTEM.kept", "value"});
    const std::string data = p.root() + "/data/";
    EXPECT_EQ(p.ok({"location", "add", data + "extra.store"}),
              "added location 1: " + data + "extra.store\n  location 0  " + data + "copy1.store\n  location 1  " + data +
                  "extra.store\n");
    EXPECT_TRUE(holds(p.ok({"--json", "location", "replace", "0", data + "new.store"}),
                      "\"published\":true,\"locations\":[\"" + data + "new.store\",\"" + data + "extra.store\"]"));

    // The replaced file is no store any more; a node still naming it
    // cannot open until it takes the published configuration back.
    p.ok({"repair", "0", data + "copy1.store"});
    EXPECT_EQ(p.run({"get", "SYSTEM.kept"}).status, 6);
    EXPECT_TRUE(holds(p.ok({"repair", "--from-cluster"}), "location 0  " + data + "new.store"));
    EXPECT_EQ(p.ok({"get", "SYSTEM.kept"}), "value\n");

    EXPECT_EQ(p.run({"location", "remove", "7"}).status, 2);
    const std::string list = p.ok({"location", "list"});
    EXPECT_EQ(list.rfind("location 0  " + data + "new.store  (device id ", 0), 0u) << list;
    EXPECT_TRUE(holds(list, "): current\nlocation 1  " + data + "extra.store  (device id "));
    EXPECT_EQ(p.ok({"location", "remove", "0"}), "removed location 0: " + data + "new.store\n"
                                                 "the locations after it moved down one slot:\n"
                                                 "  location 0  " + data + "extra.store\n");
    // Nothing would hold the store while its only location changed.
    EXPECT_TRUE(exits(p.run({"location", "replace", "0", data + "other.store"}), 1, "the only location cannot be"));
    EXPECT_NE(::access((data + "other.store").c_str(), F_OK), 0) << "a refused replace made its file";
    EXPECT_TRUE(exits(p.run({"location", "remove", "0"}), 1, "the only location of a store cannot be removed"));
    EXPECT_EQ(p.run({"overwrite-config"}, "no\n").status, 1);
    p.ok({"overwrite-config", "--yes"});
    EXPECT_EQ(p.ok({"get", "SYSTEM.kept"}), "value\n");
}

// A copy that went away while its slot was replaced comes back and is put
// in again by hand: the newest copy names other locations, and propctl
// says which commands settle it.
TEST(PropctlLocations, ACopyThatComesBackNamesTheWaysToSettleIt)
{
    Propctl p({"init", "--cluster", "--dev", "--copies", "3"});
    const std::string data = p.root() + "/data/";
    ASSERT_EQ(std::rename((data + "copy3.store").c_str(), (data + "away").c_str()), 0);
    p.ok({"location", "replace", "2", data + "new.store"});
    p.ok({"set", "SYSTEM.k", "v"});
    ASSERT_EQ(std::rename((data + "away").c_str(), (data + "copy3.store").c_str()), 0);
    p.ok({"repair", "2", data + "copy3.store"});
    const RunResult refused = p.run({"ls", "SYSTEM"});
    EXPECT_TRUE(exits(refused, 6, "'propctl repair --from-cluster' takes the published list, 'propctl overwrite-config'"));
    EXPECT_TRUE(holds(refused.err, "error 34"));
    p.ok({"overwrite-config", "--yes"});
    EXPECT_EQ(p.ok({"get", "SYSTEM.k"}), "v\n");
}

// A local registry takes no second location: the refused add takes back
// what it made (a file, the pages it wrote into an empty one, a disk
// group's registry file), and leaves what was there before.
TEST(PropctlLocations, ARefusedAddLeavesNoFileItMade)
{
    Propctl p({"init"});
    const std::string fresh = p.dir().file("fresh.store"), empty = p.dir().file("empty.store");
    std::ofstream{empty};
    struct stat st;
    for (const std::string &path : {fresh, empty}) EXPECT_EQ(p.run({"location", "add", path}).status, 1) << path;
    EXPECT_NE(::stat(fresh.c_str(), &st), 0) << "the refused add left the file it made";
    ASSERT_EQ(::stat(empty.c_str(), &st), 0) << "the refused add removed a file it did not make";
    EXPECT_EQ(st.st_size, 0);

    p.ok({"vld", "create", "+NEW"});
    EXPECT_EQ(p.run({"location", "add", "+NEW"}).status, 1);
    EXPECT_EQ(p.ok({"vld"}).find("registry"), std::string::npos) << p.ok({"vld"});
    p.ok({"check"});
}

}  // namespace

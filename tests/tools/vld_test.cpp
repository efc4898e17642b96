// A cluster registry in the volume manager's disk groups, and what propctl
// shows and controls of the volume manager.
#include <gtest/gtest.h>

#include "propctl_run.h"

namespace {

TEST(PropctlVld, AClusterRegistryInDiskGroupsIsNamedByItsFilesAndDurable)
{
    Propctl p;
    std::string out = p.ok({"init", "--cluster", "--disk-group", "+DATA", "--disk-group", "MIRR"});
    EXPECT_EQ(out, "created a cluster registry at " + p.root() +
                       "\n  location +DATA/registry.255.1\n  location +MIRR/registry.255.1\n"
                       "  durable: writes go to the device before they are reported done\n");
    p.ok({"set", "SYSTEM.k", "v"});
    EXPECT_TRUE(holds(p.ok({"--json", "vld"}), "{\"name\":\"+MIRR\",\"mounted\":true,\"full\":false,\"mirrors\":2,"
                                              "\"synced\":true,\"files\":[{\"name\":\"registry.255.1\","));

    // Without one of its two disk groups the store does not open.
    p.ok({"vld", "unmount", "+MIRR"});
    EXPECT_TRUE(exits(p.run({"get", "SYSTEM.k"}), 6,
                      "disk group +MIRR is not mounted ('propctl vld mount +MIRR')"));
    p.ok({"vld", "mount", "+MIRR"});
    EXPECT_EQ(p.ok({"get", "SYSTEM.k"}), "v\n");
}

TEST(PropctlVld, BackupsRecordFilesAndLocationsLiveInADiskGroupAsFilesDo)
{
    Propctl p({"init", "--cluster", "--disk-group", "+DATA", "--disk-group", "+MIRR"});
    p.ok({"set", "SYSTEM.k", "saved"});
    p.ok({"vld", "create", "+BK"});
    EXPECT_EQ(p.ok({"backup", "+BK:nightly"}).rfind("backup +BK:nightly: ", 0), 0u);
    EXPECT_TRUE(holds(p.ok({"verify", "+BK:nightly"}), "no corruption found"));
    EXPECT_EQ(p.ok({"get", "SYSTEM.k", "--backup", "+BK:nightly"}), "saved\n");
    p.ok({"export", "+BK:tree.rec"});
    EXPECT_TRUE(exits(p.run({"export", "+BK:tree.rec"}), 1, "+BK:tree.rec exists"));

    p.ok({"vld", "unmount", "+BK"});
    EXPECT_TRUE(exits(p.run({"backup", "+BK:later"}), 6, "disk group +BK is not mounted ('propctl vld mount +BK'): error 43:"));
    // A backup opened as a store: the library says 26, propctl the same cause.
    EXPECT_TRUE(exits(p.run({"--backup", "+BK:nightly", "get", "SYSTEM.k"}), 6, "disk group +BK is not mounted"));

    // A complete name names one file: when the disk group does not hold it
    // the location is refused, and the disk group is left as it was.
    const std::string groups = p.ok({"--json", "vld"});
    EXPECT_TRUE(exits(p.run({"location", "add", "+DATA/nonexistent"}), 2, "error 8:"));
    EXPECT_EQ(p.ok({"--json", "vld"}), groups);

    p.ok({"repair", "0", "+DATA"});
    p.ok({"repair", "1", "+MIRR"});
    p.ok({"overwrite-config", "--yes"});
    EXPECT_EQ(p.ok({"location", "migrate"}),
              "migrated 2 location(s) to their files' names\n  location 0  +DATA/registry.255.1\n"
              "  location 1  +MIRR/registry.255.1\n");
    EXPECT_TRUE(holds(p.ok({"--json", "location", "migrate"}), "\"changed\":0,"));
    EXPECT_EQ(p.ok({"get", "SYSTEM.k"}), "saved\n");
}

}  // namespace

// The shape of the tree through propctl: listing, removing, moving, and
// batches that change it all at once or not at all.
#include <gtest/gtest.h>

#include "propctl_run.h"

namespace {

class PropctlKeys : public ::testing::Test {
  protected:
    void SetUp() override
    {
        p.ok({"init"});
        p.ok({"set", "SYSTEM.app.name", "demo"});
        p.ok({"set", "SYSTEM.app.net.port", "80", "--type", "int"});
        p.ok({"create", "SYSTEM.app.empty"});
    }
    Propctl p;
};

TEST_F(PropctlKeys, ListingsAreSortedAndShowValues)
{
    EXPECT_EQ(p.ok({"ls"}), "DATABASE\nHWK\nSYSTEM\n");
    EXPECT_EQ(p.ok({"ls", "SYSTEM.app"}), "empty\nname\nnet\n");
    EXPECT_EQ(p.ok({"ls", "SYSTEM.app.empty"}), "");
    EXPECT_EQ(p.ok({"ls", "SYSTEM.app", "--json"}), "{\"key\":\"SYSTEM.app\",\"subkeys\":[\"empty\",\"name\",\"net\"]}\n");
    EXPECT_EQ(p.ok({"tree", "SYSTEM.app"}), "SYSTEM.app\n  empty\n  name = \"demo\"\n  net\n    port = 80\n");
    EXPECT_EQ(p.ok({"tree", "SYSTEM.app.net", "--json"}),
              "{\"key\":\"SYSTEM.app.net\",\"type\":\"none\",\"value\":null,\"subkeys\":["
              "{\"key\":\"SYSTEM.app.net.port\",\"type\":\"int\",\"value\":80,\"subkeys\":[]}]}\n");
    std::string all = p.ok({"tree"});
    EXPECT_EQ(all.rfind("DATABASE\nHWK\nSYSTEM\n  app\n", 0), 0u) << all;
}

TEST_F(PropctlKeys, RemovingTakesTheSubtreeOnlyWhenAsked)
{
    RunResult r = p.run({"rm", "SYSTEM.app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "propctl: rm SYSTEM.app: error 10: The key is not empty.\n");
    EXPECT_EQ(p.ok({"get", "SYSTEM.app.name"}), "demo\n");

    p.ok({"rm", "SYSTEM.app.empty"});
    p.ok({"rm", "-r", "SYSTEM.app.net"});
    EXPECT_EQ(p.ok({"ls", "SYSTEM.app"}), "name\n");
    EXPECT_EQ(p.run({"get", "SYSTEM.app.net.port"}).status, 1);
    // A removed name can be used again from scratch.
    p.ok({"set", "SYSTEM.app.net.port", "81", "--type", "int"});
    EXPECT_EQ(p.ok({"tree", "SYSTEM.app.net"}), "SYSTEM.app.net\n  port = 81\n");
}

TEST_F(PropctlKeys, MovingCarriesTheSubtreeAndReplacesOnlyWhenAsked)
{
    p.ok({"mv", "SYSTEM.app", "SYSTEM.service"});
    EXPECT_EQ(p.ok({"tree", "SYSTEM.service"}), "SYSTEM.service\n  empty\n  name = \"demo\"\n  net\n    port = 80\n");
    RunResult gone = p.run({"get", "SYSTEM.app.name"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_NE(gone.err.find("no such key SYSTEM.app.name: error 4:"), std::string::npos) << gone.err;

    p.ok({"set", "SYSTEM.other.x", "1"});
    RunResult taken = p.run({"mv", "SYSTEM.service.net", "SYSTEM.other"});
    EXPECT_EQ(taken.status, 1);
    EXPECT_EQ(taken.err, "propctl: mv SYSTEM.service.net: SYSTEM.other exists (--replace replaces it): error 55: "
                         "The key exists and may not be overwritten.\n");
    p.ok({"mv", "SYSTEM.service.net", "SYSTEM.other", "--replace"});
    EXPECT_EQ(p.ok({"tree", "SYSTEM.other"}), "SYSTEM.other\n  port = 80\n");

    RunResult inside = p.run({"mv", "SYSTEM.service", "SYSTEM.service.name.x"});
    EXPECT_EQ(inside.status, 1);
    EXPECT_NE(inside.err.find("cannot move a key into itself: error 8:"), std::string::npos) << inside.err;
    EXPECT_EQ(p.ok({"ls", "SYSTEM.service"}), "empty\nname\n");
}

TEST_F(PropctlKeys, ABatchIsAllOrNothing)
{
    const std::string good =
        "# comments and blank lines are skipped\n"
        "\n"
        "set SYSTEM.app.name 'new name'\n"
        "set SYSTEM.batch.list --type multi a \"b c\"\n"
        "sec SYSTEM.app.name --other-perm NONE\n"
        "unset SYSTEM.app.net.port\n"
        "rm SYSTEM.app.empty\n"
        "mv SYSTEM.app.net SYSTEM.moved\n";
    EXPECT_EQ(p.ok({"batch", "--json"}, good), "{\"ok\":true,\"changes\":6}\n");
    EXPECT_EQ(p.ok({"tree", "SYSTEM"}),
              "SYSTEM\n  app\n    name = \"new name\"\n  batch\n    list = [\"a\", \"b c\"]\n  moved\n    port\n");

    // The last line fails (too big for an int): the lines before it are undone.
    const std::string bad =
        "set SYSTEM.app.name changed\n"
        "create SYSTEM.fresh.key\n"
        "rm -r SYSTEM.moved\n"
        "set SYSTEM.app.name 99999999999 --type int\n";
    RunResult r = p.run({"batch"}, bad);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("batch: line 4: set SYSTEM.app.name: an int value"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was changed"), std::string::npos) << r.err;

    // Now one the library refuses when it runs: the batch rolls back.
    const std::string refused =
        "set SYSTEM.app.name changed\n"
        "create SYSTEM.fresh.key\n"
        "rm SYSTEM.app\n";
    r = p.run({"batch"}, refused);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("propctl: batch: line 3: rm SYSTEM.app: error 10:"), std::string::npos) << r.err;
    EXPECT_EQ(p.ok({"tree", "SYSTEM"}),
              "SYSTEM\n  app\n    name = \"new name\"\n  batch\n    list = [\"a\", \"b c\"]\n  moved\n    port\n");
}

}  // namespace

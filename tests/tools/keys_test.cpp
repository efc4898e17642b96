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
    EXPECT_EQ(p.ok({"ls", "SYSTEM.app"}), "empty\nname\nnet\n");
    EXPECT_EQ(p.ok({"ls", "SYSTEM.app", "--json"}), "{\"key\":\"SYSTEM.app\",\"subkeys\":[\"empty\",\"name\",\"net\"]}\n");
    EXPECT_EQ(p.ok({"tree", "SYSTEM.app"}), "SYSTEM.app\n  empty\n  name = \"demo\"\n  net\n    port = 80\n");
    EXPECT_EQ(p.ok({"tree", "SYSTEM.app.net", "--json"}),
              "{\"key\":\"SYSTEM.app.net\",\"type\":\"none\",\"value\":null,\"subkeys\":["
              "{\"key\":\"SYSTEM.app.net.port\",\"type\":\"int\",\"value\":80,\"subkeys\":[]}]}\n");
}

TEST_F(PropctlKeys, RemovingAndMovingTakeTheSubtreeOrReplaceOnlyWhenAsked)
{
    EXPECT_TRUE(exits(p.run({"rm", "SYSTEM.app"}), 1, "rm SYSTEM.app: error 10:"));
    p.ok({"rm", "SYSTEM.app.empty"});

    p.ok({"set", "SYSTEM.other.x", "1"});
    EXPECT_TRUE(exits(p.run({"mv", "SYSTEM.app.net", "SYSTEM.other"}), 1,
                      "mv SYSTEM.app.net: SYSTEM.other exists (--replace replaces it): error 55:"));
    p.ok({"mv", "SYSTEM.app.net", "SYSTEM.other", "--replace"});
    p.ok({"mv", "SYSTEM.app", "SYSTEM.service"});
    p.ok({"rm", "-r", "SYSTEM.service"});
    EXPECT_EQ(p.ok({"tree", "SYSTEM"}), "SYSTEM\n  other\n    port = 80\n");
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
    const std::string after = p.ok({"tree", "SYSTEM"});
    EXPECT_EQ(after, "SYSTEM\n  app\n    name = \"new name\"\n  batch\n    list = [\"a\", \"b c\"]\n  moved\n    port\n");

    // The last line fails (too big for an int): the lines before it are undone.
    RunResult r = p.run({"batch"}, "set SYSTEM.app.name changed\ncreate SYSTEM.fresh.key\nrm -r SYSTEM.moved\n"
                                   "set SYSTEM.app.name 99999999999 --type int\n");
    EXPECT_TRUE(exits(r, 2, "batch: line 4: set SYSTEM.app.name: an int value"));
    EXPECT_TRUE(holds(r.err, "nothing was changed"));

    // Now one the library refuses when it runs: the batch is one transaction.
    EXPECT_TRUE(exits(p.run({"batch"}, "set SYSTEM.app.name changed\ncreate SYSTEM.fresh.key\nrm SYSTEM.app\n"), 1,
                      "propctl: batch: line 3: rm SYSTEM.app: error 10:"));
    EXPECT_EQ(p.ok({"tree", "SYSTEM"}), after);
}

TEST_F(PropctlKeys, ABatchOpensEachKeyItNamesOnce)
{
    // Three hundred keys under three new parents, and one unset of a key
    // below a parent that is not there.  Each name is looked up once, and
    // nothing below a missing key is looked up at all: from the 200th read
    // on, every read of the store fails.
    std::string text;
    for (int i = 0; i < 300; i++)
        text += "set SYSTEM.n" + std::to_string(i / 100) + ".k" + std::to_string(i % 100) + " v\n";
    p.set_env("PROPREG_FAULTS", "fail_read:nth=200,times=0,errno=EIO,path=.store");
    EXPECT_TRUE(exits(p.run({"batch"}, text + "unset SYSTEM.n1.k5\n"), 4,
                      "line 301: unset SYSTEM.n1.k5: no such key SYSTEM.n1.k5: error 4:"));
    EXPECT_EQ(p.ok({"batch", "--json"}, text), "{\"ok\":true,\"changes\":300}\n");
    p.clear_env("PROPREG_FAULTS");
    EXPECT_EQ(p.ok({"get", "SYSTEM.n2.k99"}), "v\n");
}

TEST_F(PropctlKeys, ABatchOverTheUndoLogsLimitIsRefusedWhole)
{
    std::string text;
    for (int i = 0; i < 20500; i++) text += "set SYSTEM.many.k" + std::to_string(i) + " v\n";
    // The library's reason, in its words, then propctl's.
    EXPECT_TRUE(exits(p.run({"batch"}, text), 1,
                      "batch like it sets at most 20487 keys: error 36: No free space is left in the store.\n"
                      "propctl: batch: nothing was changed\n"));
}

}  // namespace

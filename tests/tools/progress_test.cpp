// Long work shows progress when stderr is a terminal, and only then; the
// progress line is taken away before anything else is said.
#include <gtest/gtest.h>

#include "propctl_run.h"

namespace {

TEST(PropctlProgress, ShownOnATerminalOnly)
{
    Propctl p;
    p.ok({"init", "--dev"});
    std::string lines;
    for (int i = 0; i < 40; i++) lines += "set SYSTEM.many.k" + std::to_string(i) + " " + std::to_string(i) + "\n";
    const RunOptions terminal{lines, true};

    RunResult batch = p.run({"batch"}, terminal);
    ASSERT_EQ(batch.status, 0) << batch.err;
    EXPECT_TRUE(holds(batch.err, "propctl batch: 1/40"));
    EXPECT_TRUE(holds(batch.err, "propctl batch: making 40 changes"));
    EXPECT_EQ(batch.err.substr(batch.err.size() - 4), "\r\033[K") << "the progress line stays on the terminal";

    RunResult tree = p.run({"tree", "SYSTEM.many"}, terminal);
    ASSERT_EQ(tree.status, 0) << tree.err;
    EXPECT_TRUE(holds(tree.err, "propctl tree: 1"));
    EXPECT_EQ(tree.out, p.ok({"tree", "SYSTEM.many"})) << "progress went to stdout";

    RunResult check = p.run({"check"}, terminal);
    ASSERT_EQ(check.status, 0) << check.err;
    EXPECT_TRUE(holds(check.err, "propctl check: scanning the locations: starting"));
    EXPECT_TRUE(holds(check.err, "propctl check: walking the key tree"));

    // An error mid-way starts on a line of its own.
    RunResult bad = p.run({"batch"}, RunOptions{lines + "set SYSTEM.x y --type int\n", true});
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(holds(bad.err, "\r\033[Kpropctl: batch: line 41: set SYSTEM.x: an int value"));

    // Not a terminal: no progress at all.
    EXPECT_EQ(p.run({"batch"}, lines).err, "");
    EXPECT_EQ(p.run({"check"}).err, "");
}

}  // namespace

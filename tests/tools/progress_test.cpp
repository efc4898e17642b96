// Long work shows progress when stderr is a terminal, and only then; the
// progress line is taken away before anything else is said.
#include <gtest/gtest.h>

#include "propctl_run.h"

namespace {

TEST(PropctlProgress, ShownOnATerminalOnly)
{
    Propctl p({"init", "--dev"});
    std::string lines;
    for (int i = 0; i < 40; i++) lines += "set SYSTEM.many.k" + std::to_string(i) + " " + std::to_string(i) + "\n";
    const RunOptions terminal{lines, true};

    RunResult batch = p.run({"batch"}, terminal);
    EXPECT_TRUE(exits(batch, 0, "propctl batch: 1/40"));
    EXPECT_EQ(batch.err.substr(batch.err.size() - 4), "\r\033[K") << "the progress line stays on the terminal";

    RunResult tree = p.run({"tree", "SYSTEM.many"}, terminal);
    EXPECT_TRUE(exits(tree, 0, "propctl tree: 1"));
    EXPECT_EQ(tree.out, p.ok({"tree", "SYSTEM.many"})) << "progress went to stdout";

    EXPECT_TRUE(exits(p.run({"check"}, terminal), 0, "propctl check: scanning the locations: starting"));

    // An error mid-way starts on a line of its own.
    EXPECT_TRUE(exits(p.run({"batch"}, RunOptions{lines + "set SYSTEM.x y --type int\n", true}), 2,
                      "\r\033[Kpropctl: batch: line 41: set SYSTEM.x: an int value"));

    // Not a terminal: no progress at all.
    EXPECT_EQ(p.run({"batch"}, lines).err, "");
    EXPECT_EQ(p.run({"check"}).err, "");
}

}  // namespace

// Help: the overview lists every command, each command has its own page,
// and the overview and init's page say which stores survive a power cut.
#include <gtest/gtest.h>

#include "propctl_run.h"

namespace {

TEST(PropctlHelp, EveryCommandHasHelp)
{
    Propctl p;
    std::string overview = p.ok({"--help"});
    for (const char *cmd : {"init", "get", "set", "create", "unset", "ls", "tree", "rm", "mv", "sec", "batch", "info",
                            "demo"}) {
        EXPECT_TRUE(holds(overview, std::string("\n  ") + cmd + " ")) << cmd;
        std::string help = p.ok({cmd, "--help"});
        EXPECT_EQ(help.rfind(std::string("usage: propctl ") + cmd, 0), 0u) << help;
    }
    EXPECT_TRUE(holds(overview, "power cut")) << "durability is not explained";
    EXPECT_TRUE(holds(p.ok({"init", "--help"}), "not durable"));
}

}  // namespace

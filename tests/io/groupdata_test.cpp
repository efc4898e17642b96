// The group data stand-in: what one process publishes another one reads.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/groupdata.h"
#include "support/tmpdir.h"

namespace {

TEST(GroupData, AnotherProcessSeesThePublishedRecord)
{
    TempDir dir;
    ScopedEnv root("ZKV_REGISTRY_ROOT", dir.path().c_str());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const u32 mine[10] = {0, 0, 1, 2, 1, 2, 2, 2, 0, 0};
        _exit(grpdata_publish("crew/one", mine, sizeof mine) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    u32 record[10] = {};
    ASSERT_EQ(grpdata_read("crew/one", record, sizeof record), 0);
    EXPECT_EQ(record[3], 2u);
    EXPECT_EQ(record[6], 2u);
}

}  // namespace

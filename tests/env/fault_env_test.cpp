#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/fault_env.h"
#include "support/tmpdir.h"

namespace {

// Installs a fault layer over POSIX for one test and gives back the
// previous Env at the end.
class FaultTest : public ::testing::Test {
  protected:
    void SetUp() override { previous_ = env_install(&fault_); }
    void TearDown() override
    {
        env_install(previous_);
        std::free(buf_);
    }

    env_file *open_file(const std::string &name, int flags = 0)
    {
        env_file *f = nullptr;
        EXPECT_EQ(env_current()->open(dir_.file(name).c_str(), O_RDWR | O_CREAT | flags, 0644, &f), 0);
        return f;
    }
    // One aligned page, so that unbuffered files take it too.
    int write(env_file *f, char fill, u64 off = 0)
    {
        std::memset(buf_, fill, 4096);
        size_t done = 0;
        return env_current()->pwrite(f, buf_, 4096, off, &done);
    }
    // What the file holds, read past the fault layer.
    std::string read(env_file *f, u64 off = 0)
    {
        size_t done = 0;
        EXPECT_EQ(env_posix()->pread(f, buf_, 4096, off, &done), 0);
        return std::string(static_cast<char *>(buf_), done);
    }

    TempDir dir_;
    FaultEnv fault_{env_posix()};
    Env *previous_ = nullptr;
    void *buf_ = std::aligned_alloc(4096, 4096);
};

}  // namespace

TEST_F(FaultTest, FailsTheNthReadOrWriteOfMatchingFilesOnly)
{
    fault_.add({fault_kind::fail_read, "loc1", 2, 1, EIO});
    fault_.add({fault_kind::fail_write, "loc2", 1, 0, ENOSPC});
    env_file *a = open_file("loc1"), *b = open_file("loc2");
    EXPECT_EQ(write(a, 'a'), 0);
    char buf[4096];
    size_t done = 99;
    EXPECT_EQ(env_current()->pread(a, buf, sizeof buf, 0, &done), 0);
    EXPECT_EQ(env_current()->pread(b, buf, sizeof buf, 0, &done), 0);
    EXPECT_EQ(env_current()->pread(a, buf, sizeof buf, 0, &done), EIO);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(env_current()->pread(a, buf, sizeof buf, 0, &done), 0);
    // times=0: every write from the first on fails, and nothing reaches the file.
    for (int i = 0; i < 3; i++) EXPECT_EQ(write(b, 'b'), ENOSPC);
    EXPECT_EQ(read(b), "");

    EXPECT_EQ(fault_.reads("loc1"), 3u);
    EXPECT_EQ(fault_.reads(), 4u);
    EXPECT_EQ(fault_.writes("loc2"), 3u);
    EXPECT_EQ(fault_.writes(), 4u);
    env_current()->close(a);
    env_current()->close(b);
}

// Every case writes loc1 twice, then loc2 once; unbuffered files must lose
// or tear their writes just as buffered ones do.
TEST_F(FaultTest, LostAndTornWrites)
{
    using O = fault_outcome;
    struct Case {
        const char *name;
        fault_rule rule;
        bool power_cut;
        std::string loc1, loc2;
        std::vector<O> outcomes;
    };
    const Case cases[] = {
        {"drop over all files", {fault_kind::drop_after, "", 1}, true, std::string(4096, 'a'), "",
         {O::written, O::lost, O::lost}},
        {"drop on one path", {fault_kind::drop_after, "loc1", 1}, false, std::string(4096, 'a'),
         std::string(4096, 'b'), {O::written, O::lost, O::written}},
        {"tear", {fault_kind::tear, "loc1", 2, 1, 0, 100}, true, std::string(100, 'T') + std::string(3996, 'a'), "",
         {O::written, O::torn, O::lost}},
    };
    for (int direct : {0, O_DIRECT})
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (direct != 0 ? ", unbuffered" : ", buffered"));
            fault_.reset();
            fault_.set_record(true);
            env_file *a = open_file("loc1", direct | O_TRUNC), *b = open_file("loc2", direct | O_TRUNC);
            fault_.add(c.rule);
            EXPECT_EQ(write(a, 'a'), 0);
            EXPECT_EQ(write(a, 'T'), 0);
            EXPECT_EQ(write(b, 'b'), 0);
            EXPECT_EQ(fault_.power_cut(), c.power_cut);
            EXPECT_EQ(read(a), c.loc1);
            EXPECT_EQ(read(b), c.loc2);
            std::vector<O> outcomes;
            for (const fault_write_record &w : fault_.recorded()) outcomes.push_back(w.outcome);
            EXPECT_EQ(outcomes, c.outcomes);
            env_current()->close(a);
            env_current()->close(b);
        }
}

// At a cut, each write a file took since its last barrier is kept, lost
// or torn at a sector boundary, as the seed decides; what came before the
// barrier stays, and so does every write of a file opened O_DSYNC.  A
// barrier that is not durable (no fsync on the device) protects nothing.
TEST_F(FaultTest, ACutLosesOrTearsOnlyWhatFollowsTheLastBarrier)
{
    bool kept = false, lost = false, torn = false;
    for (int seed = 1; seed <= 30; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        fault_.reset();
        env_file *a = open_file("loc1", O_TRUNC), *s = open_file("sync", O_TRUNC | O_DSYNC);
        ASSERT_EQ(fault_.load(("drop_after:nth=3,lose=" + std::to_string(seed)).c_str()), 0);
        EXPECT_EQ(write(a, 'a'), 0);
        env_sync barrier{a, true, 0};
        env_current()->sync_batch(&barrier, 1);
        EXPECT_EQ(write(a, 'd'), 0);
        env_sync not_durable{a, false, 0};
        env_current()->sync_batch(&not_durable, 1);
        EXPECT_EQ(write(s, 's'), 0);
        EXPECT_EQ(write(a, 'x', 4096), 0);  // the cut: lost
        const std::string page = read(a);
        const size_t d = page.find_first_not_of('d');
        ASSERT_TRUE(d == std::string::npos || (d % 512 == 0 && page.find_first_not_of('a', d) == std::string::npos))
            << page.substr(0, 8);
        kept = kept || d == std::string::npos;
        lost = lost || d == 0;
        torn = torn || (d != std::string::npos && d != 0);
        EXPECT_EQ(read(a, 4096), "");
        EXPECT_EQ(read(s), std::string(4096, 's'));
        EXPECT_EQ(fault_.barriers("loc1") + fault_.barriers("sync"), 3u);
        env_current()->close(a);
        env_current()->close(s);
    }
    EXPECT_TRUE(kept && lost && torn);
}

TEST_F(FaultTest, DelaysEveryMatchingWrite)
{
    fault_.add({fault_kind::delay, "loc1", 1, 1, 0, 0, 20000});
    env_file *a = open_file("loc1"), *b = open_file("loc2");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(write(a, 'a'), 0);
    EXPECT_EQ(write(a, 'a'), 0);
    auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(write(b, 'b'), 0);
    auto t2 = std::chrono::steady_clock::now();
    EXPECT_GE(t1 - t0, std::chrono::milliseconds(40));
    EXPECT_LT(t2 - t1, std::chrono::milliseconds(20));
    env_current()->close(a);
    env_current()->close(b);
}

// Every test loads its rules as text, so a rule that parses wrongly shows
// there; what only shows here is that bad text is refused whole.
TEST(FaultText, RefusesMalformedTextWhole)
{
    bool record = false;
    int crash = -1;
    for (const char *bad : {"explode", "fail_read:nth=0", "fail_read:nth=x", "tear:us=5", "delay:nth=2",
                            "fail_write:errno=EWHAT", "crash:status=300", "record:x=1", "drop_after:nth", "device:nth=1",
                            "fail_read:path=", "fail_read:nth=1; explode"}) {
        std::vector<fault_rule> none;
        std::string offending;
        EXPECT_EQ(fault_parse(bad, &none, &record, &crash, &offending), EINVAL) << bad;
        EXPECT_TRUE(none.empty()) << bad;
        EXPECT_TRUE(!offending.empty() && std::string(bad).ends_with(offending)) << bad << ": " << offending;
    }
}

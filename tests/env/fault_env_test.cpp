#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
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
    void TearDown() override { env_install(previous_); }

    env_file *open_file(const std::string &name)
    {
        env_file *f = nullptr;
        EXPECT_EQ(env_current()->open(dir_.file(name).c_str(), O_RDWR | O_CREAT, 0644, &f), 0);
        return f;
    }
    int write(env_file *f, char fill, size_t len = 4096, u64 off = 0)
    {
        std::vector<char> b(len, fill);
        size_t done = 0;
        return env_current()->pwrite(f, b.data(), len, off, &done);
    }
    std::string read(env_file *f, size_t len = 4096, u64 off = 0)
    {
        std::string s(len, '\0');
        size_t done = 0;
        EXPECT_EQ(env_posix()->pread(f, s.data(), len, off, &done), 0);
        s.resize(done);
        return s;
    }

    TempDir dir_;
    FaultEnv fault_{env_posix()};
    Env *previous_ = nullptr;
};

}  // namespace

TEST(PosixEnv, TransfersSizesAndReportsErrno)
{
    TempDir dir;
    Env *env = env_posix();
    env_file *f = nullptr;
    EXPECT_EQ(env->open(dir.file("missing").c_str(), O_RDWR, 0, &f), ENOENT);
    EXPECT_EQ(f, nullptr);

    ASSERT_EQ(env->open(dir.file("a").c_str(), O_RDWR | O_CREAT, 0644, &f), 0);
    size_t done = 0;
    ASSERT_EQ(env->pwrite(f, "hello", 5, 8192, &done), 0);
    EXPECT_EQ(done, 5u);
    u64 bytes = 0;
    bool blk = true;
    ASSERT_EQ(env->size(f, &bytes, &blk), 0);
    EXPECT_EQ(bytes, 8197u);
    EXPECT_FALSE(blk);
    u32 sector = 0;
    EXPECT_EQ(env->sector_size(f, &sector), ENOTTY);

    char buf[16] = {};
    ASSERT_EQ(env->pread(f, buf, sizeof buf, 8192, &done), 0);
    EXPECT_EQ(done, 5u);  // a read past the end is short, not an error
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(env->close(f), 0);
}

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

TEST_F(FaultTest, DropAfterNthOverAllFilesIsAPowerCut)
{
    fault_.set_record(true);
    fault_.add({fault_kind::drop_after, "", 2});
    env_file *a = open_file("loc1"), *b = open_file("loc2");
    EXPECT_EQ(write(a, 'a'), 0);
    EXPECT_FALSE(fault_.power_cut());
    EXPECT_EQ(write(b, 'b'), 0);
    EXPECT_EQ(write(a, 'A', 4096, 4096), 0);  // reported done, never stored
    EXPECT_EQ(write(b, 'B'), 0);
    EXPECT_TRUE(fault_.power_cut());
    EXPECT_EQ(read(a, 8192), std::string(4096, 'a'));
    EXPECT_EQ(read(b), std::string(4096, 'b'));

    auto rec = fault_.recorded();
    ASSERT_EQ(rec.size(), 4u);
    EXPECT_EQ(rec[0].path, dir_.file("loc1"));
    EXPECT_EQ(rec[2].offset, 4096u);
    EXPECT_EQ(rec[2].length, 4096u);
    EXPECT_EQ(rec[1].outcome, fault_outcome::written);
    EXPECT_EQ(rec[2].outcome, fault_outcome::lost);
    EXPECT_EQ(rec[3].outcome, fault_outcome::lost);
    env_current()->close(a);
    env_current()->close(b);
}

TEST_F(FaultTest, DropAfterNthOfOnePathLosesOnlyThatPath)
{
    fault_.add({fault_kind::drop_after, "loc1", 1});
    env_file *a = open_file("loc1"), *b = open_file("loc2");
    EXPECT_EQ(write(a, 'a'), 0);
    EXPECT_EQ(write(a, 'A'), 0);
    EXPECT_EQ(write(b, 'b'), 0);
    EXPECT_FALSE(fault_.power_cut());
    EXPECT_EQ(read(a), std::string(4096, 'a'));
    EXPECT_EQ(read(b), std::string(4096, 'b'));
    env_current()->close(a);
    env_current()->close(b);
}

TEST_F(FaultTest, TornWriteStoresItsPrefixAndLosesEverythingAfter)
{
    fault_.add({fault_kind::tear, "loc1", 2, 1, 0, 100});
    env_file *a = open_file("loc1"), *b = open_file("loc2");
    EXPECT_EQ(write(a, 'a'), 0);
    EXPECT_EQ(write(a, 'T'), 0);
    EXPECT_TRUE(fault_.power_cut());
    EXPECT_EQ(write(b, 'b'), 0);
    EXPECT_EQ(read(a), std::string(100, 'T') + std::string(3996, 'a'));
    EXPECT_EQ(read(b), "");
    env_current()->close(a);
    env_current()->close(b);
}

TEST_F(FaultTest, TornWriteOnAnUnbufferedFileKeepsTheOldBytes)
{
    env_file *f = nullptr;
    ASSERT_EQ(env_posix()->open(dir_.file("loc1").c_str(), O_RDWR | O_CREAT | O_DIRECT, 0644, &f), 0);
    void *buf = std::aligned_alloc(4096, 4096);
    std::memset(buf, 'a', 4096);
    size_t done = 0;
    ASSERT_EQ(env_current()->pwrite(f, buf, 4096, 0, &done), 0);
    fault_.add({fault_kind::tear, "", 1, 1, 0, 10});
    std::memset(buf, 'T', 4096);
    ASSERT_EQ(env_current()->pwrite(f, buf, 4096, 0, &done), 0);
    std::memset(buf, 0, 4096);
    ASSERT_EQ(env_posix()->pread(f, buf, 4096, 0, &done), 0);
    EXPECT_EQ(std::string(static_cast<char *>(buf), 4096), std::string(10, 'T') + std::string(4086, 'a'));
    std::free(buf);
    env_posix()->close(f);
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

TEST(FaultText, ParsesEveryRuleKindAndRefusesMalformedText)
{
    std::vector<fault_rule> rules;
    bool record = false;
    int crash = -1;
    ASSERT_EQ(fault_parse(" record ; fail_read:nth=3,errno=EIO,path=loc2; fail_write:nth=1,errno=28,times=0;"
                          "fail_open:errno=EACCES; drop_after:nth=10; tear:nth=4,bytes=512,path=loc1;"
                          "delay:us=2000; device:bytes=1048576,sector=4096,path=dev; crash:status=86",
                          &rules, &record, &crash),
              0);
    EXPECT_TRUE(record);
    EXPECT_EQ(crash, 86);
    ASSERT_EQ(rules.size(), 7u);
    EXPECT_EQ(rules[0].nth, 3u);
    EXPECT_EQ(rules[0].err, EIO);
    EXPECT_EQ(rules[0].path, "loc2");
    EXPECT_EQ(rules[1].err, ENOSPC);
    EXPECT_EQ(rules[1].times, 0u);
    EXPECT_EQ(rules[2].kind, fault_kind::fail_open);
    EXPECT_TRUE(rules[3].path.empty());
    EXPECT_EQ(rules[4].bytes, 512u);
    EXPECT_EQ(rules[5].us, 2000u);
    EXPECT_EQ(rules[6].sector, 4096u);

    for (const char *bad : {"explode", "fail_read:nth=0", "fail_read:nth=x", "tear:us=5", "delay:nth=2",
                            "fail_write:errno=EWHAT", "crash:status=300", "record:x=1", "drop_after:nth", "device:nth=1",
                            "fail_read:path="}) {
        std::vector<fault_rule> none;
        std::string offending;
        EXPECT_EQ(fault_parse(bad, &none, &record, &crash, &offending), EINVAL) << bad;
        EXPECT_TRUE(none.empty()) << bad;
        EXPECT_EQ(offending, bad);
    }
}

// A child process started with $PROPREG_FAULTS runs under the fault layer
// from its first file operation, and stops at the power cut.
TEST(FaultChild, RulesFromTheEnvironmentEndTheProcessAtTheFirstLostWrite)
{
    // The child re-runs this test from the start: it finds the parent's
    // directory in the environment instead of making its own.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *inherited = std::getenv("PROPREG_TEST_CHILD_DIR");
    std::optional<TempDir> own;
    std::string base = inherited != nullptr ? inherited : own.emplace().path();
    ScopedEnv share("PROPREG_TEST_CHILD_DIR", base.c_str());
    std::string path = base + "/loc1";
    ScopedEnv rules(PROPREG_FAULTS_ENV, "drop_after:nth=2; crash:status=86");
    EXPECT_EXIT(
        {
            Env *env = env_current();
            env_file *f = nullptr;
            if (env->open(path.c_str(), O_RDWR | O_CREAT, 0644, &f) != 0) std::_Exit(3);
            for (char c : {'1', '2', '3', '4'}) {
                std::vector<char> b(4096, c);
                size_t done = 0;
                env->pwrite(f, b.data(), b.size(), static_cast<u64>(c - '1') * 4096, &done);
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(86), "");
    env_file *f = nullptr;
    ASSERT_EQ(env_posix()->open(path.c_str(), O_RDONLY, 0, &f), 0);
    u64 bytes = 0;
    env_posix()->size(f, &bytes, nullptr);
    EXPECT_EQ(bytes, 8192u);
    env_posix()->close(f);
}

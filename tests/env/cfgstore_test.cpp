#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/cfgstore.h"
#include "platform/env.h"
#include "platform/fault_env.h"
#include "support/tmpdir.h"

namespace {

constexpr const char *kKey = "SOFTWARE\\Korvex\\zkv";

class ConfigStore : public ::testing::Test {
  protected:
    void SetUp() override
    {
        int err = -1;
        ASSERT_EQ(cfg_create_key(kKey, &err), CFG_OK);
        ASSERT_EQ(cfg_open_key(kKey, true, &key_, &err), CFG_OK);
        keydir_ = root_.path() + "/SOFTWARE/Korvex/zkv";
    }
    void put_file(const std::string &name, const std::string &content)
    {
        std::ofstream(keydir_ + "/" + name, std::ios::binary) << content;
    }
    cfg_result read(const char *value, size_t size = 64)
    {
        buf_.assign(size, 'x');
        return cfg_read_sz(&key_, value, buf_.data(), size, &len_, &type_, &err_);
    }

    TempDir root_;
    ScopedEnv env_{"ZKV_REGISTRY_ROOT", root_.path().c_str()};
    cfg_key key_{};
    std::string keydir_;
    std::string buf_;
    size_t len_ = 0;
    u32 type_ = 0;
    int err_ = 0;
};

}  // namespace

TEST_F(ConfigStore, KeepsEveryKindOfFailureApart)
{
    cfg_key other;
    EXPECT_EQ(cfg_open_key("SOFTWARE\\Korvex\\nkv", false, &other, &err_), CFG_NO_KEY);
    EXPECT_EQ(cfg_syserr(CFG_NO_KEY, err_), 2);

    EXPECT_EQ(read("zkvconfig_loc"), CFG_NO_VALUE);
    EXPECT_EQ(cfg_syserr(CFG_NO_VALUE, err_), 2);

    std::filesystem::create_directory(keydir_ + "/dirvalue");
    EXPECT_EQ(read("dirvalue"), CFG_UNREADABLE);
    EXPECT_EQ(err_, EISDIR);
    EXPECT_EQ(cfg_syserr(CFG_UNREADABLE, err_), EISDIR);

    put_file("long", "REG_SZ\n" + std::string(64, 'a'));
    EXPECT_EQ(read("long"), CFG_TOO_LONG);
    EXPECT_EQ(len_, 64u);
    EXPECT_EQ(cfg_syserr(CFG_TOO_LONG, err_), 234);
    put_file("fits", "REG_SZ\n" + std::string(63, 'a'));
    EXPECT_EQ(read("fits"), CFG_OK);
    EXPECT_EQ(len_, 63u);

    put_file("dword", std::string("REG_DWORD\n\x01\x00\x00\x00", 14));
    EXPECT_EQ(read("dword"), CFG_WRONG_TYPE);
    EXPECT_EQ(type_, CFG_REG_DWORD);
    put_file("odd", "SOMETHING\nabc");
    EXPECT_EQ(read("odd"), CFG_WRONG_TYPE);
    EXPECT_EQ(type_, CFG_REG_UNKNOWN);

    // A key that is there but is no key cannot be opened.
    std::ofstream(root_.path() + "/SOFTWARE/Korvex/nkv") << "not a directory";
    EXPECT_EQ(cfg_open_key("SOFTWARE\\Korvex\\nkv", false, &other, &err_), CFG_UNREADABLE);
    EXPECT_EQ(err_, ENOTDIR);
}

TEST_F(ConfigStore, ValuesRoundTripAndAreReplacedWhole)
{
    ASSERT_EQ(cfg_set_sz(&key_, "zkvconfig_loc", "/var/lib/store1", &err_), CFG_OK);
    ASSERT_EQ(read("zkvconfig_loc"), CFG_OK);
    EXPECT_STREQ(buf_.c_str(), "/var/lib/store1");
    EXPECT_EQ(type_, CFG_REG_SZ);
    ASSERT_EQ(cfg_set_sz(&key_, "zkvconfig_loc", "/b", &err_), CFG_OK);
    ASSERT_EQ(read("zkvconfig_loc"), CFG_OK);
    EXPECT_STREQ(buf_.c_str(), "/b");
    // No temporary file is left behind.
    size_t files = 0;
    for (auto &e : std::filesystem::directory_iterator(keydir_)) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 1u);

    // Data written with its terminating zero reads the same.
    put_file("zero", std::string("REG_SZ\n/c\0", 10));
    ASSERT_EQ(read("zero", 3), CFG_OK);
    EXPECT_STREQ(buf_.c_str(), "/c");

    EXPECT_EQ(cfg_delete_value(&key_, "zkvconfig_loc", &err_), CFG_OK);
    EXPECT_EQ(read("zkvconfig_loc"), CFG_NO_VALUE);
    EXPECT_EQ(cfg_delete_value(&key_, "zkvconfig_loc", &err_), CFG_NO_VALUE);

    EXPECT_EQ(cfg_set_sz(&key_, "../escape", "y", &err_), CFG_UNREADABLE);
}

TEST_F(ConfigStore, FileTrafficGoesThroughTheSeam)
{
    FaultEnv fault(env_posix());
    Env *previous = env_install(&fault);
    fault.add({fault_kind::fail_open, "Korvex/zkv", 1, 1, EACCES});
    cfg_key k;
    EXPECT_EQ(cfg_open_key(kKey, false, &k, &err_), CFG_UNREADABLE);
    EXPECT_EQ(err_, EACCES);
    fault.reset();
    fault.add({fault_kind::fail_write, "zkvconfig_loc", 1, 1, ENOSPC});
    EXPECT_EQ(cfg_set_sz(&key_, "zkvconfig_loc", "/a", &err_), CFG_UNREADABLE);
    EXPECT_EQ(err_, ENOSPC);
    env_install(previous);
    EXPECT_EQ(read("zkvconfig_loc"), CFG_NO_VALUE);  // a failed write leaves nothing
}

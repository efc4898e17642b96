#include <gtest/gtest.h>

#include <cerrno>
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
        return cfg_read_sz(&key_, value, buf_.data(), size, nullptr, nullptr, &err_);
    }

    TempDir root_;
    ScopedEnv env_{"ZKV_REGISTRY_ROOT", root_.path().c_str()};
    cfg_key key_{};
    std::string keydir_;
    std::string buf_;
    int err_ = 0;
};

}  // namespace

TEST_F(ConfigStore, ValuesAreReplacedWhole)
{
    ASSERT_EQ(cfg_set_sz(&key_, "zkvconfig_loc", "/var/lib/store1", &err_), CFG_OK);
    ASSERT_EQ(read("zkvconfig_loc"), CFG_OK);
    EXPECT_STREQ(buf_.c_str(), "/var/lib/store1");
    ASSERT_EQ(cfg_set_sz(&key_, "zkvconfig_loc", "/b", &err_), CFG_OK);
    ASSERT_EQ(read("zkvconfig_loc"), CFG_OK);
    EXPECT_STREQ(buf_.c_str(), "/b");
    // No temporary file is left behind.
    size_t files = 0;
    for (auto &e : std::filesystem::directory_iterator(keydir_)) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 1u);

    // A replacement that cannot be written leaves the old value whole.
    FaultEnv fault(env_posix());
    Env *previous = env_install(&fault);
    fault.add({fault_kind::fail_write, "zkvconfig_loc", 1, 1, ENOSPC});
    EXPECT_EQ(cfg_set_sz(&key_, "zkvconfig_loc", "/a/longer/value", &err_), CFG_UNREADABLE);
    EXPECT_EQ(err_, ENOSPC);
    env_install(previous);
    ASSERT_EQ(read("zkvconfig_loc"), CFG_OK);
    EXPECT_STREQ(buf_.c_str(), "/b");

    // Data written with its terminating zero reads the same.
    put_file("zero", std::string("REG_SZ\n/c\0", 10));
    ASSERT_EQ(read("zero", 3), CFG_OK);
    EXPECT_STREQ(buf_.c_str(), "/c");

    EXPECT_EQ(cfg_set_sz(&key_, "../escape", "y", &err_), CFG_UNREADABLE);
}

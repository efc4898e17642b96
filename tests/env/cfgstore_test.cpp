#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/cfgstore.h"
#include "platform/env.h"
#include "platform/fault_env.h"
#include "support/tmpdir.h"

namespace {

constexpr const char *kKey = "SOFTWARE\\Korvex\\zkv";

// The values as one text, "-" for one that cannot be read into size bytes.
std::string read_set(const cfg_key &key, std::vector<const char *> names = {"a", "b", "c"},
                     size_t size = 64)
{
    std::string out;
    for (const char *v : names) {
        std::string buf(size, 'x');
        int err = 0;
        cfg_result r = cfg_read_sz(&key, v, buf.data(), size, nullptr, nullptr, &err);
        out += (r == CFG_OK ? std::string(buf.c_str()) : std::string("-")) + " ";
    }
    return out;
}

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

    TempDir root_;
    ScopedEnv env_{"ZKV_REGISTRY_ROOT", root_.path().c_str()};
    cfg_key key_{};
    std::string keydir_;
    int err_ = 0;
};

}  // namespace

TEST_F(ConfigStore, ValuesAreReplacedWhole)
{
    ASSERT_EQ(cfg_set_sz(&key_, "zkvconfig_loc", "/var/lib/store1", &err_), CFG_OK);
    ASSERT_EQ(cfg_set_sz(&key_, "zkvconfig_loc", "/b", &err_), CFG_OK);
    EXPECT_EQ(read_set(key_, {"zkvconfig_loc"}), "/b ");
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
    EXPECT_EQ(read_set(key_, {"zkvconfig_loc"}), "/b ");

    // Data written with its terminating zero reads the same.
    put_file("zero", std::string("REG_SZ\n/c\0", 10));
    EXPECT_EQ(read_set(key_, {"zero"}, 3), "/c ");

    EXPECT_EQ(cfg_set_sz(&key_, "../escape", "y", &err_), CFG_UNREADABLE);
}

namespace {

const cfg_change kOldSet[] = {{"a", "/old/a"}, {"b", "/old/b"}, {"c", "/old/c"}};
const cfg_change kNewSet[] = {{"a", "/new/a"}, {"b", nullptr}, {"c", "/new/c"}};


}  // namespace

// A value is as private as its key: a key made here is its owner's alone,
// and one that others may read keeps its values so when they are replaced.
TEST_F(ConfigStore, ValuesTakeTheModeOfTheirKey)
{
    auto mode = [](const std::string &path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
    };
    EXPECT_EQ(mode(keydir_), 0700);
    ASSERT_EQ(cfg_set_sz(&key_, "a", "/one", &err_), CFG_OK);
    EXPECT_EQ(mode(keydir_ + "/a"), 0600);
    ASSERT_EQ(::chmod(keydir_.c_str(), 0755), 0);
    const cfg_change set[] = {{"a", "/two"}, {"b", "/three"}};
    ASSERT_EQ(cfg_replace_values(&key_, set, 2, &err_), CFG_OK);
    EXPECT_EQ(mode(keydir_ + "/a"), 0644);
    EXPECT_EQ(mode(keydir_ + "/b"), 0644);
}

TEST_F(ConfigStore, SeveralValuesAreReplacedTogether)
{
    ASSERT_EQ(cfg_replace_values(&key_, kOldSet, 3, &err_), CFG_OK);
    EXPECT_EQ(read_set(key_), "/old/a /old/b /old/c ");
    ASSERT_EQ(cfg_replace_values(&key_, kNewSet, 3, &err_), CFG_OK);
    EXPECT_EQ(read_set(key_), "/new/a - /new/c ");
    EXPECT_FALSE(std::filesystem::exists(keydir_ + "/.replace"));

    // A write of the preparation that fails changes nothing.
    FaultEnv fault(env_posix());
    Env *previous = env_install(&fault);
    fault.add({fault_kind::fail_write, "", 3, 1, EIO});
    EXPECT_EQ(cfg_replace_values(&key_, kOldSet, 3, &err_), CFG_UNREADABLE);
    env_install(previous);
    EXPECT_EQ(err_, EIO);
    EXPECT_EQ(read_set(key_), "/new/a - /new/c ");

    // Duplicates and names that are no values are refused.
    const cfg_change twice[] = {{"a", "/x"}, {"a", "/y"}};
    EXPECT_EQ(cfg_replace_values(&key_, twice, 2, &err_), CFG_UNREADABLE);
    const cfg_change hidden[] = {{".replace", "/x"}};
    EXPECT_EQ(cfg_replace_values(&key_, hidden, 1, &err_), CFG_UNREADABLE);
    for (auto &e : std::filesystem::directory_iterator(keydir_))
        EXPECT_NE(e.path().filename().string().rfind(".replace", 0), 0u) << e.path();
}

// A crash after the commit: the replacement's directory is in place and
// only some of its values were moved.  Readers see the new set whole, and
// the next writer moves the rest (and drops a preparation cut short).
TEST_F(ConfigStore, ACommittedReplacementReadsWholeAndIsFinished)
{
    ASSERT_EQ(cfg_replace_values(&key_, kOldSet, 3, &err_), CFG_OK);
    std::filesystem::create_directory(keydir_ + "/.replace");
    put_file(".replace/c", "REG_SZ\n/new/c");
    put_file(".replace/b", "PROP_DELETED\n");
    put_file("a", "REG_SZ\n/new/a");  // already moved
    std::filesystem::create_directory(keydir_ + "/.replace.77.0");
    put_file(".replace.77.0/a", "REG_SZ\n/half");
    EXPECT_EQ(read_set(key_), "/new/a - /new/c ");

    ASSERT_EQ(cfg_set_sz(&key_, "other", "/x", &err_), CFG_OK);
    EXPECT_EQ(read_set(key_), "/new/a - /new/c ");
    EXPECT_FALSE(std::filesystem::exists(keydir_ + "/.replace"));
    EXPECT_FALSE(std::filesystem::exists(keydir_ + "/.replace.77.0"));
    EXPECT_FALSE(std::filesystem::exists(keydir_ + "/b"));
}

// A reader holding the key sees one set; the replacement waits for it.
TEST_F(ConfigStore, AHeldKeyKeepsItsSetUntilReleased)
{
    ASSERT_EQ(cfg_replace_values(&key_, kOldSet, 3, &err_), CFG_OK);
    cfg_hold hold;
    ASSERT_EQ(cfg_hold_key(&key_, &hold, &err_), CFG_OK);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        int err = 0;
        EXPECT_EQ(cfg_replace_values(&key_, kNewSet, 3, &err), CFG_OK);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(read_set(key_), "/old/a /old/b /old/c ");
    cfg_release_key(&hold);
    writer.join();
    EXPECT_EQ(read_set(key_), "/new/a - /new/c ");
}

// A value the call said was set is still there whatever a power cut right
// after it loses of what was not synced.
TEST_F(ConfigStore, ASetValueSurvivesAPowerCutRightAfter)
{
    FaultEnv faults(env_posix());
    Env *previous = env_install(&faults);
    faults.track_unsynced();
    for (u64 seed = 1; seed <= 6; seed++) {
        const std::string value = "/var/lib/store" + std::to_string(seed);
        EXPECT_EQ(cfg_set_sz(&key_, "zkvconfig_loc", value.c_str(), &err_), CFG_OK);
        faults.cut_now(seed);
        EXPECT_EQ(read_set(key_, {"zkvconfig_loc"}), value + " ") << "seed " << seed;
    }
    env_install(previous);
}

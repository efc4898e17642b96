#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "handle_fixture.h"
#include "registry_fixture.h"
#include "storage/config.h"
#include "vld/vldname.h"

namespace {

// proprgconf's outputs, filled with junk so that every clearing shows.
struct Conf {
    u32 configured = 77;
    prop_locations locations;
    u32 local_only = 77;
    char hwk_home[4096];
    char errorbuf[512];
    u64 errorbuf_sz = sizeof errorbuf;
    Conf()
    {
        std::memset(locations, 'j', sizeof locations);
        for (auto &l : locations) l[10] = '\0';
        std::strcpy(hwk_home, "junk");
        errorbuf[0] = '\0';
    }
    std::vector<std::string> locs() const { return {std::begin(locations), std::end(locations)}; }
    u32 get(u32 flags, backend_ctx *ctx = nullptr)
    {
        return proprgconf(ctx, nullptr, &configured, locations, &local_only, hwk_home, errorbuf, &errorbuf_sz,
                          flags);
    }
};

class Config : public ::testing::Test {
  protected:
    RegistryRoot reg_;
};

class Rewrite : public HandleFixture {
  protected:
    RegistryRoot reg_;
};

}  // namespace

// What a node may lack: the key (configured 0, not an error), a readable
// key, or the first location.
TEST_F(Config, MissingOrUnreadableConfiguration)
{
    enum Setup { no_key, key_is_a_file, only_loc3, unreadable_loc };
    struct Case {
        const char *name;
        Setup setup;
        u32 rc;
        std::string errorbuf;
    } cases[] = {
        {"no key", no_key, 0, std::string("Error opening zkv registry key. ") + strerror(ENOENT)},
        {"key cannot be opened", key_is_a_file, 42, std::string("Error opening zkv registry key. ") + strerror(ENOTDIR)},
        {"only the third location", only_loc3, 41, "Error retrieving zkvconfig_loc property."},
        // There, but it cannot be read: not a missing value.
        {"a location that cannot be read", unreadable_loc, 42,
         std::string("Error accessing zkvconfig_loc registry value. ") + strerror(EISDIR)},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        std::filesystem::remove_all(reg_.dir(kZkvKeyPath));
        if (k.setup == key_is_a_file) {
            std::filesystem::create_directories(reg_.dir("SOFTWARE\\Korvex"));
            std::ofstream(reg_.dir(kZkvKeyPath)) << "a file where the key should be";
        }
        if (k.setup == only_loc3) reg_.set(kZkvKeyPath, "zkvconfig_loc3", "/loc3");
        if (k.setup == unreadable_loc) std::filesystem::create_directories(reg_.dir(kZkvKeyPath) + "/zkvconfig_loc");
        Conf c;
        EXPECT_EQ(c.get(PROP_KIND_ZKV), k.rc);
        EXPECT_EQ(c.configured, 0u);
        EXPECT_EQ(c.errorbuf, k.errorbuf);
        EXPECT_EQ(c.errorbuf_sz, k.errorbuf.size());
        if (k.rc == 0) {
            EXPECT_EQ(c.locs(), std::vector<std::string>(5, ""));
        }
    }
}

TEST_F(Config, BadLocationValuesAreSkippedNotFatal)
{
    std::string longest(1023, 'a'), too_long(1024, 'b');
    longest[0] = '/';
    reg_.set(kZkvKeyPath, "zkvconfig_loc", longest);
    reg_.set(kZkvKeyPath, "zkvmirrorconfig_loc", too_long);
    reg_.set(kZkvKeyPath, "zkvconfig_loc3", "");
    reg_.set(kZkvKeyPath, "zkvconfig_loc4", "/x", "REG_EXPAND_SZ");
    reg_.set(kZkvKeyPath, "zkvconfig_loc5", "/five");
    Conf c;
    ASSERT_EQ(c.get(PROP_KIND_ZKV), 0u);
    EXPECT_EQ(c.configured, 1u);
    EXPECT_EQ(c.local_only, 0u);
    EXPECT_EQ(c.locs(), (std::vector<std::string>{longest, "", "", "", "/five"}));
}

TEST_F(Config, LocalRegistryNeedsItsHomeDirectory)
{
    reg_.set(kNkvKeyPath, "nkvconfig_loc", "/nkv/store");
    struct Case {
        const char *name;
        std::string data;  // "" with type nullptr: no value
        const char *type;
        u32 rc;
        std::string errorbuf;
    } cases[] = {
        {"missing", "", nullptr, 41, std::string("hwk_home registry value does not exist. ") + strerror(ENOENT)},
        {"empty", "", "REG_SZ", 41, "hwk_home registry value is empty"},
        {"long", std::string(4096, 'h'), "REG_SZ", 41,
         std::string("hwk_home registry value too long ") + strerror(EOVERFLOW)},
        {"good", std::string(4095, 'g'), "REG_SZ", 0, ""},
    };
    for (const Case &k : cases) {
        std::filesystem::remove_all(reg_.dir(kNkvKeyPath) + "/hwk_home");
        if (k.type != nullptr)
            reg_.set(kNkvKeyPath, "hwk_home", k.data, k.type);
        Conf c;
        EXPECT_EQ(c.get(PROP_KIND_NKV), k.rc) << k.name;
        EXPECT_EQ(std::string(c.errorbuf), k.errorbuf) << k.name;
        if (k.rc == 0) {
            EXPECT_EQ(c.configured, 1u);
            EXPECT_EQ(std::string(c.hwk_home), k.data);
            EXPECT_STREQ(c.locations[0], "/nkv/store");
        } else {
            EXPECT_EQ(c.configured, 0u) << k.name;
        }
    }
}

TEST_F(Config, DeveloperModeNamesItsOwnKeys)
{
    ScopedEnv dev("ZKV_DEVELOPER_ENV", "true");
    ScopedEnv nloc("NKV_LOC", "SOFTWARE\\Dev\\nkv");
    char path[40];
    EXPECT_EQ(ut_get_loc_path(1, "node7", path, sizeof path), PROP_OK);
    EXPECT_STREQ(path, "SOFTWARE\\Dev\\nkv\\node7");
    EXPECT_EQ(ut_get_loc_path(1, "a-much-longer-host-name-than-fits", path, sizeof path), PROP_E_STORAGE);
    ScopedEnv off("ZKV_DEVELOPER_ENV", "True");  // only "true" turns it on
    EXPECT_EQ(ut_get_loc_path(1, "host", path, sizeof path), PROP_OK);
    EXPECT_STREQ(path, "SOFTWARE\\Korvex\\nkv");
}

TEST_F(Config, ArgumentsAndFlagsAreCheckedFirst)
{
    Conf c;
    EXPECT_EQ(c.get(0), 8u);
    EXPECT_EQ(c.configured, 0u);
    EXPECT_EQ(c.get(PROP_KIND_ZKV | PROP_KIND_NKV), 8u);
}

TEST_F(Rewrite, WritesEveryNameAndDeletesTheEmptySlots)
{
    for (const char *v : {"zkvconfig_loc", "zkvmirrorconfig_loc", "zkvconfig_loc3", "zkvconfig_loc4"})
        reg_.set(kZkvKeyPath, v, "/old");
    set_slot(0, "/new/one");
    set_slot(1, "+DATA/clu/reg.1");
    EXPECT_EQ(utdvrp(h_, 7), PROP_E_ARG);
    EXPECT_EQ(reg_.get(kZkvKeyPath, "zkvconfig_loc"), "/old");

    ASSERT_EQ(utdvrp(h_, 2), PROP_OK);
    EXPECT_EQ(reg_.get(kZkvKeyPath, "zkvconfig_loc"), "/new/one");
    EXPECT_EQ(reg_.get(kZkvKeyPath, "zkvmirrorconfig_loc"), "+DATA/clu/reg.1");
    for (const char *v : {"zkvconfig_loc3", "zkvconfig_loc4", "zkvconfig_loc5"})
        EXPECT_EQ(reg_.get(kZkvKeyPath, v), "<none>") << v;
    ASSERT_EQ(utdvrp(h_, 0), PROP_OK);  // deleting what is already gone is fine

    c_.faults.add({fault_kind::fail_write, "zkvconfig_loc", 1, 1, EIO});
    EXPECT_EQ(utdvrp(h_, 0), PROP_E_STORAGE);
    EXPECT_EQ(c_.error().comp_msg, 101u);
    EXPECT_EQ(c_.error().comp_arg, static_cast<u32>(EIO));
}

TEST_F(Rewrite, LocalRegistryIsWrittenLikeTheClusterOne)
{
    c_.zkv->registry_kind = PROP_KIND_NKV;
    EXPECT_EQ(utdvrp(h_, 0), PROP_E_NOCONF);  // no key to write into
    reg_.create_key(kNkvKeyPath);
    set_slot(0, "/nkv/store");
    ASSERT_EQ(utdvrp(h_, 0), PROP_OK);
    EXPECT_EQ(reg_.get(kNkvKeyPath, "nkvconfig_loc"), "/nkv/store");
}

TEST(VolumeManagerNames, LocationNamesSplitIntoDiskGroupAndFile)
{
    struct Case {
        const char *name;
        u32 rc;
        const char *dg;
        const char *file;
    } cases[] = {
        {"+DATA", 0, "+DATA", ""},
        {"+DATA/clu/registry.255.1", 0, "+DATA", "clu/registry.255.1"},
        {"+ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", 0, "+ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", ""},
        {"+ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 1, nullptr, nullptr},  // 32 characters
        {"DATA/x", 1, nullptr, nullptr},
        {"+DATA/a//b", 1, nullptr, nullptr},
        {"+DA:TA", 1, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        char dg[33], file[64];
        u32 dgsz = sizeof dg, filesz = sizeof file;
        ASSERT_EQ(prou_parse_vldfname(c.name, dg, &dgsz, file, &filesz), c.rc) << c.name;
        if (c.rc != 0) continue;
        EXPECT_STREQ(dg, c.dg);
        EXPECT_STREQ(file, c.file);
        EXPECT_EQ(dgsz, std::string(c.dg).size() + 1);
    }
    char dg[4], file[4];
    u32 dgsz = sizeof dg, filesz = sizeof file;
    EXPECT_EQ(prou_parse_vldfname("+DATA/abcdef", dg, &dgsz, file, &filesz), PROP_E_KEYH);
    EXPECT_EQ(dgsz, 6u);
    EXPECT_EQ(filesz, 7u);
}

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "format/storemap.h"
#include "handle_fixture.h"
#include "registry_fixture.h"
#include "storage/config.h"
#include "storage/device.h"

namespace {

class Open : public HandleFixture {
  protected:
    void configure(std::initializer_list<std::string> names)
    {
        u32 i = 0;
        for (const std::string &n : names) set_slot(i++, n);
        h_->proprhandle_configured_device_count = i;
    }
    ut_native *holder(u32 i) { return static_cast<ut_native *>(h_->proprhandle_native[i]); }
    RegistryRoot reg_;
};

}  // namespace

TEST_F(Open, EmptySlotStaysUnconfiguredBetweenOpenOnes)
{
    configure({make_file("a"), "", make_file("c")});
    ASSERT_EQ(utopen(h_, PROP_KIND_ZKV), 0u);
    const u32 states[] = {PROP_SLOT_OPEN, PROP_SLOT_UNCONFIGURED, PROP_SLOT_OPEN, 0, 0};
    const u32 types[] = {PROP_LOCTYPE_FILE, PROP_LOCTYPE_NONE, PROP_LOCTYPE_FILE, 0, 0};
    for (u32 i = 0; i < 5; i++) {
        EXPECT_EQ(h_->proprhandle_native_state[i], states[i]) << i;
        EXPECT_EQ(h_->proprhandle_loctype[i], types[i]) << i;
        EXPECT_EQ(h_->proprhandle_native[i] != nullptr, states[i] == PROP_SLOT_OPEN) << i;
    }
    EXPECT_EQ(h_->proprhandle_native_numpage[0], PROPR_DEFAULT_PAGES);
    EXPECT_EQ(h_->proprhandle_os_min_block_size, 4096u);
    EXPECT_TRUE(trace_captured_contains("utopen:5': Empty or NULL device/file name[1]"));
}

TEST_F(Open, OneBadLocationDoesNotFailTheOthers)
{
    configure({make_file("a"), dir_.file("absent"), make_file("c")});
    ASSERT_EQ(utopen(h_, PROP_KIND_ZKV), 0u);
    EXPECT_EQ(h_->proprhandle_native_state[0], PROP_SLOT_OPEN);
    EXPECT_EQ(h_->proprhandle_native_state[1], PROP_SLOT_UNUSABLE);
    EXPECT_EQ(h_->proprhandle_native[1], nullptr);
    EXPECT_EQ(h_->proprhandle_native_state[2], PROP_SLOT_OPEN);
    EXPECT_EQ(comp_error().comp_msg, 101u);
    EXPECT_EQ(comp_error().comp_arg, static_cast<u32>(ENOENT));
    EXPECT_TRUE(trace_captured_contains("utopen:9:failed to open ZKV file/disk " + dir_.file("absent")));
}

TEST_F(Open, LocationBelowTheMinimumSizeIsRefused)
{
    // Partitions are taken at their size: one a page short, one just enough.
    std::string rules = "device:bytes=" + std::to_string(0x5029000ull + 19999ull * 4096) + ",path=short;" +
                        "device:bytes=" + std::to_string(0x5029000ull + 20000ull * 4096) + ",path=enough";
    ASSERT_EQ(fault_.load(rules.c_str()), 0);
    configure({make_file("short", 4096), make_file("enough", 4096)});
    ASSERT_EQ(utopen(h_, PROP_KIND_ZKV), 0u);
    EXPECT_EQ(h_->proprhandle_native_state[0], PROP_SLOT_UNUSABLE);
    EXPECT_EQ(h_->proprhandle_native[0], nullptr);
    EXPECT_TRUE(trace_captured_contains("utopen:12:Not enough space in the backing store " + dir_.file("short")));
    EXPECT_EQ(h_->proprhandle_native_state[1], PROP_SLOT_OPEN);
    EXPECT_EQ(h_->proprhandle_native_numpage[1], 20000u);
}

TEST_F(Open, SmallestBlockSizeIsKept)
{
    fault_.load("device:bytes=900000000,sector=4096,path=big; device:bytes=900000000,sector=512,path=small");
    configure({make_file("big", 4096), make_file("plain"), make_file("small", 4096)});
    ASSERT_EQ(utopen(h_, PROP_KIND_ZKV), 0u);
    EXPECT_EQ(h_->proprhandle_os_min_block_size, 512u);
}

TEST_F(Open, NothingOpenedGives26)
{
    configure({dir_.file("x"), "", dir_.file("y")});
    EXPECT_EQ(utopen(h_, PROP_KIND_ZKV), 26u);
    EXPECT_TRUE(trace_captured_contains("utopen:Could not open any of the devices"));
    configure({});
    EXPECT_EQ(utopen(h_, PROP_KIND_ZKV), 26u);
    EXPECT_EQ(utopen(nullptr, PROP_KIND_ZKV), 26u);
}

TEST_F(Open, VolumeManagerLocationsAreLeftToTheIoLayer)
{
    configure({"+DATA"});
    ASSERT_EQ(utopen(h_, PROP_KIND_ZKV), 0u);
    EXPECT_EQ(h_->proprhandle_loctype[0], PROP_LOCTYPE_VLD);
    EXPECT_EQ(h_->proprhandle_native_state[0], PROP_SLOT_UNCONFIGURED);
    EXPECT_EQ(h_->proprhandle_native[0], nullptr);
}

TEST_F(Open, DeveloperModeOpensBufferedOtherwiseUnbuffered)
{
    configure({make_file("a")});
    zkv->developer_mode = 1;
    ASSERT_EQ(utopen(h_, PROP_KIND_ZKV), 0u);
    EXPECT_EQ(holder(0)->direct, 0u);
    EXPECT_EQ(env_current()->open_flags(holder(0)->file) & (O_DIRECT | O_DSYNC), 0);
    ASSERT_EQ(utclose(h_), 0u);

    zkv->developer_mode = 0;
    ASSERT_EQ(utopen(h_, PROP_KIND_ZKV), 0u);
    EXPECT_EQ(holder(0)->direct, 1u);
    EXPECT_EQ(env_current()->open_flags(holder(0)->file) & (O_DIRECT | O_DSYNC), O_DIRECT | O_DSYNC);
}

TEST_F(Open, FailedStorageCheckStillTriesTheOpen)
{
    // A name that looks like a raw device but is a file here.
    std::string odd = make_file("\\\\.\\disk");
    configure({odd});
    ASSERT_EQ(utopen(h_, PROP_KIND_ZKV), 0u);
    EXPECT_TRUE(trace_captured_contains("utopen:8m: ZKV location [" + odd + "] configured is not a valid storage type. Return code [37]."));
    EXPECT_EQ(h_->proprhandle_native_state[0], PROP_SLOT_OPEN);
}

TEST_F(Open, AllocationFailureLeavesTheSlotUnusableAndLeaksNothing)
{
    configure({make_file("a"), make_file("b")});
    prop_fe_meta_fail_from(meta_, 2);  // the first holder is had, the second is not
    ASSERT_EQ(utopen(h_, PROP_KIND_ZKV), 0u);
    prop_fe_meta_fail_from(meta_, 0);
    EXPECT_EQ(h_->proprhandle_native_state[0], PROP_SLOT_OPEN);
    EXPECT_EQ(h_->proprhandle_native_state[1], PROP_SLOT_UNUSABLE);
    EXPECT_TRUE(trace_captured_contains("utopen:12: fail to allocate memory for " + dir_.file("b")));
}

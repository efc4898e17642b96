// Adding, replacing and deleting a location of a running store, as the
// Cache Writer does it.
#include "core/slotstate.h"
#include "devices_fixture.h"

namespace {

std::vector<std::string> planned(std::vector<std::string> names, uint32_t slot, const std::string &newdev)
{
    if (newdev.empty())
        names.erase(names.begin() + slot);
    else if (slot < names.size())
        names[slot] = newdev;
    else
        names.push_back(newdev);
    return names;
}

// One change and everything it must leave: the configuration and the
// handle's ids as planned, the history of every location that stays, the
// alert, the dropped location no longer a store, every location the same
// page for page, and a store that opens afresh with every key.
void change(FilledStore &fs, uint32_t level, uint32_t slot, const std::string &newdev)
{
    Store &s = fs.store();
    ASSERT_EQ(s.init(level), PROP_OK);
    const std::vector<std::string> before = fs.names();
    const std::vector<std::string> after = planned(before, slot, newdev);
    const std::string dropped = slot < before.size() ? before[slot] : "";
    trace_capture_start();
    const u32 rc = level == PROP_LEVEL_CACHING ? prop_replace_dev(s.ctx(), slot, newdev.c_str(), 1)
                                               : dev_replace(s.ctx(), slot, newdev.c_str(), 1);
    trace_capture_stop();
    ASSERT_EQ(rc, PROP_OK);
    EXPECT_TRUE(newdev.empty() ? alerted(1010, dropped) : alerted(1007, newdev));
    EXPECT_EQ(fs.names(), after);
    const u32 *devid = s.handle()->proprhandle_devid;
    EXPECT_EQ(std::vector<u32>(devid, devid + 5), id_vector(after));
    ASSERT_EQ(s.terminate(), 0u);

    for (const std::string &loc : after)
        EXPECT_EQ(history_at(loc), (History{2, id_vector(before), id_vector(after)})) << loc;
    if (!dropped.empty()) {
        EXPECT_FALSE(is_boot_block(boot_block_at(dropped))) << dropped;
    }
    EXPECT_EQ(check_pages(after), std::vector<std::string>{});

    ASSERT_EQ(s.init(level), PROP_OK);
    EXPECT_EQ(prop_recover(s.ctx(), 0), PROP_OK);
    const Tree got = tree_of(s.ctx());
    EXPECT_EQ(got, fs.tree()) << tree_diff(fs.tree(), got);
    ASSERT_EQ(s.terminate(), 0u);
}

TEST(Locations, AddReplaceAndDeleteOnOneToFiveLocations)
{
    for (uint32_t n : {1u, 2u, 3u, 5u}) {
        for (uint32_t level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING}) {
            SCOPED_TRACE(std::to_string(n) + " location(s), level " + std::to_string(level));
            FilledStore fs(n);
            if (n < 5) change(fs, level, n, fs.spare(0));
            change(fs, level, 1, fs.spare(1));
            change(fs, level, 0, "");
        }
    }
}

// Refusals change nothing: the configuration, the boot blocks and the
// store stay as they were.
TEST(Locations, RefusedChangesLeaveEverythingAsItWas)
{
    FilledStore fs(2);
    Store &s = fs.store();
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK);
    const std::vector<std::string> names = fs.names();
    const std::string boot0 = boot_block_at(names[0]);
    const std::string spare = fs.spare(0);

    // The last page of the new location cannot be written: too small.
    ASSERT_EQ(s.faults().load(("fail_write:nth=2,errno=ENOSPC,path=" + spare).c_str()), 0);
    EXPECT_EQ(prop_replace_dev(s.ctx(), 1, spare.c_str(), 1), PROP_E_DEVSPACE);
    s.faults().reset();

    // A name the configuration could not read back; one below the limit
    // gets as far as the device check.
    const std::string too_long = "/" + std::string(1023, 'n');
    EXPECT_EQ(dev_replace(s.ctx(), 1, too_long.c_str(), 1), PROP_E_STORAGE);
    EXPECT_EQ(prop_replace_dev(s.ctx(), 1, too_long.substr(1).c_str(), 1), PROP_E_ARG);

    // A slot out of range, an empty slot.
    EXPECT_EQ(prop_replace_dev(s.ctx(), 5, spare.c_str(), 1), PROP_E_ARG);
    EXPECT_EQ(prop_replace_dev(s.ctx(), 3, "", 1), PROP_E_ARG);

    // The only location still in service cannot be replaced away.
    slot_set_state(s.handle(), 1, PROP_SLOT_UNUSABLE, "test");
    EXPECT_EQ(prop_replace_dev(s.ctx(), 0, spare.c_str(), 1), PROP_E_MINORITY);
    slot_set_state(s.handle(), 1, PROP_SLOT_OPEN, "test");

    EXPECT_EQ(fs.names(), names);
    EXPECT_EQ(boot_block_at(names[0]), boot0);
    ASSERT_EQ(s.terminate(), 0u);
    ASSERT_EQ(s.init(PROP_LEVEL_RW), PROP_OK);
    EXPECT_EQ(fs.names(), names);
    EXPECT_EQ(tree_of(s.ctx()), fs.tree());
    ASSERT_EQ(s.terminate(), 0u);
}

// A new location whose copy fails: the change is recorded, the caller is
// told (31), the store runs on without it, and the next start fills it.
TEST(Locations, ANewLocationThatCannotBeFilledIsReportedAndFilledAtTheNextStart)
{
    FilledStore fs(2);
    Store &s = fs.store();
    const std::string spare = fs.spare(0);
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK);
    // The device check writes the first and the last page; the copy fails.
    ASSERT_EQ(s.faults().load(("fail_write:nth=3,errno=EIO,times=0,path=" + spare).c_str()), 0);
    EXPECT_EQ(prop_replace_dev(s.ctx(), 2, spare.c_str(), 1), PROP_E_DEVSPACE);
    s.faults().reset();
    EXPECT_EQ(fs.names().size(), 3u);
    EXPECT_NE(s.handle()->proprhandle_native_state[2], static_cast<u32>(PROP_SLOT_OPEN));
    ASSERT_EQ(s.terminate(), 0u);

    ASSERT_EQ(s.init(PROP_LEVEL_RW), PROP_OK);
    EXPECT_EQ(s.handle()->proprhandle_native_state[2], static_cast<u32>(PROP_SLOT_STALE));
    ASSERT_EQ(prop_recover(s.ctx(), 0), PROP_OK);
    EXPECT_EQ(s.handle()->proprhandle_native_state[2], static_cast<u32>(PROP_SLOT_OPEN));
    ASSERT_EQ(s.terminate(), 0u);
    EXPECT_EQ(check_pages({s.location(0), s.location(1), spare}), std::vector<std::string>{});
}

// A node that is not the Cache Writer follows the Cache Writer's change
// by changing only its own configuration.
TEST(Locations, AnotherNodeFollowsByChangingOnlyItsConfiguration)
{
    FilledStore fs(3);
    Store &s = fs.store();
    const char *other = "SOFTWARE\\Korvex\\node2";
    backend_ctx *node2 = nullptr;
    {
        ScopedEnv loc("ZKV_LOC", other);
        for (uint32_t i = 0; i < 3; i++)
            set_config(ut_location_value_name(0, i), s.location(i), other);
        ASSERT_EQ(prop_init(&node2, s.meta(), s.sec(), nullptr, PROP_LEVEL_CACHING, s.zkv(), s.grp()), PROP_OK);
    }
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK);
    ASSERT_EQ(prop_replace_dev(s.ctx(), 2, "", 1), PROP_OK);
    const std::string boot0 = boot_block_at(s.location(0));
    {
        ScopedEnv loc("ZKV_LOC", other);
        ASSERT_EQ(prop_replace_dev(node2, 2, "", 0), PROP_OK);
        char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];
        ASSERT_EQ(prop_get_conf_handle(node2, names), PROP_OK);
        EXPECT_EQ(names[2][0], '\0');
        EXPECT_EQ(tree_of(node2), fs.tree());
        EXPECT_EQ(prop_terminate(node2, 0), PROP_OK);
    }
    EXPECT_EQ(boot_block_at(s.location(0)), boot0);
    ASSERT_EQ(s.terminate(), 0u);
}

}  // namespace

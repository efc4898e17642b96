// Locations in the volume manager: rewriting disk-group names into file
// names, and the dependencies a store there needs.  The volume manager's
// client is not in this build: every call to it reports it unavailable.
#include "devices_fixture.h"
#include "platform/resource.h"

namespace {

void set_slot(uint32_t slot, const char *name)
{
    char key_path[PROP_LOCNAME_SIZE];
    ASSERT_EQ(ut_get_loc_path(0, "node1", key_path, sizeof key_path), 0u);
    cfg_key key;
    int err = 0;
    ASSERT_EQ(cfg_open_key(key_path, true, &key, &err), CFG_OK);
    ASSERT_EQ(cfg_set_sz(&key, ut_location_value_name(0, slot), name, &err), CFG_OK);
}

TEST(VolumeManagerLocations, AMigrateTheVolumeManagerCannotAnswerChangesNothing)
{
    FilledStore fs(3);
    Store &s = fs.store();
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), 0u);
    EXPECT_EQ(prop_migrate_dev(s.ctx(), 1), 0u) << "no disk group: nothing to migrate";
    ASSERT_EQ(s.terminate(), 0u);

    set_slot(2, "+DATA");
    ASSERT_EQ(prop_overwrite_conf(s.meta()), 0u);
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), 0u) << "two of three locations keep the store open";
    const std::string boot0 = boot_block_at(s.location(0));
    const u32 *devid = s.handle()->proprhandle_devid;
    const std::vector<u32> ids(devid, devid + 5);
    EXPECT_EQ(prop_migrate_dev(s.ctx(), 1), 26u);
    EXPECT_EQ(std::string(s.handle()->proprhandle_filename[2]), "+DATA");
    EXPECT_EQ(std::vector<u32>(devid, devid + 5), ids);
    EXPECT_EQ(boot_block_at(s.location(0)), boot0);
    ASSERT_EQ(s.terminate(), 0u);

    // A store with a location in the volume manager depends on it (the
    // node's mode unknown: the legacy one).
    EXPECT_EQ(prop_repair_conf(s.meta(), 1, s.location(1).c_str(), PROP_KIND_ZKV), 0u);
    char deps[256] = "";
    ASSERT_EQ(res_read_attr(RES_STORAGE, RES_START_DEPENDENCIES, deps, sizeof deps), 0u);
    EXPECT_STREQ(deps, "hard(kvx.vld,kvx.qynd)pullup(kvx.vld,kvx.qynd)");
}

}  // namespace

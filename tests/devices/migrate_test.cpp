// Locations in the volume manager: rewriting disk-group names into the
// complete names of their files, and the dependencies a store there needs.
#include "devices_fixture.h"
#include "platform/vldsim/admin.h"

namespace {

// A store in disk groups, configured by the disk groups' names.
struct NamedByDiskGroups {
    Store s;
    std::vector<std::string> complete;

    explicit NamedByDiskGroups(uint32_t locations = 2) : s({.locations = locations, .vld = true})
    {
        s.format();
        complete = configured_locations();
        for (uint32_t i = 0; i < locations; i++) set_config(ut_location_value_name(0, i), s.config_name(i));
        EXPECT_EQ(prop_overwrite_conf(s.meta()), PROP_OK) << "the store takes the disk groups' names as its own";
    }
};

TEST(VolumeManagerLocations, MigrateRewritesDiskGroupsIntoFileNamesOnce)
{
    NamedByDiskGroups m;
    Store &s = m.s;
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK);
    ASSERT_EQ(m.complete.size(), 2u);
    const std::vector<u32> before = id_vector({"+store-location-0", "+store-location-1"});
    const u32 *devid = s.handle()->proprhandle_devid;

    ASSERT_EQ(prop_migrate_dev(s.ctx(), 1), PROP_OK);
    EXPECT_EQ(configured_locations(), m.complete) << "one configuration write names the files";
    EXPECT_EQ(std::string(s.handle()->proprhandle_filename[0]), m.complete[0]);
    const std::vector<u32> after = id_vector(m.complete);
    EXPECT_EQ(std::vector<u32>(devid, devid + 5), after) << "the handle goes on with the new ids";
    for (uint32_t slot = 0; slot < 2; slot++)
        EXPECT_EQ(history_at(s.location(slot)), (History{2, before, after})) << slot;

    // Nothing is left to migrate: the second changes nothing.
    const std::string boot = boot_block_at(s.location(0));
    ASSERT_EQ(prop_migrate_dev(s.ctx(), 1), PROP_OK);
    EXPECT_EQ(boot_block_at(s.location(0)), boot);
    EXPECT_EQ(configured_locations(), m.complete);
    ASSERT_EQ(s.terminate(), 0u);
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK) << "the store opens on the names it recorded";
    ASSERT_EQ(s.terminate(), 0u);
}

TEST(VolumeManagerLocations, AMigrateThatCannotNameEveryFileChangesNothing)
{
    NamedByDiskGroups m(3);
    Store &s = m.s;
    ASSERT_EQ(vld_admin_mount(s.config_name(2), false), "");
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK) << "two of three locations keep the store open";
    const std::vector<std::string> names = configured_locations();
    const std::string boot = boot_block_at(s.location(0));
    EXPECT_EQ(prop_migrate_dev(s.ctx(), 1), uint32_t{PROP_E_STORAGE});
    EXPECT_EQ(configured_locations(), names);
    EXPECT_EQ(boot_block_at(s.location(0)), boot);
    ASSERT_EQ(s.terminate(), 0u);
    ASSERT_EQ(vld_admin_mount(s.config_name(2), true), "");
}

TEST(VolumeManagerLocations, ADiskGroupAddedOrPutInPlaceGetsAFileFilledFromTheOthers)
{
    Store s({.locations = 2, .vld = true});
    s.format();
    ASSERT_EQ(vld_admin_create_dg("+EXTRA", 2, false), "");
    ASSERT_EQ(vld_admin_create_dg("+OTHER", 2, false), "");
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK);
    for (const Op &op : make_workload(3, 12, tree_of(s.ctx())).ops)
        ASSERT_EQ(run_op(s.ctx(), op), 0u) << describe(op);
    const Tree tree = tree_of(s.ctx());

    ASSERT_EQ(prop_replace_dev(s.ctx(), 2, "+EXTRA", 1), PROP_OK);
    ASSERT_EQ(prop_replace_dev(s.ctx(), 0, "+OTHER", 1), PROP_OK);
    std::string extra, other, dropped = s.location(0);
    ASSERT_EQ(vld_admin_copy_path("+EXTRA", 1, &extra), "");
    ASSERT_EQ(vld_admin_copy_path("+OTHER", 1, &other), "");
    EXPECT_EQ(check_pages({other, s.location(1), extra}), std::vector<std::string>{});
    EXPECT_FALSE(is_boot_block(boot_block_at(dropped))) << "the location put out of service no longer opens";
    ASSERT_EQ(s.terminate(), 0u);

    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK);
    EXPECT_EQ(tree_of(s.ctx()), tree);
    ASSERT_EQ(s.terminate(), 0u);
}

TEST(VolumeManagerLocations, TheDependenciesFollowTheNodesVolumeManagerMode)
{
    FilledStore fs(2);
    Store &s = fs.store();
    EXPECT_EQ(prop_repair_conf(s.meta(), 1, s.location(1).c_str(), PROP_KIND_ZKV), PROP_OK);
    EXPECT_EQ(dependency(), "hard(kvx.qynd)pullup(kvx.qynd)");

    set_config(ut_location_value_name(0, 1), "+DATA");
    const std::pair<const char *, const char *> modes[] = {
        {nullptr, "hard(kvx.vld,kvx.qynd)pullup(kvx.vld,kvx.qynd)"},
        {"2", "hard(kvx.qynd)weak(kvx.vld)pullup(kvx.vld,kvx.qynd)pullup(kvx.tqsyd)"},
        {"3", "hard(kvx.qynd)pullup(kvx.qynd)"},
        {"9", "hard(kvx.vld,kvx.qynd)pullup(kvx.vld,kvx.qynd)"},  // unreadable: the legacy mode
    };
    for (const auto &[mode, deps] : modes) {
        SCOPED_TRACE(mode != nullptr ? mode : "unset");
        if (mode != nullptr) set_config("vld_mode", mode, "SOFTWARE\\Korvex\\vld");
        EXPECT_EQ(prop_repair_conf(s.meta(), 0, s.location(0).c_str(), PROP_KIND_ZKV), PROP_OK);
        EXPECT_EQ(dependency(), deps);
    }
}

}  // namespace

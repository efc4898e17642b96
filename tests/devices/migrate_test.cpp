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
        complete = configured();
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
    EXPECT_NE(m.complete[0].find("+store-location-0/"), std::string::npos);
    const std::vector<u32> before = id_vector({"+store-location-0", "+store-location-1"});
    const u32 *devid = s.handle()->proprhandle_devid;
    EXPECT_EQ(std::vector<u32>(devid, devid + 5), before);

    ASSERT_EQ(prop_migrate_dev(s.ctx(), 1), PROP_OK);
    EXPECT_EQ(configured(), m.complete) << "one configuration write names the files";
    EXPECT_EQ(std::string(s.handle()->proprhandle_filename[0]), m.complete[0]);
    const std::vector<u32> after = id_vector(m.complete);
    EXPECT_EQ(std::vector<u32>(devid, devid + 5), after) << "the handle goes on with the new ids";
    for (uint32_t slot = 0; slot < 2; slot++) {
        const History h = history_at(s.location(slot));
        EXPECT_EQ(h.count, 2u);
        EXPECT_EQ(h.prev, before);
        EXPECT_EQ(h.next, after);
    }

    // Nothing is left to migrate: the second changes nothing.
    const std::string boot = boot_block_at(s.location(0));
    ASSERT_EQ(prop_migrate_dev(s.ctx(), 1), PROP_OK);
    EXPECT_EQ(boot_block_at(s.location(0)), boot);
    EXPECT_EQ(configured(), m.complete);
    ASSERT_EQ(s.terminate(), 0u);
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK) << "the store opens on the names it recorded";
    ASSERT_EQ(s.terminate(), 0u);
}

TEST(VolumeManagerLocations, AnotherNodeMigratesItsConfigurationOnly)
{
    NamedByDiskGroups m;
    Store &s = m.s;
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK);
    const std::string boot = boot_block_at(s.location(1));
    ASSERT_EQ(prop_migrate_dev(s.ctx(), 0), PROP_OK);
    EXPECT_EQ(configured(), m.complete);
    EXPECT_EQ(boot_block_at(s.location(1)), boot) << "only the Cache Writer records the ids";
}

TEST(VolumeManagerLocations, AMigrateThatCannotNameEveryFileChangesNothing)
{
    NamedByDiskGroups m(3);
    Store &s = m.s;
    ASSERT_EQ(vld_admin_mount(s.config_name(2), false), "");
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK) << "two of three locations keep the store open";
    const std::vector<std::string> names = configured();
    const std::string boot = boot_block_at(s.location(0));
    EXPECT_EQ(prop_migrate_dev(s.ctx(), 1), uint32_t{PROP_E_STORAGE});
    EXPECT_EQ(configured(), names);
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
    Tree start, tree;
    ASSERT_EQ(read_tree(s.ctx(), &start), 0u);
    for (const Op &op : make_workload(3, 12, start).ops) ASSERT_EQ(run_op(s.ctx(), op), 0u) << describe(op);
    ASSERT_EQ(read_tree(s.ctx(), &tree), 0u);

    ASSERT_EQ(prop_check_dev(s.ctx(), 2, "+EXTRA"), PROP_OK);
    ASSERT_EQ(prop_replace_dev(s.ctx(), 2, "+EXTRA", 1), PROP_OK);
    ASSERT_EQ(prop_replace_dev(s.ctx(), 0, "+OTHER", 1), PROP_OK);
    std::string extra, other, dropped = s.location(0);
    ASSERT_EQ(vld_admin_copy_path("+EXTRA", 1, &extra), "");
    ASSERT_EQ(vld_admin_copy_path("+OTHER", 1, &other), "");
    EXPECT_EQ(check_pages({other, s.location(1), extra}), std::vector<std::string>{});
    EXPECT_FALSE(is_boot_block(boot_block_at(dropped))) << "the location put out of service no longer opens";
    ASSERT_EQ(s.terminate(), 0u);

    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK);
    Tree after;
    ASSERT_EQ(read_tree(s.ctx(), &after), 0u);
    EXPECT_EQ(after, tree);
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

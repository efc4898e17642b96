// Bringing a node's configuration back in line with the store: from the
// list the Cache Writer published, by hand, and by declaring the node's
// configuration the store's own.
#include <cstring>

#include "devices_fixture.h"
#include "propreg/frontend.h"
#include "storage/device.h"

namespace {

using Names = char[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];

void fill_names(Names out, const std::vector<std::string> &names)
{
    std::memset(out, 0, sizeof(Names));
    for (size_t i = 0; i < names.size(); i++) std::snprintf(out[i], PROP_LOCNAME_SIZE, "%s", names[i].c_str());
}

// Overwrites the device history in every location's boot block, as a
// change the node never took part in would have.
void diverge(const Store &store, uint32_t locations)
{
    for (uint32_t i = 0; i < locations; i++) {
        std::string b = store.read_block(i, 0);
        const u32 other[5] = {11, 22, 33, 0, 0};
        dev_whist(reinterpret_cast<u8 *>(b.data()), nullptr, other);
        hdr_stamp_checksum(reinterpret_cast<u8 *>(b.data()), 4096);
        store.write_block(i, 0, b);
    }
}

TEST(Repair, PublishedListsAreCheckedBeforeAnythingChangesAndByHandOneSlotChanges)
{
    Names names;
    EXPECT_EQ(dev_split_published("/a>/b>/c", 8, names), PROP_OK);
    EXPECT_STREQ(names[2], "/c");
    const char *bad[] = {"/a>>/c", "/a>/a", "", ">/a", "/a>/b>/c>/d>/e>/f"};
    for (const char *text : bad) EXPECT_EQ(dev_split_published(text, std::strlen(text), names), PROP_E_STORAGE) << text;
    std::string long_name(1024, 'x');
    EXPECT_EQ(dev_split_published(long_name.c_str(), long_name.size(), names), PROP_E_STORAGE);

    FilledStore fs(2);
    Store &s = fs.store();
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK);
    fill_names(names, {s.location(0), s.location(0)});
    EXPECT_EQ(proprrepauto(s.handle(), names), PROP_E_STORAGE);
    EXPECT_EQ(s.handle()->proprhandle_native_state[1], PROP_SLOT_OPEN) << "nothing was closed";
    EXPECT_EQ(fs.names(), (std::vector<std::string>{s.location(0), s.location(1)}));
    ASSERT_EQ(s.terminate(), 0u);

    // By hand: one slot and the dependencies change.
    const std::string spare = fs.spare(0);
    EXPECT_EQ(prop_repair_conf(s.meta(), 1, spare.c_str(), PROP_KIND_ZKV), PROP_OK);
    EXPECT_EQ(dependency(RES_STOP_DEPENDENCIES), "hard(intermediate:kvx.qynd)");
    EXPECT_EQ(configured_locations().at(1), spare);

    EXPECT_EQ(prop_repair_conf(s.meta(), 1, (spare + ".missing").c_str(), PROP_KIND_ZKV), PROP_E_ARG);
    EXPECT_EQ(prop_repair_conf(s.meta(), 7, spare.c_str(), PROP_KIND_ZKV), PROP_E_ARG);
    // The dependencies cannot be registered: the configuration is changed
    // all the same, and the failure is reported.
    ASSERT_EQ(s.faults().load("fail_write:nth=1,errno=EIO,times=0,path=kvx.storage"), 0);
    EXPECT_EQ(prop_repair_conf(s.meta(), 1, s.location(1).c_str(), PROP_KIND_ZKV), PROP_E_DEPEND);
    s.faults().reset();
    EXPECT_EQ(configured_locations().at(1), s.location(1));

    // A local-only configuration may only have a slot replaced.
    set_config("Local_Only", "true");
    EXPECT_EQ(prop_repair_conf(s.meta(), 1, "", PROP_KIND_ZKV), PROP_E_MINORITY);
    EXPECT_EQ(s.live_blocks(), 0u);
}

// The export re-opens the locations under the context lock after the
// repair; when the lists already agree there is nothing to repair.
TEST(Repair, AutomaticRepairOfAnOpenContext)
{
    FilledStore fs(3);
    Store &s = fs.store();
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK);
    Names names;
    fill_names(names, {s.location(0), s.location(1), s.location(2)});
    EXPECT_EQ(proprrepauto(s.handle(), names), PROP_OK);

    // Slot 2 dropped from the published list: the node follows.
    ASSERT_EQ(prop_replace_dev(s.ctx(), 2, "", 1), PROP_OK);
    ASSERT_EQ(s.terminate(), 0u);
    ASSERT_EQ(s.init(PROP_LEVEL_CACHING), PROP_OK);
    fill_names(names, {s.location(0), s.location(1)});
    names[2][0] = '\0';
    // Put the old slot back locally, as a node that missed the change has it.
    std::strcpy(s.handle()->proprhandle_filename[2], s.location(2).c_str());
    ASSERT_EQ(utdvrp(s.handle(), 0), PROP_OK);
    trace_capture_start();
    EXPECT_EQ(prop_autorepair_conf(s.ctx(), names), PROP_OK);
    trace_capture_stop();
    EXPECT_TRUE(alerted(1018, "(:PRZKV00005:)"));
    EXPECT_EQ(fs.names(), (std::vector<std::string>{s.location(0), s.location(1)}));
    EXPECT_EQ(dependency(RES_START_DEPENDENCIES), "hard(kvx.qynd)pullup(kvx.qynd)");
    EXPECT_EQ(tree_of(s.ctx()), fs.tree());
    ASSERT_EQ(s.terminate(), 0u);
}

// After a change this node never took part in, its configuration no
// longer matches the store's history and the open fails; overwriting the
// history makes it open again.  A mirror that missed the last writes stays
// behind: the current one's content wins.
TEST(Repair, OverwritingTheHistoryOpensTheStoreWithTheCurrentContent)
{
    FilledStore fs(2);
    Store &s = fs.store();
    ASSERT_EQ(s.init(PROP_LEVEL_RW), PROP_OK);
    ASSERT_EQ(s.faults().load(("fail_write:nth=1,errno=EIO,times=0,path=" + s.location_tag(1)).c_str()), 0);
    ASSERT_EQ(put_value(s, "late", "v"), PROP_OK);
    ASSERT_EQ(s.terminate(), 0u);
    s.faults().reset();

    diverge(s, 2);
    EXPECT_EQ(s.init(PROP_LEVEL_RW), PROP_E_STORAGE);
    EXPECT_EQ(prop_overwrite_conf(s.meta()), PROP_OK);
    EXPECT_EQ(s.live_blocks(), 0u);
    ASSERT_EQ(s.init(PROP_LEVEL_RW), PROP_OK);
    ASSERT_EQ(prop_recover(s.ctx(), 0), PROP_OK);
    EXPECT_EQ(get_value(s, "late"), "v");
    ASSERT_EQ(s.terminate(), 0u);
    EXPECT_EQ(check_pages({s.location(0), s.location(1)}), std::vector<std::string>{});
    EXPECT_EQ(history_at(s.location(1)).count, 2u);
    EXPECT_EQ(history_at(s.location(1)).next, id_vector({s.location(0), s.location(1)}));
}

}  // namespace

// A store whose locations are disk groups, through the exports: formatting,
// reading back, growing its file, what it does when the volume manager
// fails it, and the volume-manager exports.

#include <cstring>
#include <fstream>

#include "platform/vldsim/client.h"
#include "storage/config.h"
#include "vld/vld.h"
#include "vld_fixture.h"

namespace {

TEST(VldStore, FormatsIntoADiskGroupNamesItsFileAndHealsADamagedFirstCopyOfTheBootBlock)
{
    Store store(vld_store());
    ASSERT_EQ(store.setup(), 0u);
    ASSERT_EQ(put_value(store, "a", "alpha"), 0u);
    ASSERT_EQ(store.terminate(), 0u);

    const vld_admin_file file = registry_file("+store-location-0");
    EXPECT_EQ(configured_locations().at(0), "+store-location-0/" + file.name);
    EXPECT_EQ(file.blocks, 40521u) << "a new store file starts small";

    // A damaged first copy of the boot block is read from the other, and
    // recovery rewrites it on every copy.
    const std::string good = store.read_block(0, 0);
    ASSERT_EQ(vld_admin_damage("+store-location-0", 1, 25), "");
    ASSERT_NE(store.read_block(0, 0), good);
    ASSERT_EQ(store.init(PROP_LEVEL_CACHING), PROP_OK);
    ASSERT_EQ(prop_recover(store.ctx(), 0), PROP_OK);
    EXPECT_EQ(store.read_block(0, 0), good);
    EXPECT_EQ(get_value(store, "a"), "alpha");
    ASSERT_EQ(put_value(store, "after", "v"), 0u);
}

using ::testing::ExitedWithCode;

// A value of 20 pages, different for every key.
std::string big_value(uint32_t k)
{
    std::string v(20 * 4064, '\0');
    for (size_t i = 0; i < v.size(); i += 97) v[i] = static_cast<char>(k * 31 + i);
    std::memcpy(v.data(), &k, sizeof k);
    return v;
}

TEST(VldStore, GrowsItsFileByStepsAndRollsBackAWriteAFullDiskGroupRefuses)
{
    Store store(vld_store());
    store.format();
    ASSERT_EQ(store.init(PROP_LEVEL_CACHING), PROP_OK);
    ASSERT_EQ(vld_admin_fill("+store-location-0", true), "");
    trace_capture_start();
    // The store fills its file from the front: the key that first needs a
    // block past the file's end is refused, whole.
    uint32_t k = 0, rc = 0;
    while (k < 2000 && (rc = put_value(store, "k" + std::to_string(k), big_value(k))) == 0) k++;
    ASSERT_EQ(rc, PROP_E_NOSPACE) << "after " << k << " keys";
    EXPECT_GT(k, 900u) << "refused before the file was used up";
    EXPECT_TRUE(alerted(1027));
    trace_capture_stop();
    EXPECT_EQ(get_value(store, "k" + std::to_string(k)), "") << "the refused value was rolled back";
    EXPECT_EQ(registry_file("+store-location-0").blocks, 40521u);

    ASSERT_EQ(vld_admin_fill("+store-location-0", false), "");
    for (uint32_t last = k + 5; k < last; k++) ASSERT_EQ(put_value(store, "k" + std::to_string(k), big_value(k)), 0u);
    EXPECT_EQ(registry_file("+store-location-0").blocks, 40521u + 8240u) << "one growth step";
    ASSERT_EQ(store.terminate(), 0u);

    // Opening at the upgrade level may cap a file, never shrink the store.
    ASSERT_EQ(store.init(PROP_LEVEL_UPGRADE), PROP_OK);
    ASSERT_EQ(store.terminate(), 0u);
    EXPECT_EQ(registry_file("+store-location-0").blocks, 40521u + 8240u);

    ASSERT_EQ(store.init(PROP_LEVEL_READONLY), PROP_OK);
    for (uint32_t i = 0; i < k; i++) ASSERT_EQ(get_value(store, "k" + std::to_string(i)), big_value(i)) << i;
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    return {std::istreambuf_iterator<char>(f), {}};
}

TEST(VldStore, AnOpenAtTheUpgradeLevelCutsAFileBackToTheLargestStore)
{
    Store store(vld_store());
    store.format();
    vld_error err{};
    vld_context *ctx = vld_create_context(&err, 0, nullptr, nullptr);
    vld_file *f = nullptr;
    ASSERT_EQ(vld_open_file(&err, ctx, "store-location-0", "", 4096, VLD_MODE_RW, VLD_KIND_REGISTRY, nullptr, 0, &f),
              0u);
    ASSERT_EQ(vld_control(&err, ctx, f, VLD_CTL_MAX_BLOCKS, 200000), 0u);
    u8 block[4096] = {};
    vld_request r{f, block, 150000, VLD_OP_WRITE, 1, 0, 0};
    ASSERT_EQ(vld_io(&err, ctx, &r, 1), 0u);
    vld_close_file(&err, ctx, f, 1);
    vld_destroy_context(&err, ctx, 1);

    ASSERT_EQ(store.init(PROP_LEVEL_UPGRADE), PROP_OK);
    EXPECT_EQ(registry_file("+store-location-0").blocks, 122921u);
}

TEST(VldStore, ADownInstanceFailsTheOperationAndEndsTheCachingDaemon)
{
    Store store(vld_store());
    store.format();
    ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
    ASSERT_EQ(put_value(store, "kept", "v1"), 0u);
    ASSERT_EQ(vld_admin_instance(false), "");
    trace_capture_start();
    EXPECT_EQ(put_value(store, "lost", "v2"), PROP_E_STORAGE);
    EXPECT_TRUE(alerted(1013));
    trace_capture_stop();
    ASSERT_EQ(store.terminate(), 0u);
    ASSERT_EQ(vld_admin_instance(true), "");

    TempDir dir;
    const std::string trace = dir.file("trace.log");
    ASSERT_EQ(store.init(PROP_LEVEL_CACHING), PROP_OK);
    EXPECT_EXIT(
        {
            trace_set_file(trace.c_str());
            vld_admin_instance(false);
            put_value(store, "lost", "v2");
        },
        ExitedWithCode(1), "");
    EXPECT_NE(slurp(trace).find("[ALERT] 1013"), std::string::npos);
    ASSERT_EQ(vld_admin_instance(true), "");
    ASSERT_EQ(prop_recover(store.ctx(), 0), PROP_OK);
    EXPECT_EQ(get_value(store, "kept"), "v1");
    EXPECT_EQ(get_value(store, "lost").rfind("<error", 0), 0u) << "the key was never made";
}

// A configured file that is lost leaves its location out of service; no
// open makes a file in its place under another name, nor moves the disk
// group's registry-file mark onto one.
TEST(VldStore, AConfiguredFileThatIsLostIsRefusedAndNothingTakesItsPlace)
{
    Store store(vld_store(3));
    ASSERT_EQ(store.setup(), 0u);
    ASSERT_EQ(put_value(store, "a", "alpha"), 0u);
    ASSERT_EQ(store.terminate(), 0u);
    const std::string lost = configured_locations().at(2);
    ASSERT_EQ(vld_admin_remove_file(lost), "");
    const std::string mark = vld_admin_root() + "/store-location-2/.registry";
    const std::string marked = slurp(mark);
    ASSERT_NE(marked, "");

    for (uint32_t level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING, PROP_LEVEL_UPGRADE, PROP_LEVEL_RW}) {
        SCOPED_TRACE("level " + std::to_string(level));
        ASSERT_EQ(store.init(level), PROP_OK);
        EXPECT_EQ(store.handle()->proprhandle_native_state[2], PROP_SLOT_UNUSABLE);
        EXPECT_EQ(get_value(store, "a"), "alpha");
        if (level != PROP_LEVEL_CACHING) {
            EXPECT_EQ(prop_check_logical_corruption(store.ctx()), PROP_OK);
        }
        ASSERT_EQ(store.terminate(), 0u);
        EXPECT_TRUE(disk_group("+store-location-2").files.empty());
        EXPECT_EQ(slurp(mark), marked);
        EXPECT_EQ(configured_locations().at(2), lost);
    }
}

TEST(VldStore, StorageChecksAskWhetherTheDiskGroupIsMounted)
{
    Store store(vld_store());
    auto check = [](const char *dg) {
        char errbuf[256];
        uint32_t errsz = sizeof errbuf;
        return prop_check_storage(nullptr, dg, errbuf, &errsz, PROP_KIND_ZKV);
    };
    EXPECT_EQ(check("+store-location-0"), PROP_OK);
    ASSERT_EQ(vld_admin_mount("+store-location-0", false), "");
    EXPECT_EQ(check("+store-location-0"), PROP_E_VLDCREATE);
}

// The volume-manager exports.
TEST(VldExports, IsZkvOnVldAnswersForTheLocationGivenElseForTheStore)
{
    Store files;
    files.format();
    ASSERT_EQ(files.init(PROP_LEVEL_RW), PROP_OK);
    uint32_t answer[2] = {7, 7};
    EXPECT_EQ(prop_is_zkvonvld(files.ctx(), nullptr, &answer[0], 0), PROP_OK);
    EXPECT_EQ(prop_is_zkvonvld(files.ctx(), "+DATA", &answer[1], 0), PROP_OK);
    EXPECT_EQ(std::vector<uint32_t>(answer, answer + 2), (std::vector<uint32_t>{0, 1}));
}

TEST(VldExports, DeletingAFileRefusesTheStoresOwnLocations)
{
    Store store(vld_store());
    store.format();
    ASSERT_EQ(store.init(PROP_LEVEL_CACHING), PROP_OK);
    uint32_t answer = 0;
    EXPECT_EQ(prop_is_zkvonvld(store.ctx(), "", &answer, 0), PROP_OK);
    EXPECT_EQ(answer, 1u);

    const std::string own = store.handle()->proprhandle_filename[0];
    EXPECT_EQ(prop_delete_vldfile(store.ctx(), own.c_str(), 0), PROP_E_ARG);
    EXPECT_EQ(prop_delete_vldfile(store.ctx(), "+store-location-0", 0), PROP_E_ARG) << "its disk group names it too";

    // A store file of its own in the disk group, outside any store.
    vld_error err{};
    vld_context *vctx = vld_create_context(&err, 0, nullptr, nullptr);
    vld_file *f = nullptr;
    char spare[PROP_LOCNAME_SIZE] = "";
    ASSERT_EQ(vld_create_file(&err, vctx, "store-location-0", "spare", 4096, 100, VLD_KIND_REGISTRY, spare, sizeof spare, &f), 0u);
    vld_close_file(&err, vctx, f, 1);
    vld_destroy_context(&err, vctx, 1);
    uint32_t exists = 0;
    EXPECT_EQ(proprvld_file_exists_name(store.meta(), spare, &exists), PROP_OK);
    EXPECT_EQ(exists, 1u);
    EXPECT_EQ(prop_delete_vldfile(store.ctx(), spare, 0), PROP_OK);
    EXPECT_EQ(proprvld_file_exists_name(store.meta(), spare, &exists), PROP_OK);
    EXPECT_EQ(exists, 0u);
    EXPECT_EQ(proprvld_file_exists_name(store.meta(), "+store-location-0", &exists), PROP_OK);
    EXPECT_EQ(exists, 1u) << "a disk group names its registry file";
}

TEST(VldExports, DirectConnectionIsSwitchedOnOnlyWhenAskedAndKeptOverAReopen)
{
    Store store(vld_store(2));
    store.format();
    ASSERT_EQ(store.init(PROP_LEVEL_CACHING), PROP_OK);
    auto direct = [&](uint32_t slot) {
        vld_file_status s{};
        vld_file_describe(static_cast<const vld_file *>(store.handle()->proprhandle_native[slot]), &s);
        return s.direct;
    };
    EXPECT_EQ(direct(0) + direct(1), 0u) << "an open never asks for it";
    ASSERT_EQ(prop_vld_directconn(store.ctx()), PROP_OK);
    EXPECT_EQ(direct(0) + direct(1), 2u);

    // A re-open after a configuration change keeps the files it had open,
    // and so their connection.
    ASSERT_EQ(prop_reinit(store.ctx(), store.grp()), PROP_OK);
    EXPECT_EQ(direct(0) + direct(1), 2u);
    EXPECT_EQ(vld_context_open_files(store.handle()->proprhandle_vld->ctx), 2u);
}

}  // namespace

// The volume-manager exports on a store in disk groups.
#include "platform/vldsim/client.h"
#include "vld/vld.h"
#include "vld_fixture.h"

namespace {

// Makes a store file of its own in a disk group, outside any store.
std::string make_spare_file(const std::string &dg)
{
    vld_error err{};
    vld_context *ctx = vld_create_context(&err, 0, nullptr, nullptr);
    vld_file *f = nullptr;
    char name[PROP_LOCNAME_SIZE] = "";
    EXPECT_EQ(vld_create_file(&err, ctx, dg.c_str() + 1, "spare", 4096, 100, VLD_KIND_REGISTRY, name, sizeof name, &f),
              0u)
        << err.message;
    vld_close_file(&err, ctx, f, 1);
    vld_destroy_context(&err, ctx, 1);
    return name;
}

TEST(VldExports, IsZkvOnVldAnswersForTheLocationGivenElseForTheStore)
{
    Store files;
    files.format();
    ASSERT_EQ(files.init(PROP_LEVEL_RW), PROP_OK);
    uint32_t answer = 7;
    EXPECT_EQ(prop_is_zkvonvld(files.ctx(), nullptr, &answer, 0), PROP_OK);
    EXPECT_EQ(answer, 0u);
    EXPECT_EQ(prop_is_zkvonvld(files.ctx(), "+DATA", &answer, 0), PROP_OK);
    EXPECT_EQ(answer, 1u);
    ASSERT_EQ(files.terminate(), 0u);
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

    const std::string spare = make_spare_file("+store-location-0");
    uint32_t exists = 0;
    EXPECT_EQ(proprvld_file_exists_name(store.meta(), spare.c_str(), &exists), PROP_OK);
    EXPECT_EQ(exists, 1u);
    EXPECT_EQ(prop_delete_vldfile(store.ctx(), spare.c_str(), 0), PROP_OK);
    EXPECT_EQ(proprvld_file_exists_name(store.meta(), spare.c_str(), &exists), PROP_OK);
    EXPECT_EQ(exists, 0u);
    EXPECT_EQ(proprvld_file_exists_name(store.meta(), "+store-location-0", &exists), PROP_OK);
    EXPECT_EQ(exists, 1u) << "a disk group names its registry file";
    EXPECT_EQ(store.terminate(), 0u);
}

TEST(VldExports, DirectConnectionIsSwitchedOnOnlyWhenAskedAndTheDumpShowsIt)
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

    trace_capture_start();
    EXPECT_EQ(prop_dump_ctx(store.ctx()), PROP_OK);
    trace_capture_stop();
    EXPECT_TRUE(trace_captured_contains("proprdc_proprhandle: propb_ctx->proprhandle_native[1]=+store-location-1/"));
    EXPECT_TRUE(trace_captured_contains("mirrors=2 growth=8240 maxsize=122921 cache=5MB direct=1"));

    // A re-open after a configuration change keeps the files it had open,
    // and so their connection.
    ASSERT_EQ(prop_reinit(store.ctx(), store.grp()), PROP_OK);
    EXPECT_EQ(direct(0) + direct(1), 2u);
    EXPECT_EQ(vld_context_open_files(store.handle()->proprhandle_vld->ctx), 2u);
    EXPECT_EQ(store.terminate(), 0u);
}

}  // namespace

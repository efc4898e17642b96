// The operations the export layer does itself.
#include <cstring>
#include <string>
#include <vector>

#include "api_fixture.h"
#include "platform/trace.h"

namespace {

using OwnOpsTest = ApiTest;

TEST_F(OwnOpsTest, ConfHandleCopiesEveryNameAndBlanksEmptySlots)
{
    std::strcpy(handle->proprhandle_filename[0], "/var/reg/a");
    std::strcpy(handle->proprhandle_filename[1], "+DATA");
    std::memset(handle->proprhandle_filename[2], 'x', PROP_LOCNAME_SIZE);  // no terminator in the handle
    handle->proprhandle_configured_device_count = 3;
    static char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];
    std::memset(names, '?', sizeof names);
    at_level(8);
    ASSERT_EQ(prop_get_conf_handle(ctx, names), PROP_OK);
    EXPECT_STREQ(names[0], "/var/reg/a");
    EXPECT_STREQ(names[1], "+DATA");
    EXPECT_EQ(std::strlen(names[2]), PROP_LOCNAME_SIZE - 1u);
    EXPECT_STREQ(names[4], "");
}

std::vector<std::string> g_connected;

TEST_F(OwnOpsTest, DirectConnectionTouchesOnlyOpenVolumeLocationsAndIgnoresRefusals)
{
    g_connected.clear();
    g_prop_ops.vld_directconn_one = [](proprhandle *, void *, const char *location, u32) -> u32 {
        g_connected.emplace_back(location);
        return std::strcmp(location, "+B") == 0 ? static_cast<u32>(PROP_E_STORAGE) : 0u;
    };
    const char *names[] = {"+A", "/file", "+B", "+C", "+D"};
    u32 states[] = {PROP_SLOT_OPEN, PROP_SLOT_OPEN, PROP_SLOT_OPEN, PROP_SLOT_STALE, PROP_SLOT_OPEN};
    for (u32 k = 0; k < PROP_NUM_SLOTS; k++) {
        std::strcpy(handle->proprhandle_filename[k], names[k]);
        handle->proprhandle_native_state[k] = states[k];
    }
    handle->proprhandle_configured_device_count = 4;  // "+D" is not configured
    trace_set_level(nullptr, 1);
    trace_capture_start();
    at_level(1);
    EXPECT_EQ(prop_vld_directconn(ctx), PROP_OK);
    trace_capture_stop();
    trace_set_level(nullptr, 0);
    EXPECT_EQ(g_connected, (std::vector<std::string>{"+A", "+B"}));
    EXPECT_TRUE(trace_captured_contains("propr_vld_directconn: proprvlddirectconn returned error [26] for [+B]."));
}

TEST_F(OwnOpsTest, ContextDumpWritesContextAndHandle)
{
    char owner[] = "alice";
    handle->proprhandle_uid[1] = owner;
    static int undo_dumps;
    undo_dumps = 0;
    g_prop_ops.dump_undo_log = [](proprhandle *) -> u32 {
        undo_dumps++;
        return 0;
    };
    at_level(2);
    trace_capture_start();
    EXPECT_EQ(prop_dump_ctx(ctx), PROP_OK);
    trace_capture_stop();
    // The handle is walked slot by slot, past the unset owner of slot 0.
    EXPECT_TRUE(trace_captured_contains("proprdc_proprhandle: propb_ctx->proprhandle_uid[1]=alice"));
    EXPECT_EQ(undo_dumps, 1);
    handle->proprhandle_uid[1] = nullptr;
}

}  // namespace

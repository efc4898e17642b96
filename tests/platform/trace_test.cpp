#include <gtest/gtest.h>

#include "core/handle.h"
#include "platform/trace.h"
#include "support/contexts.h"
#include "support/tmpdir.h"

namespace {

TEST(TraceTest, LinesAboveTheComponentLevelAreNotWritten)
{
    trace_comp c = trace_component_named("TSTLVL");
    trace_set_level(c, 2);
    trace_capture_start();
    trace_print(c, 2, "kept %d", 2);
    trace_print(c, 3, "dropped %d", 3);
    trace_print(nullptr, 0, "default %s", "component");
    trace_capture_stop();
    auto lines = trace_captured();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].component, "TSTLVL");
    EXPECT_EQ(lines[0].text, "kept 2");
    EXPECT_EQ(lines[1].text, "default component");
    EXPECT_EQ(trace_component_named("TSTLVL"), c);  // one component per name
}

TEST(TraceTest, FileSinkIsFlushedAndNamed)
{
    TempDir dir;
    std::string path = dir.file("trace.log");
    ASSERT_EQ(trace_set_file(path.c_str()), 0);
    char name[4097];
    ASSERT_EQ(trace_log_name(name, sizeof name), 0);
    EXPECT_EQ(path, name);
    trace_print(nullptr, 0, "to the file");
    alert_print(1006, "%s", "(:PRZKV00005:)");
    trace_flush(3);
    std::string text = read_at(path, 0, 4096);
    trace_set_file(nullptr);
    EXPECT_NE(text.find("to the file"), std::string::npos);
    EXPECT_NE(text.find("[ALERT] 1006: (:PRZKV00005:)"), std::string::npos);
    EXPECT_NE(trace_set_file(dir.file("no/such/dir/x").c_str()), 0);
}

TEST(TraceTest, HandleRegistrationAppliesEnvironmentLevels)
{
    proprhandle *h = new proprhandle{};
    {
        ScopedEnv env("ZKV_LOGGING_LEVEL", "ZKVOSD:3,ZKVRAW:7");
        trace_set_level(trace_component_named(TRACE_RAW), 4);
        trace_set_level(trace_component_named(TRACE_VLD), 1);
        ASSERT_EQ(proprut_compreg(h), PROP_OK);
    }
    EXPECT_EQ(trace_get_level(h->proprhandle_trace_osd), 3u);
    // 7 is not a level: the registration applies the 0 it holds.
    EXPECT_EQ(trace_get_level(h->proprhandle_trace_raw), 0u);
    // No level in the environment: left as it was.
    EXPECT_EQ(trace_get_level(h->proprhandle_trace_vld), 1u);
    EXPECT_EQ(proprut_compreg(nullptr), PROP_E_STORAGE);
    trace_set_level(h->proprhandle_trace_vld, 0);
    trace_set_level(h->proprhandle_trace_osd, 0);
    delete h;
}

}  // namespace

// Failures at the CACHING level: what is escalated, how 36 is rolled back
// and how 26 ends the process.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "api_fixture.h"
#include "platform/trace.h"
#include "support/contexts.h"
#include "support/tmpdir.h"

namespace {

using ::testing::ExitedWithCode;

class EscalationTest : public ApiTest {
  protected:
    void SetUp() override
    {
        ApiTest::SetUp();
        trace_path = dir.file("trace.log");
        ASSERT_EQ(trace_set_file(trace_path.c_str()), 0);
        trace_capture_start();
    }
    void TearDown() override
    {
        trace_capture_stop();
        trace_set_file(nullptr);
        ApiTest::TearDown();
    }
    u32 set_value() { return prop_set_value(ctx, nullptr, 3, "v", 2, 0); }
    std::string trace_text() { return read_at(trace_path, 0, 1 << 20); }
    // Position of text in the trace file of the ended child, npos if absent.
    size_t in_trace(const std::string &text) { return trace_text().find(text); }

    TempDir dir;
    std::string trace_path;
};

// (Other levels only return it: levels_test.)
TEST_F(EscalationTest, StorageFailureEndsTheProcessAtTheCachingLevel)
{
    put_double(g_prop_ops.set_value);
    g_double_rc = PROP_E_STORAGE;
    // The child's trace file holds every line up to the exit: it was flushed.
    at_level(1);
    EXPECT_EXIT(set_value(), ExitedWithCode(1), "");
    EXPECT_NE(in_trace("physical storage [26] Marking context invalid."), std::string::npos);
    EXPECT_NE(in_trace("przkv_ctx_set_invalid_no_abort: Exiting..."), std::string::npos);
}

TEST_F(EscalationTest, TheExitWaitsWhileAnotherThreadHoldsDoNotTerminate)
{
    put_double(g_prop_ops.set_value);
    g_double_rc = PROP_E_STORAGE;
    at_level(1);
    przkv_ctx *z = zkv;
    EXPECT_EXIT(
        {
            z->state = PROP_CTXSTATE_NO_TERMINATE;
            std::thread([z] {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                trace_print(nullptr, 0, "test: leaving the do-not-terminate section");
                pthread_mutex_lock(&z->mutex);
                z->state = 0;
                pthread_mutex_unlock(&z->mutex);
            }).detach();
            set_value();
        },
        ExitedWithCode(1), "");
    // In this order, each present.
    std::vector<size_t> at;
    for (const char *line : {"przkv_ctx_set_invalid_no_abort: ctx set to donot terminate. Sleep.",
                             "test: leaving the do-not-terminate section",
                             "przkv_ctx_set_invalid_no_abort: Exiting..."})
        at.push_back(in_trace(line));
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end()) && at.back() != std::string::npos)
        << trace_text();
}

TEST_F(EscalationTest, NoSpaceIsRolledBackAndAFailedRollbackIsFatal)
{
    static int recover_calls;
    static u32 recover_rc;
    recover_calls = 0;
    recover_rc = 0;
    g_prop_ops.recover = [](backend_ctx *, u32) -> u32 {
        recover_calls++;
        return recover_rc;
    };
    put_double(g_prop_ops.set_value);
    g_double_rc = PROP_E_NOSPACE;
    at_level(1);
    EXPECT_EQ(set_value(), PROP_E_NOSPACE);
    EXPECT_EQ(recover_calls, 1);
    EXPECT_EQ(recorded(), PROP_E_NOSPACE);

    recover_rc = PROP_E_PERM;
    EXPECT_EXIT(set_value(), ExitedWithCode(1), "");
    EXPECT_NE(in_trace("proprseterror: Failed in proprrecover() Retval:[5]."), std::string::npos);
}

TEST_F(EscalationTest, BackupFailures)
{
    put_double(g_prop_ops.bkup);
    char name[PROP_LOCNAME_SIZE] = "/backups/b1";
    at_level(1);

    make_zkv(PROP_KIND_NKV);  // the node-local registry's caller decides itself
    g_double_rc = PROP_E_NOMEM;
    EXPECT_EQ(prop_bkup(ctx, name), PROP_E_NOMEM);
    EXPECT_EQ(recorded(), PROP_OK);
    EXPECT_TRUE(trace_captured_contains("propr_bkp: Failed to take the backup. Retval:[12]"));

    make_zkv(PROP_KIND_ZKV);
    g_double_rc = PROP_E_BKPFILE;  // the file, not the storage: kept, but escalated
    EXPECT_EQ(prop_bkup(ctx, name), PROP_E_BKPFILE);
    EXPECT_EQ(recorded(), PROP_E_BKPFILE);

    g_double_rc = PROP_E_NOMEM;
    EXPECT_EXIT(prop_bkup(ctx, name), ExitedWithCode(1), "");
    EXPECT_NE(in_trace("proprseterror: Error in accessing physical storage [26]"), std::string::npos);
}

TEST_F(EscalationTest, ReplaceAndPrecheckAnswersAreNotFailures)
{
    put_double(g_prop_ops.replace_dev);
    put_double(g_prop_ops.prechk_confchange);
    at_level(1);
    for (u32 answer : {8u, 31u}) {
        g_double_rc = answer;
        EXPECT_EQ(prop_replace_dev(ctx, 1, "/new", 1), answer);
        EXPECT_EQ(recorded(), PROP_OK) << answer;
    }
    g_double_rc = PROP_E_NOCONF;
    EXPECT_EQ(prop_replace_dev(ctx, 1, "/new", 1), PROP_E_NOCONF);
    EXPECT_EQ(recorded(), PROP_E_NOCONF);

    u_reset_error(zkv, nullptr);
    at_level(0);  // the pre-check escalates at every level
    g_double_rc = PROP_E_MINORITY;
    EXPECT_EQ(prop_prechk_confchange(ctx, 1, "/new"), PROP_E_MINORITY);
    EXPECT_EQ(recorded(), PROP_OK);
    g_double_rc = PROP_E_ARG;
    EXPECT_EQ(prop_prechk_confchange(nullptr, 1, "/new"), PROP_E_ARG);
    EXPECT_EQ(recorded(), PROP_OK);
    EXPECT_EQ(prop_prechk_confchange(ctx, 1, "/new"), PROP_E_ARG);
    EXPECT_EQ(recorded(), PROP_E_ARG);
}

TEST_F(EscalationTest, AutomaticRepair)
{
    static u32 reinit_rc;
    static int reinit_calls;
    reinit_calls = 0;
    g_prop_ops.io_reinit = [](proprhandle *, u32 flags) -> u32 {
        reinit_calls++;
        return flags == 0 ? reinit_rc : static_cast<u32>(PROP_E_ARG);
    };
    put_double(g_prop_ops.autorepair_conf);
    char published[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE] = {"/a", "/b"};
    at_level(1);

    g_double_rc = PROP_E_REPAIRED;  // repaired: the locations are re-opened
    reinit_rc = 0;
    EXPECT_EQ(prop_autorepair_conf(ctx, published), PROP_OK);
    EXPECT_EQ(reinit_calls, 1);
    EXPECT_EQ(recorded(), PROP_OK);

    reinit_rc = PROP_E_DEVSPACE;
    EXPECT_EQ(prop_autorepair_conf(ctx, published), PROP_E_DEVSPACE);
    EXPECT_EQ(recorded(), PROP_E_DEVSPACE);
    EXPECT_TRUE(trace_captured_contains(
        "propr_autorepair_conf: Failed to re-initialize the IO handles after auto repair. Retval:[31]"));

    g_double_rc = PROP_E_ARG;
    EXPECT_EQ(prop_autorepair_conf(ctx, published), PROP_E_ARG);
    EXPECT_EQ(recorded(), PROP_E_ARG);
    EXPECT_EQ(reinit_calls, 2);

    g_double_rc = 0;  // nothing could be repaired
    EXPECT_EXIT(prop_autorepair_conf(ctx, published), ExitedWithCode(1), "");
}

}  // namespace

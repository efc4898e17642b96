// Failures at the CACHING level: what is escalated, how 36 is rolled back
// and how 26 ends the process.
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "api_fixture.h"
#include "platform/trace.h"
#include "support/tmpdir.h"

namespace {

using ::testing::ExitedWithCode;

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

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
    // Position of text in the trace file of the ended child, npos if absent.
    size_t in_trace(const std::string &text) { return slurp(trace_path).find(text); }

    TempDir dir;
    std::string trace_path;
};

TEST_F(EscalationTest, StorageFailureIsReturnedAtLevelZeroAndEndsTheProcessAtTheCachingLevel)
{
    put_double(g_prop_ops.set_value);
    g_double_rc = PROP_E_STORAGE;
    at_level(0);
    EXPECT_EQ(set_value(), PROP_E_STORAGE);
    EXPECT_EQ(recorded(), PROP_OK);

    // The child's trace file holds every line up to the exit: it was flushed.
    at_level(1);
    EXPECT_EXIT(set_value(), ExitedWithCode(1), "");
    for (const char *line : {"proprseterror: Error in accessing physical storage [26] Marking context invalid.",
                             "proprdc: backend_ctx->prop_ctx_tag=PROPCTXT",
                             "przkv_ctx_set_invalid_no_abort: ctx set to invalid",
                             "przkv_ctx_set_invalid_no_abort: Exiting..."})
        EXPECT_NE(in_trace(line), std::string::npos) << line;
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
    size_t waited = in_trace("przkv_ctx_set_invalid_no_abort: ctx set to donot terminate. Sleep.");
    size_t left = in_trace("test: leaving the do-not-terminate section");
    size_t state = in_trace("przkv_ctx_set_invalid_no_abort: ctx is in state [0].");
    size_t exiting = in_trace("przkv_ctx_set_invalid_no_abort: Exiting...");
    ASSERT_NE(waited, std::string::npos);
    ASSERT_NE(left, std::string::npos);
    EXPECT_LT(waited, left);
    EXPECT_LT(left, state);
    EXPECT_LT(state, exiting);
    EXPECT_NE(exiting, std::string::npos);
}

TEST_F(EscalationTest, NoSpaceIsRolledBackAndAFailedRollbackIsFatal)
{
    static u32 recover_flags;
    static int recover_calls;
    static u32 recover_rc;
    recover_calls = 0;
    recover_rc = 0;
    g_prop_ops.recover = [](backend_ctx *, u32 flags) -> u32 {
        recover_calls++;
        recover_flags = flags;
        return recover_rc;
    };
    put_double(g_prop_ops.set_value);
    g_double_rc = PROP_E_NOSPACE;
    at_level(1);
    EXPECT_EQ(set_value(), PROP_E_NOSPACE);
    EXPECT_EQ(recover_calls, 1);
    EXPECT_EQ(recover_flags, 0u);
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

    ctx->prop_ctx_zkvctx = nullptr;
    EXPECT_EQ(prop_bkup(ctx, name), PROP_E_NOMEM);
    ctx->prop_ctx_zkvctx = zkv;

    make_zkv(PROP_KIND_ZKV);
    g_double_rc = PROP_E_BKPFILE;  // the file, not the storage: kept, but escalated
    EXPECT_EQ(prop_bkup(ctx, name), PROP_E_BKPFILE);
    EXPECT_EQ(recorded(), PROP_E_BKPFILE);

    at_level(0);
    g_double_rc = PROP_E_NOMEM;
    EXPECT_EQ(prop_bkup(ctx, name), PROP_E_NOMEM);

    at_level(1);
    EXPECT_EXIT(prop_bkup(ctx, name), ExitedWithCode(1), "");
    EXPECT_NE(in_trace("proprseterror: Error in accessing physical storage [26]"), std::string::npos);
}

TEST_F(EscalationTest, ReplaceAndPrecheckAnswersAreNotFailures)
{
    put_double(g_prop_ops.replace_dev);
    put_double(g_prop_ops.prechk_confchange);
    at_level(1);
    for (u32 answer : {0u, 8u, 31u}) {
        g_double_rc = answer;
        EXPECT_EQ(prop_replace_dev(ctx, 1, "/new", 1), answer);
        EXPECT_EQ(recorded(), PROP_OK) << answer;
    }
    g_double_rc = PROP_E_NOCONF;
    EXPECT_EQ(prop_replace_dev(ctx, 1, "/new", 1), PROP_E_NOCONF);
    EXPECT_EQ(recorded(), PROP_E_NOCONF);

    u_reset_error(zkv, nullptr);
    at_level(0);  // the pre-check escalates at every level
    for (u32 answer : {0u, 54u}) {
        g_double_rc = answer;
        EXPECT_EQ(prop_prechk_confchange(ctx, 1, "/new"), answer);
        EXPECT_EQ(recorded(), PROP_OK) << answer;
    }
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
    EXPECT_NE(in_trace("propr_autorepair_conf: Either auto repair is not possible OR the devices published by "
                       "Cache Writer matches the local configuration."),
              std::string::npos);
}

}  // namespace

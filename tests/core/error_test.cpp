#include <cstring>
#include <string>
#include <thread>

#include "core/error.h"
#include "meta_fixture.h"
#include "platform/thread.h"

namespace {

class ErrorTest : public ZkvTest {
  protected:
    prop_errelem *mine()
    {
        prop_errelem *e = nullptr;
        u_get_error(zkv, nullptr, &e);
        return e;
    }
};

TEST_F(ErrorTest, CodesAndTextsGoToTheCallersElementAndTheCodeToTheGlobal)
{
    u_set_zkv_error(zkv, nullptr, PROP_E_STORAGE);
    prop_errelem *e = mine();
    ASSERT_NE(e, nullptr);
    EXPECT_NE(e, zkv->errtab.global);
    EXPECT_EQ(e->code, PROP_E_STORAGE);
    EXPECT_STREQ(e->text, "PROP-26: The physical storage cannot be accessed.");
    EXPECT_EQ(zkv->errtab.global->code, PROP_E_STORAGE);

    u_reset_error(zkv, nullptr);
    EXPECT_EQ(e->code, PROP_OK);
    EXPECT_STREQ(e->text, "");
    EXPECT_EQ(prop_fe_zkvctx_error_count(zkv), 1u);

    // Component messages come from the catalogue; 108 is a free text whose
    // format characters are not interpreted.
    u_set_comp_error(zkv, nullptr, PROP_COMPMSG_OSERR, 2, PROP_COMPTYPE_OS, "No such file");
    e = mine();
    EXPECT_STREQ(e->comp_text, "Operating system error 2 (category 25): No such file");

    u_set_comp_error(zkv, nullptr, PROP_COMPMSG_FREE, 0, 0, "volume [%s] at 100%d");
    EXPECT_STREQ(e->comp_text, "volume [%s] at 100%d");

    // The error buffer takes the text within its size.
    char buf[12];
    std::memset(buf, 'x', sizeof buf);
    u_fill_errorbuf(zkv, buf, sizeof buf, PROP_E_NOSPACE);
    EXPECT_STREQ(buf, "PROP-36: No");
}

TEST_F(ErrorTest, TwoThreadsEachSeeTheirOwnElement)
{
    prop_errelem *seen[2] = {};
    u32 codes[2] = {};
    auto worker = [&](int i, u32 code) {
        u_set_zkv_error(zkv, nullptr, code);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the other thread write
        seen[i] = mine();
        codes[i] = seen[i]->code;
    };
    std::thread a(worker, 0, PROP_E_PERM), b(worker, 1, PROP_E_NOMEM);
    a.join();
    b.join();
    EXPECT_NE(seen[0], seen[1]);
    EXPECT_EQ(codes[0], PROP_E_PERM);
    EXPECT_EQ(codes[1], PROP_E_NOMEM);
    EXPECT_EQ(prop_fe_zkvctx_error_count(zkv), 2u);
}

TEST_F(ErrorTest, WithoutAThreadIdOrMemoryTheGlobalElementIsShared)
{
    plat_thread_id_withhold(true);
    u_set_zkv_error(zkv, nullptr, PROP_E_ARG);
    plat_thread_id_withhold(false);
    EXPECT_EQ(zkv->errtab.global->code, PROP_E_ARG);

    // The key copy fails: the element is not inserted and nothing leaks.
    prop_fe_meta_fail_from(meta, 1);
    u_set_zkv_error(zkv, "thread-a", PROP_E_NULL);
    // The key copy succeeds, the element fails: the key is given back.
    prop_fe_meta_fail_from(meta, 2);
    u_set_zkv_error(zkv, "thread-b", PROP_E_FORMAT);
    prop_fe_meta_fail_from(meta, 0);
    EXPECT_EQ(prop_fe_zkvctx_error_count(zkv), 0u);
    EXPECT_EQ(zkv->errtab.global->code, PROP_E_FORMAT);
}

}  // namespace

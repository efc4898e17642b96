#include <cstring>
#include <regex>
#include <string>

#include "core/zkvctx.h"
#include "meta_fixture.h"

namespace {

using ZkvCtxTest = ZkvTest;

TEST_F(ZkvCtxTest, ValidationRefusesEveryMissingPiece)
{
    EXPECT_EQ(u_validate_zkv_ctx(zkv), 1u);
    void (*spoilers[])(przkv_ctx *) = {
        [](przkv_ctx *z) { z->tag[7] = 'Y'; },
        [](przkv_ctx *z) { z->metactx = nullptr; },
        [](przkv_ctx *z) { z->secctx = nullptr; },
        [](przkv_ctx *z) { z->secctx->clsctx = nullptr; },
    };
    for (auto spoil : spoilers) {
        przkv_ctx saved = *zkv;
        spoil(zkv);
        EXPECT_EQ(u_validate_zkv_ctx(zkv), 0u);
        *zkv = saved;
        sec->clsctx = cls;
    }
    EXPECT_EQ(u_validate_zkv_ctx(nullptr), 0u);
}

TEST_F(ZkvCtxTest, OperationLogLinesReachTheCallingThreadsListOnly)
{
    prou_add_list_log_ext(zkv, nullptr, 4, "before any list %d", 1);  // no list: trace only

    prop_oplog_list *list = prop_fe_oplog_attach(zkv);
    ASSERT_NE(list, nullptr);
    prou_add_list_log_ext(zkv, nullptr, 4, "propriow: writing to ZKV device[%d] %d", 1, 25);
    prou_add_list_log_ext(zkv, nullptr, 4, "propriow: Completed writing to ZKV device[%d] [%s]", 1, "/a");
    ASSERT_NE(list->head, nullptr);
    ASSERT_EQ(list->head->next, list->tail);
    std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: propriow: writing to ZKV device\[1\] 25)");
    EXPECT_TRUE(std::regex_match(list->head->line, stamped)) << list->head->line;
    EXPECT_NE(std::strstr(list->tail->line, "Completed writing to ZKV device[1] [/a]"), nullptr);

    list->anchor = PROP_OPLOG_OFF;  // switched off: nothing more is kept
    prou_add_list_log_ext(zkv, nullptr, 4, "dropped");
    EXPECT_EQ(list->head->next, list->tail);
    EXPECT_EQ(list->tail->next, nullptr);

    list->anchor = 0;  // a line that finds no memory is dropped
    prop_fe_meta_fail_from(meta, 1);
    prou_add_list_log_ext(zkv, nullptr, 4, "no memory");
    prop_fe_meta_fail_from(meta, 0);
    EXPECT_EQ(list->tail->next, nullptr);
    prop_fe_oplog_detach(zkv);
}

}  // namespace

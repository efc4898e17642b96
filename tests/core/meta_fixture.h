// Counting meta and front-end contexts for the tests of this folder.
#pragma once

#include <gtest/gtest.h>

#include "propreg/frontend.h"

class MetaTest : public ::testing::Test {
  protected:
    void SetUp() override { meta = prop_fe_meta_create(); }
    // Whatever a test's calls took from the meta context is given back.
    void TearDown() override
    {
        EXPECT_EQ(live(), 0u) << "blocks leaked";
        prop_fe_meta_fail_from(meta, 0);
        prop_fe_meta_destroy(meta);
    }
    uint64_t live() const { return prop_fe_meta_live_blocks(meta); }

    prop_metactx *meta = nullptr;
};

// A valid front-end context over the counting meta context; everything the
// library inserted into it is given back when it is destroyed.
class ZkvTest : public MetaTest {
  protected:
    void SetUp() override
    {
        MetaTest::SetUp();
        cls = prop_fe_clsctx_create("node1");
        sec = prop_fe_secctx_create("alice", "staff", cls);
        zkv = prop_fe_zkvctx_create(meta, sec, nullptr);
        ASSERT_NE(zkv, nullptr);
    }
    void TearDown() override
    {
        prop_fe_zkvctx_destroy(zkv);
        prop_fe_secctx_destroy(sec);
        prop_fe_clsctx_destroy(cls);
        MetaTest::TearDown();
    }

    prop_clsctx *cls = nullptr;
    prop_secctx *sec = nullptr;
    przkv_ctx *zkv = nullptr;
};

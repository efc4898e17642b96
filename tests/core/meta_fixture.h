// A counting meta context for the tests of this folder.
#pragma once

#include <gtest/gtest.h>

#include "propreg/frontend.h"

class MetaTest : public ::testing::Test {
  protected:
    void SetUp() override { meta = prop_fe_meta_create(); }
    void TearDown() override
    {
        prop_fe_meta_fail_from(meta, 0);
        prop_fe_meta_destroy(meta);
    }
    uint64_t live() const { return prop_fe_meta_live_blocks(meta); }

    prop_metactx *meta = nullptr;
};

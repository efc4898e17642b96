// The set of pages a transaction has saved: it must answer exactly, page 0
// (the root) included, across its growth and after being emptied.
#include <gtest/gtest.h>

#include "propreg/frontend.h"
#include "space/pageset.h"

namespace {

TEST(PageSet, HoldsExactlyWhatWasAddedThroughGrowthAndClearing)
{
    prop_metactx *meta = prop_fe_meta_create();
    propr_pageset set{};
    EXPECT_FALSE(propr_pageset_has(&set, 0));
    // Multiples of a power of two crowd the same slots.
    for (u32 i = 0; i < 5000; i++) ASSERT_EQ(propr_pageset_add(meta, &set, i * 1024), PROP_OK);
    ASSERT_EQ(propr_pageset_add(meta, &set, 1024), PROP_OK);  // again: still one
    EXPECT_EQ(set.count, 5000u);
    for (u32 i = 0; i < 5000; i++) {
        EXPECT_TRUE(propr_pageset_has(&set, i * 1024)) << i;
        EXPECT_FALSE(propr_pageset_has(&set, i * 1024 + 1)) << i;
    }
    propr_pageset_clear(&set);
    EXPECT_FALSE(propr_pageset_has(&set, 0));
    EXPECT_FALSE(propr_pageset_has(&set, 2048));
    ASSERT_EQ(propr_pageset_add(meta, &set, 7), PROP_OK);
    EXPECT_TRUE(propr_pageset_has(&set, 7));
    // Memory that runs out leaves the set as it was.
    prop_fe_meta_fail_from(meta, 1);
    for (u32 p = 100; p < 100 + set.capacity; p++)
        if (propr_pageset_add(meta, &set, p) != PROP_OK) break;
    prop_fe_meta_fail_from(meta, 0);
    for (u32 p = 100; p < 100 + set.count - 1; p++) EXPECT_TRUE(propr_pageset_has(&set, p));
    propr_pageset_free(meta, &set);
    EXPECT_EQ(prop_fe_meta_live_blocks(meta), 0u);
    prop_fe_meta_destroy(meta);
}

}  // namespace

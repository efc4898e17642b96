// Memory: every allocation failure leaves the cache as it was and leaks
// nothing; lookups and the end of a batch take no memory at all, so a
// commit or rollback cannot fail half-way; a batch left open is freed by
// terminate.
#include <string>

#include "cache_fixture.h"

namespace {

TEST_F(CacheTest, InsertFailsCleanlyAtEveryAllocation)
{
    // a's child list is full, so listing a new child must grow it.
    for (int i = 0; i < 10; i++) ASSERT_EQ(insert("a.c" + std::to_string(i)), PROP_OK);
    const std::string key = "a.x.y.z.w";
    for (u64 n = 1;; n++) {
        SCOPED_TRACE(n);
        u64 live = prop_fe_meta_live_blocks(meta);
        prop_fe_meta_fail_from(meta, n);
        u32 rc = set(key, 42);
        prop_fe_meta_fail_from(meta, 0);
        if (rc == 0) {
            EXPECT_EQ(addr(key), std::make_pair(0u, 42u));
            EXPECT_EQ(elem("a")->cached_num_subkey, 11u);
            EXPECT_TRUE(lists("a", "a.x"));
            break;
        }
        EXPECT_EQ(rc, PROP_E_NOMEM);
        for (const char *k : {"a.x", "a.x.y", "a.x.y.z", "a.x.y.z.w"}) EXPECT_EQ(addr(k).first, 141u) << k;
        EXPECT_EQ(elem("a")->cached_num_subkey, 10u);
        EXPECT_EQ(prop_fe_meta_live_blocks(meta), live);
    }
}

TEST_F(CacheTest, LookupsDeletesAndBatchEndsNeverAllocate)
{
    ASSERT_EQ(set("a.b.c", 3), PROP_OK);
    ASSERT_EQ(set("a.d", 4, kBatch), PROP_OK);
    u64 allocs = prop_fe_meta_total_allocs(meta);
    u32 a = 0;
    EXPECT_EQ(proprch_get_addr(cache, "a.b.c", &a, 0, 0), PROP_OK);
    EXPECT_EQ(proprch_get_addr(cache, "a.b.q", &a, 0, 0), 141u);
    EXPECT_EQ(set("a.b.c", 5), PROP_OK);
    EXPECT_EQ(del("a.b", 1, kBatch), PROP_OK);
    EXPECT_EQ(proprch_delete_transient(cache, 0), PROP_OK);
    EXPECT_EQ(del("a.b.c", 0), PROP_OK);
    EXPECT_EQ(proprch_make_permanent(cache, 0), PROP_OK);
    EXPECT_EQ(prop_fe_meta_total_allocs(meta), allocs);
    // Left open: the tear-down's terminate frees what the batch holds too.
    ASSERT_EQ(set("w.k", 2, kBatch), PROP_OK);
    ASSERT_EQ(del("a.b", 1, kBatch), PROP_OK);
}

}  // namespace

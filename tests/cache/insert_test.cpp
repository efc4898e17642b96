// Inserting keys and addresses: the chain of ancestors, depth limits, the
// cache switched off, and tables that outgrow their first limits.
#include <string>

#include "cache_fixture.h"

namespace {

std::string deep_name(u32 depth)
{
    std::string s = "k";
    for (u32 i = 1; i < depth; i++) s += ".k";
    return s;
}

TEST_F(CacheTest, DeepInsertCachesEveryAncestorLinkedToItsChild)
{
    ASSERT_EQ(insert("a.b.c"), PROP_OK);
    ASSERT_TRUE(lists("a", "a.b"));
    ASSERT_TRUE(lists("a.b", "a.b.c"));
    EXPECT_EQ(elem("a.b.c")->depth, 3u);

    // A prefix is cached before anyone knows its address.
    EXPECT_EQ(addr("a.b"), std::make_pair(144u, 0u));
    EXPECT_EQ(set("a.b", 77), PROP_OK);
    EXPECT_EQ(addr("a.b"), std::make_pair(0u, 77u));
    EXPECT_EQ(addr("a.b.c").first, 144u);
    EXPECT_EQ(addr("a.c").first, 141u);

    EXPECT_EQ(insert("a.b.c"), 142u);
    EXPECT_EQ(insert("a.b.d"), PROP_OK);  // joins the existing chain
    EXPECT_TRUE(lists("a.b", "a.b.d"));
    EXPECT_EQ(elem("a.b")->cached_num_subkey, 2u);
    EXPECT_EQ(elem("a")->cached_num_subkey, 1u);
}

TEST_F(CacheTest, DepthLimitAndUnusableNames)
{
    std::string d128 = deep_name(128), d129 = deep_name(129);
    const u32 tables = cache->proprch_ctx_hashtable_num;
    EXPECT_EQ(insert(d129), PROP_E_STORAGE);
    EXPECT_EQ(set(d129, 1), PROP_E_STORAGE);
    EXPECT_EQ(cache->proprch_ctx_hashtable_num, tables);  // a refused key makes no tables

    EXPECT_EQ(set(d128, 9), PROP_OK);
    EXPECT_EQ(addr(d128), std::make_pair(0u, 9u));
    EXPECT_EQ(addr(d129).first, 141u);

    // Empty names are errors; a component too long for a hash key is never cached.
    for (const char *bad : {"", "..."}) EXPECT_EQ(insert(bad), PROP_E_STORAGE) << bad;
    EXPECT_EQ(addr("").first, 26u);
    EXPECT_EQ(del("", 1), PROP_E_STORAGE);
    std::string wide = "p." + std::string(300, 'w');
    EXPECT_EQ(insert(wide), PROP_E_STORAGE);
    EXPECT_EQ(addr(wide).first, 141u);
    EXPECT_EQ(elem("p"), nullptr);  // nothing half-made
}

TEST_F(CacheTest, OddSpellingsNeverAnswerForAnotherKey)
{
    ASSERT_EQ(set("a.b", 10), PROP_OK);
    // Empty components are skipped, so these share a.b's hash key but are
    // other names: never a.b's address.
    for (const char *odd : {"a..b", "a.b.", ".a.b"}) EXPECT_EQ(addr(odd).first, 141u) << odd;
    EXPECT_EQ(insert("a..b"), PROP_OK);  // evicts a.b; the walk still ends
    EXPECT_EQ(elem("a..b")->depth, 2u);
    EXPECT_TRUE(lists("a", "a..b"));
    EXPECT_EQ(addr("a.b").first, 141u);
}

TEST_F(CacheTest, CacheIsOffAtTheReadOnlyLevel)
{
    ASSERT_EQ(set("a.b", 3), PROP_OK);
    handle->proprhandle_bootlevel = PROP_LEVEL_READONLY;
    EXPECT_EQ(addr("a.b").first, 141u);
    EXPECT_EQ(insert("c.d"), PROP_E_STORAGE);
    EXPECT_EQ(set("c.d", 4), PROP_E_STORAGE);
    EXPECT_EQ(del("a.b", 1), PROP_E_STORAGE);
    EXPECT_EQ(proprch_make_permanent(cache, 0), PROP_E_STORAGE);
    EXPECT_EQ(proprch_delete_transient(cache, 0), PROP_E_STORAGE);
    handle->proprhandle_bootlevel = PROP_LEVEL_RW;
    EXPECT_EQ(addr("a.b"), std::make_pair(0u, 3u));  // nothing changed meanwhile
    EXPECT_EQ(elem("c"), nullptr);
}

TEST_F(CacheTest, ManyChildrenGrowTheListAndTheTable)
{
    // Enough children that the list and the depth-2 table both grow more
    // than once; every key must still be found where it was filed.
    for (int i = 0; i < 33; i++) ASSERT_EQ(set("p.k" + std::to_string(i), 100 + i), PROP_OK);
    ASSERT_EQ(insert("p.k33"), PROP_OK);
    proprch_hashelement *p = elem("p");
    EXPECT_EQ(p->cached_num_subkey, 34u);  // nothing evicted for size
    for (int i = 0; i < 33; i++) {
        EXPECT_TRUE(lists("p", "p.k" + std::to_string(i))) << i;
        EXPECT_EQ(addr("p.k" + std::to_string(i)), std::make_pair(0u, 100u + i));
    }
    // A freed slot is the next one used.
    ASSERT_EQ(del("p.k3", 0), PROP_OK);
    ASSERT_EQ(del("p.k7", 0), PROP_OK);
    ASSERT_EQ(insert("p.new"), PROP_OK);
    EXPECT_EQ(elem("p.new")->index, 3);
    EXPECT_EQ(p->cached_first_free_subkey, 7u);
    EXPECT_EQ(p->cached_num_subkey, 33u);
}

}  // namespace

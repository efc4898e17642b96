// Deleting keys, in and outside a batch, and how commit and rollback settle
// what a batch made and deleted.
#include "cache_fixture.h"

namespace {

// a.b.c with addresses 1, 2, 3 and an unrelated x.y.
class DeleteTest : public CacheTest {
  protected:
    void SetUp() override
    {
        CacheTest::SetUp();
        ASSERT_EQ(set("a", 1), PROP_OK);
        ASSERT_EQ(set("a.b", 2), PROP_OK);
        ASSERT_EQ(set("a.b.c", 3), PROP_OK);
        ASSERT_EQ(set("x.y", 9), PROP_OK);
    }
    void expect_chain_permanent()
    {
        for (u32 d = 1; d <= 3; d++) {
            std::string k = std::string("a.b.c").substr(0, 2 * d - 1);
            ASSERT_EQ(addr(k), std::make_pair(0u, d)) << k;
            EXPECT_EQ(elem(k)->status, static_cast<u32>(PROPRCH_PERMANENT)) << k;
        }
        EXPECT_TRUE(lists("a", "a.b"));
        EXPECT_TRUE(lists("a.b", "a.b.c"));
    }
    void expect_gone(std::initializer_list<const char *> keys)
    {
        for (const char *k : keys) EXPECT_EQ(addr(k).first, 141u) << k;
    }
};

TEST_F(DeleteTest, OutsideABatchOnlyARecursiveDeleteTakesCachedChildren)
{
    EXPECT_EQ(del("a.b", 0), PROP_E_NOTEMPTY);
    EXPECT_EQ(del("a.b", 0, kBatch), PROP_E_NOTEMPTY);
    expect_chain_permanent();
    EXPECT_EQ(del("a.b.c", 0), PROP_OK);
    EXPECT_EQ(del("a.b", 0), PROP_OK);
    EXPECT_EQ(del("a.b", 0), 141u);

    ASSERT_EQ(set("a.b", 2), PROP_OK);
    ASSERT_EQ(set("a.b.c", 3), PROP_OK);
    ASSERT_EQ(insert("a.b2"), PROP_OK);
    EXPECT_EQ(del("a.b", 1), PROP_OK);
    expect_gone({"a.b", "a.b.c"});
    EXPECT_TRUE(lists("a", "a.b2"));
    EXPECT_EQ(elem("a")->cached_num_subkey, 1u);
    EXPECT_EQ(del("a", 1), PROP_OK);
    expect_gone({"a", "a.b2"});
    EXPECT_EQ(addr("x.y"), std::make_pair(0u, 9u));
}

TEST_F(DeleteTest, DeleteInABatchHoldsUntilCommitOrRollback)
{
    for (bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "commit" : "rollback");
        ASSERT_EQ(del("a", 1, kBatch), PROP_OK);
        expect_gone({"a", "a.b", "a.b.c"});  // the batch's later operations see no key
        if (commit) {
            ASSERT_EQ(proprch_make_permanent(cache, 0), PROP_OK);
            expect_gone({"a", "a.b", "a.b.c"});
        } else {
            ASSERT_EQ(proprch_delete_transient(cache, 0), PROP_OK);
            expect_chain_permanent();
            EXPECT_EQ(elem("a.b")->cached_num_del_trans_subkey, 0u);
        }
    }
    EXPECT_EQ(addr("x.y"), std::make_pair(0u, 9u));
}

TEST_F(DeleteTest, ChildDeletedInTheBatchNoLongerBlocksItsParent)
{
    ASSERT_EQ(del("a.b.c", 0, kBatch), PROP_OK);
    ASSERT_EQ(del("a.b", 0, kBatch), PROP_OK);
    EXPECT_EQ(del("a", 0, kBatch), PROP_OK);

    ASSERT_EQ(proprch_delete_transient(cache, 0), PROP_OK);
    expect_chain_permanent();
    EXPECT_EQ(del("a.b", 0), PROP_E_NOTEMPTY);  // live children count again

    ASSERT_EQ(del("a.b.c", 0, kBatch), PROP_OK);
    ASSERT_EQ(del("a.b", 0, kBatch), PROP_OK);
    ASSERT_EQ(proprch_make_permanent(cache, 0), PROP_OK);
    expect_gone({"a.b", "a.b.c"});
    EXPECT_EQ(del("a", 0), PROP_OK);  // the parent's list stays exact
}

// A key deleted and made again in one batch has a new tnode that holds
// only if the batch commits; a rollback must not leave the new address.
TEST_F(DeleteTest, KeyRecreatedInABatch)
{
    for (bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "commit" : "rollback");
        ASSERT_EQ(del("a.b", 1, kBatch), PROP_OK);
        ASSERT_EQ(set("a.b", 20, kBatch), PROP_OK);
        ASSERT_EQ(set("a.b.z", 21, kBatch), PROP_OK);
        EXPECT_EQ(elem("a")->cached_num_del_trans_subkey, 0u);
        EXPECT_EQ(del("a.b", 0, kBatch), PROP_E_NOTEMPTY);  // a.b.z is live
        if (commit) {
            ASSERT_EQ(proprch_make_permanent(cache, 0), PROP_OK);
            EXPECT_EQ(addr("a.b"), std::make_pair(0u, 20u));
            EXPECT_EQ(addr("a.b.z"), std::make_pair(0u, 21u));
            expect_gone({"a.b.c"});
            EXPECT_EQ(elem("a.b")->cached_num_subkey, 1u);
        } else {
            ASSERT_EQ(proprch_delete_transient(cache, 0), PROP_OK);
            expect_gone({"a.b", "a.b.c", "a.b.z"});  // a miss, never a rolled-back address
            EXPECT_EQ(elem("a")->cached_num_subkey, 0u);
            ASSERT_EQ(set("a.b", 2), PROP_OK);
            ASSERT_EQ(set("a.b.c", 3), PROP_OK);
        }
    }
}

// A key op inserting a.b.w under a subtree deleted in the batch brings the
// deleted ancestors back, so a commit cannot leave a.b.w without a parent.
TEST_F(DeleteTest, InsertUnderADeletedSubtreeRevivesTheAncestors)
{
    ASSERT_EQ(del("a", 1, kBatch), PROP_OK);
    ASSERT_EQ(insert("a.b.w", kBatch), PROP_OK);
    EXPECT_EQ(addr("a.b").first, 144u);  // the old address belongs to the deleted key
    ASSERT_EQ(proprch_make_permanent(cache, 0), PROP_OK);
    expect_gone({"a.b.c"});
    EXPECT_TRUE(lists("a", "a.b"));
    EXPECT_TRUE(lists("a.b", "a.b.w"));
    EXPECT_EQ(elem("a.b")->cached_num_subkey, 1u);
    EXPECT_EQ(del("a", 1), PROP_OK);
    expect_gone({"a", "a.b", "a.b.w"});
}

TEST_F(DeleteTest, AddressMovedInABatchIsDroppedOnRollback)
{
    ASSERT_EQ(set("a.b.c", 30, kBatch), PROP_OK);
    ASSERT_EQ(set("x.y", 9, kBatch), PROP_OK);  // same address: nothing to undo
    ASSERT_EQ(proprch_delete_transient(cache, 0), PROP_OK);
    expect_gone({"a.b.c"});
    EXPECT_EQ(addr("x.y"), std::make_pair(0u, 9u));
    EXPECT_EQ(elem("a.b")->cached_num_subkey, 0u);
}

}  // namespace

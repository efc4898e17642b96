// The ends of a transaction settle the key cache: a commit makes the
// entries of the transaction permanent, a rollback drops them.
#include <gtest/gtest.h>

#include "cache/cache.h"
#include "txn/commit.h"
#include "txn/recover.h"
#include "txn_support.h"

namespace {

u32 status_of(proprch_ctx *cache, const char *name)
{
    proprch_hashelement *element = nullptr;
    u32 rc = proprch_keycached(cache, name, &element, 0);
    return rc == PROP_OK ? element->status : rc;
}

TEST(TransactionCache, CommitKeepsAndRollbackDropsTheEntriesOfTheTransaction)
{
    RawStore store;
    proprhandle *h = store.handle();
    ASSERT_EQ(proprch_init(h, &h->proprhandle_cache), PROP_OK);
    proprch_ctx *cache = h->proprhandle_cache;

    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    ASSERT_EQ(proprch_insert(cache, "top.kept", PROP_FLAG_IN_BATCH), PROP_OK);
    EXPECT_EQ(status_of(cache, "top.kept"), PROPRCH_CREATE_TRANSIENT);
    ASSERT_EQ(proprutfsu(h), PROP_OK);
    EXPECT_EQ(status_of(cache, "top.kept"), PROPRCH_PERMANENT);

    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    ASSERT_EQ(proprch_insert(cache, "top.dropped", PROP_FLAG_IN_BATCH), PROP_OK);
    ASSERT_EQ(proprrecover(store.ctx(), PROPR_RECOVER_HOLDS_LOCK), PROP_OK);
    EXPECT_EQ(status_of(cache, "top.dropped"), PROP_R_NOTCACHED);
    EXPECT_EQ(status_of(cache, "top.kept"), PROPRCH_PERMANENT);

    // With the cache off (read-only level) the rollback reports it.
    h->proprhandle_bootlevel = 2;
    EXPECT_EQ(proprrecover(store.ctx(), 0), PROP_E_STORAGE);
    h->proprhandle_bootlevel = 0;

    ASSERT_EQ(proprch_terminate(cache), PROP_OK);
    h->proprhandle_cache = nullptr;
}

}  // namespace

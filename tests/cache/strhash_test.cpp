// The platform's string-keyed table: long chains, resizing and removal.
// Its memory paths are proven through the key cache.
#include <gtest/gtest.h>

#include <string>

#include "platform/strhash.h"
#include "propreg/frontend.h"

namespace {

// The counting meta context's own heap, without tags.
void *heap_alloc(void *ctx, size_t size)
{
    prop_memmgr *mm = static_cast<prop_metactx *>(ctx)->memmgr;
    return mm->alloc(mm->top_heap, size, "TEST");
}
void heap_free(void *ctx, void *block)
{
    prop_memmgr *mm = static_cast<prop_metactx *>(ctx)->memmgr;
    mm->free(mm->top_heap, block);
}
// Two buckets at most: the chains alone tell keys apart.
u32 weak_hash(const char *key, size_t len)
{
    return static_cast<u32>(len * 31 + static_cast<u8>(key[0])) % 2;
}

const char *kKeys[] = {"alpha", "beta", "gamma", "delta", "alphabet", "alph"};

TEST(Strhash, ChainsResizeAndRemoval)
{
    prop_metactx *meta = prop_fe_meta_create();
    strhash_ops ops{meta, heap_alloc, heap_free, weak_hash, nullptr};
    strhash *t = strhash_create(3, &ops);
    ASSERT_NE(t, nullptr);
    for (const char *k : kKeys) ASSERT_EQ(strhash_insert(t, k, const_cast<char *>(k)), STRHASH_OK);
    std::string copy = "beta";  // equal text at another address
    EXPECT_EQ(strhash_insert(t, copy.c_str(), nullptr), STRHASH_EXISTS);
    EXPECT_EQ(strhash_search(t, "alp"), nullptr);  // prefixes and extensions are other keys
    EXPECT_EQ(strhash_search(t, "alphabets"), nullptr);

    prop_fe_meta_fail_from(meta, 1);
    EXPECT_EQ(strhash_resize(t, 64), STRHASH_NOMEM);
    prop_fe_meta_fail_from(meta, 0);
    EXPECT_EQ(strhash_buckets(t), 3u);
    for (u32 n : {64u, 5u}) {
        ASSERT_EQ(strhash_resize(t, n), STRHASH_OK);
        EXPECT_EQ(strhash_buckets(t), n);
        EXPECT_EQ(strhash_count(t), 6u);
        for (const char *k : kKeys) EXPECT_EQ(strhash_search(t, k), k) << k << " in " << n;
    }

    EXPECT_EQ(strhash_remove(t, "gamma"), kKeys[2]);
    EXPECT_EQ(strhash_remove(t, "gamma"), nullptr);
    EXPECT_EQ(strhash_count(t), 5u);
    EXPECT_EQ(strhash_search(t, "delta"), kKeys[3]);
    strhash_destroy(t);
    EXPECT_EQ(prop_fe_meta_live_blocks(meta), 0u);
    prop_fe_meta_destroy(meta);
}

}  // namespace

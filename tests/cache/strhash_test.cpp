// The platform's string-keyed table: chains, removal while iterating, and
// that every byte comes from and returns to the caller's allocator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/strhash.h"
#include "propreg/frontend.h"

namespace {

struct Heap {
    prop_metactx *meta = prop_fe_meta_create();
    std::vector<std::string> freed;  // elements handed to free_elem
    ~Heap() { prop_fe_meta_destroy(meta); }
};

void *heap_alloc(void *ctx, size_t size)
{
    prop_metactx *meta = static_cast<Heap *>(ctx)->meta;
    return meta->memmgr->alloc(meta->memmgr->top_heap, size, "TEST");
}

void heap_free(void *ctx, void *block)
{
    prop_metactx *meta = static_cast<Heap *>(ctx)->meta;
    meta->memmgr->free(meta->memmgr->top_heap, block);
}

void record_free(void *ctx, void *elem)
{
    static_cast<Heap *>(ctx)->freed.push_back(static_cast<const char *>(elem));
}

// Every key in one bucket: the chain alone tells keys apart.
u32 one_bucket(const char *, size_t)
{
    return 7;
}

const char *kKeys[] = {"alpha", "beta", "gamma", "delta", "alphabet", "alph"};

class StrhashTest : public ::testing::Test {
  protected:
    Heap heap;
    strhash_ops ops{&heap, heap_alloc, heap_free, one_bucket, record_free};
    strhash *t = nullptr;

    void SetUp() override
    {
        t = strhash_create(3, &ops);
        ASSERT_NE(t, nullptr);
        for (const char *k : kKeys) ASSERT_EQ(strhash_insert(t, k, const_cast<char *>(k)), STRHASH_OK);
    }
    void TearDown() override
    {
        strhash_destroy(t);
        EXPECT_EQ(prop_fe_meta_live_blocks(heap.meta), 0u);
    }
};

TEST_F(StrhashTest, ChainedKeysAreFoundExactlyAndDuplicatesRefused)
{
    for (const char *k : kKeys) EXPECT_EQ(strhash_search(t, k), k) << k;
    // Prefixes and extensions of stored keys are different keys.
    EXPECT_EQ(strhash_search(t, "alp"), nullptr);
    EXPECT_EQ(strhash_search(t, "alphabets"), nullptr);
    std::string copy = "beta";  // equal text at another address
    EXPECT_EQ(strhash_insert(t, copy.c_str(), nullptr), STRHASH_EXISTS);
    EXPECT_EQ(strhash_count(t), 6u);

    EXPECT_EQ(strhash_remove(t, "gamma"), kKeys[2]);
    EXPECT_EQ(strhash_remove(t, "gamma"), nullptr);
    EXPECT_EQ(strhash_search(t, "delta"), kKeys[3]);  // the chain is still whole
    EXPECT_EQ(strhash_count(t), 5u);
}

TEST_F(StrhashTest, IterateMayRemoveTheVisitedElement)
{
    struct Arg {
        strhash *t;
        int seen;
    } arg{t, 0};
    strhash_iterate(
        t,
        [](void *a, const char *key, void *) {
            auto *p = static_cast<Arg *>(a);
            p->seen++;
            if (std::strncmp(key, "alph", 4) == 0) strhash_remove(p->t, key);
            return 0;
        },
        &arg);
    EXPECT_EQ(arg.seen, 6);
    EXPECT_EQ(strhash_count(t), 3u);
    EXPECT_EQ(strhash_search(t, "beta"), kKeys[1]);
    EXPECT_EQ(strhash_search(t, "alph"), nullptr);

    int visited = 0;
    strhash_iterate(
        t, [](void *a, const char *, void *) { return ++*static_cast<int *>(a) == 2 ? 1 : 0; }, &visited);
    EXPECT_EQ(visited, 2);  // a non-zero answer stops the walk
}

TEST_F(StrhashTest, DestroyHandsEveryRemainingElementBack)
{
    strhash_remove(t, "beta");
    strhash_destroy(t);
    t = nullptr;
    EXPECT_EQ(heap.freed.size(), 5u);
    EXPECT_EQ(std::count(heap.freed.begin(), heap.freed.end(), "beta"), 0);
}

TEST_F(StrhashTest, ResizeKeepsEveryElement)
{
    ops.hash = [](const char *key, size_t len) { return static_cast<u32>(len * 31 + key[0]); };
    strhash *spread = strhash_create(2, &ops);
    for (const char *k : kKeys) ASSERT_EQ(strhash_insert(spread, k, const_cast<char *>(k)), STRHASH_OK);
    prop_fe_meta_fail_from(heap.meta, 1);
    EXPECT_EQ(strhash_resize(spread, 64), STRHASH_NOMEM);
    prop_fe_meta_fail_from(heap.meta, 0);
    EXPECT_EQ(strhash_buckets(spread), 2u);
    for (u32 n : {64u, 5u}) {
        ASSERT_EQ(strhash_resize(spread, n), STRHASH_OK);
        EXPECT_EQ(strhash_buckets(spread), n);
        EXPECT_EQ(strhash_count(spread), 6u);
        for (const char *k : kKeys) EXPECT_EQ(strhash_search(spread, k), k) << k << " in " << n;
    }
    EXPECT_EQ(strhash_remove(spread, "delta"), kKeys[3]);
    EXPECT_EQ(strhash_search(spread, "alph"), kKeys[5]);
    strhash_destroy(spread);
}

TEST(Strhash, OutOfMemoryLeavesTheTableUnchanged)
{
    Heap heap;
    strhash_ops ops{&heap, heap_alloc, heap_free, one_bucket, nullptr};
    prop_fe_meta_fail_from(heap.meta, 2);  // the table, not its buckets
    EXPECT_EQ(strhash_create(4, &ops), nullptr);
    EXPECT_EQ(prop_fe_meta_live_blocks(heap.meta), 0u);
    prop_fe_meta_fail_from(heap.meta, 0);

    strhash *t = strhash_create(4, &ops);
    ASSERT_NE(t, nullptr);
    prop_fe_meta_fail_from(heap.meta, 1);
    EXPECT_EQ(strhash_insert(t, "k", nullptr), STRHASH_NOMEM);
    prop_fe_meta_fail_from(heap.meta, 0);
    EXPECT_EQ(strhash_count(t), 0u);
    EXPECT_EQ(strhash_search(t, "k"), nullptr);
    strhash_destroy(t);
    EXPECT_EQ(prop_fe_meta_live_blocks(heap.meta), 0u);
}

}  // namespace

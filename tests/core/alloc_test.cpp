#include <cstring>

#include "core/alloc.h"
#include "core/tag.h"
#include "meta_fixture.h"

namespace {

using AllocTest = MetaTest;

TEST_F(AllocTest, BrokenTagsLeakTheBlockRatherThanFreeIt)
{
    auto *end_broken = static_cast<char *>(u_allocm(meta, 1));
    end_broken[8] = 0;  // the end tag lies 8 bytes after a 1-byte area
    u_freem(meta, end_broken);
    EXPECT_EQ(live(), 1u);

    auto *begin_broken = static_cast<char *>(u_allocm(meta, 16));
    begin_broken[-16] = 0;
    u_freem(meta, begin_broken);
    EXPECT_EQ(live(), 2u);

    // Repair the tags so the fixture's heap can be checked clean.
    u64 end = PROU_END_MEMTAG, begin = PROU_BEGIN_MEMTAG;
    std::memcpy(end_broken + 8, &end, 8);
    std::memcpy(begin_broken - 16, &begin, 8);
    u_freem(meta, end_broken);
    u_freem(meta, begin_broken);
}

// What a failing meta context gives is seen by every leak test.
TEST_F(AllocTest, FailuresReturnNull)
{
    EXPECT_EQ(u_allocm(meta, SIZE_MAX - 8), nullptr);  // the block size would wrap
    EXPECT_EQ(u_alloc_array<u64>(meta, SIZE_MAX / 4), nullptr);
    EXPECT_EQ(u_allocm(nullptr, 10), nullptr);
    prop_metactx no_manager{};
    EXPECT_EQ(u_allocm(&no_manager, 10), nullptr);
    u_freem(meta, nullptr);
    u_freem(nullptr, nullptr);
}

TEST_F(AllocTest, MetaPtrGivesBackUnlessReleased)
{
    u64 *kept = nullptr;
    {
        auto a = MetaPtr<u64>::alloc(meta, 4);
        auto b = MetaPtr<u64>::alloc(meta);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a[3], 0u);  // zero-filled
        b = std::move(a);     // b's first block goes back here
        EXPECT_EQ(live(), 1u);
        auto c = MetaPtr<u64>::alloc(meta);
        kept = c.release();
    }
    EXPECT_EQ(live(), 1u);
    u_freem(meta, kept);
}

// The counting heap is how every leak test sees a leak: its counts must
// follow blocks exactly, and a block it did not give out must stop the run.
TEST_F(AllocTest, CountingHeapCountsExactlyAndRefusesForeignBlocks)
{
    prop_memmgr *mm = meta->memmgr;
    void *a = mm->alloc(mm->top_heap, 100, "T");
    void *b = mm->alloc(mm->top_heap, 28, "T");
    ASSERT_TRUE(a != nullptr && b != nullptr);
    EXPECT_EQ(prop_fe_meta_live_bytes(meta), 128u);
    mm->free(mm->top_heap, a);
    EXPECT_EQ(live(), 1u);
    EXPECT_EQ(prop_fe_meta_live_bytes(meta), 28u);

    prop_metactx *other = prop_fe_meta_create();
    EXPECT_DEATH(other->memmgr->free(other->memmgr->top_heap, b), "");
    prop_fe_meta_destroy(other);
    mm->free(mm->top_heap, b);
    EXPECT_DEATH(mm->free(mm->top_heap, b), "");  // freed twice
}

TEST(TagTest, ComparesAllEightBytes)
{
    char record[16] = {};
    u_set_tag(record, "PROPCTXT");
    EXPECT_EQ(record[8], '\0');
    EXPECT_EQ(u_check_tag(record, "PROPCTXT"), 1u);
    record[7] = 'x';  // the last byte counts too
    EXPECT_EQ(u_check_tag(record, "PROPCTXT"), 0u);
    EXPECT_EQ(u_check_tag(nullptr, "PROPCTXT"), 0u);
}

}  // namespace

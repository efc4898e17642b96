#include <cstring>

#include "core/alloc.h"
#include "core/tag.h"
#include "meta_fixture.h"
#include "platform/trace.h"

namespace {

using AllocTest = MetaTest;

u64 word_at(const void *p, ptrdiff_t off)
{
    u64 w;
    std::memcpy(&w, static_cast<const char *>(p) + off, 8);
    return w;
}

TEST_F(AllocTest, BlockLayoutCarriesSizeAndBothTags)
{
    struct Case {
        size_t request;
        size_t block;  // bytes taken from the memory manager
    } cases[] = {{1, 32}, {8, 32}, {9, 40}, {4096, 4120}, {0, 24}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request);
        u64 bytes_before = prop_fe_meta_live_bytes(meta);
        void *area = u_allocm(meta, c.request);
        ASSERT_NE(area, nullptr);
        EXPECT_EQ(prop_fe_meta_live_bytes(meta) - bytes_before, c.block);
        EXPECT_EQ(word_at(area, -16), PROU_BEGIN_MEMTAG);
        EXPECT_EQ(word_at(area, -8), c.request);
        EXPECT_EQ(word_at(area, static_cast<ptrdiff_t>(c.block - 24)), PROU_END_MEMTAG);
        u_freem(meta, area);
    }
    EXPECT_EQ(live(), 0u);
}

TEST_F(AllocTest, BrokenTagsLeakTheBlockRatherThanFreeIt)
{
    trace_capture_start();
    auto *end_broken = static_cast<char *>(u_allocm(meta, 1));
    end_broken[8] = 0;  // the end tag lies 8 bytes after a 1-byte area
    u_freem(meta, end_broken);
    EXPECT_TRUE(trace_captured_contains("u_freem: INVALID PROU_END_MEMTAG for memory"));
    EXPECT_EQ(live(), 1u);

    auto *begin_broken = static_cast<char *>(u_allocm(meta, 16));
    begin_broken[-16] = 0;
    u_freem(meta, begin_broken);
    EXPECT_TRUE(trace_captured_contains("u_freem: INVALID PROU_BEGIN_MEMTAG for memory"));
    EXPECT_EQ(live(), 2u);
    trace_capture_stop();

    // Repair the tags so the fixture's heap can be checked clean.
    u64 end = PROU_END_MEMTAG, begin = PROU_BEGIN_MEMTAG;
    std::memcpy(end_broken + 8, &end, 8);
    std::memcpy(begin_broken - 16, &begin, 8);
    u_freem(meta, end_broken);
    u_freem(meta, begin_broken);
    EXPECT_EQ(live(), 0u);
}

TEST_F(AllocTest, FailuresReturnNull)
{
    prop_fe_meta_fail_from(meta, 1);
    EXPECT_EQ(u_allocm(meta, 10), nullptr);
    prop_fe_meta_fail_from(meta, 0);
    EXPECT_EQ(u_allocm(meta, SIZE_MAX - 8), nullptr);  // the block size would wrap
    EXPECT_EQ(u_alloc_array<u64>(meta, SIZE_MAX / 4), nullptr);
    EXPECT_EQ(u_allocm(nullptr, 10), nullptr);
    prop_metactx no_manager{};
    EXPECT_EQ(u_allocm(&no_manager, 10), nullptr);
    u_freem(meta, nullptr);
    u_freem(nullptr, nullptr);
    EXPECT_EQ(live(), 0u);
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
    EXPECT_EQ(live(), 0u);
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

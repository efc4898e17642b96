// The slotted page under child-key entries, on plain buffers.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>

#include "format/cursor.h"
#include "tree/slotted.h"

namespace {

struct Area {
    std::array<u8, PROP_PAGE_SIZE> buf{};
    u32 start;
    explicit Area(u32 s) : start(s) { kce_area_init(buf.data(), start); }

    u32 insert(const std::string &name, u32 child, kce_hit *hit = nullptr)
    {
        return proprutikcesp(buf.data(), start, name.data(), static_cast<u32>(name.size()), 0x1A5, child,
                             hit);
    }
    u32 find(const std::string &name, kce_hit *hit)
    {
        return proprutmkceb(buf.data(), start, name.data(), static_cast<u32>(name.size()), hit);
    }
    u32 remove(const std::string &name)
    {
        kce_hit hit{};
        u32 rc = find(name, &hit);
        return rc == PROP_R_FOUND ? proprutdkcesp(buf.data(), start, hit) : rc;
    }
    kce_area header() const { return kce_area_read(buf.data(), start); }
};

// Every entry of the model found with its child; entries packed against
// 4096 and the gap between slots and entries all zero.
void expect_consistent(Area &a, const std::map<std::string, u32> &model)
{
    u32 bytes = 0;
    for (const auto &[name, child] : model) {
        kce_hit hit{};
        ASSERT_EQ(a.find(name, &hit), PROP_R_FOUND) << name;
        EXPECT_EQ(hit.child, child) << name;
        bytes += hit.size;
    }
    kce_area h = a.header();
    EXPECT_EQ(h.end_free_space, PROP_PAGE_SIZE - bytes);
    u32 slots_end = a.start + KCE_AREA_HEADER + KCE_SLOT_SIZE * h.num_entry;
    EXPECT_EQ(h.end_free_space - slots_end, h.free_space_size - KCE_AREA_HEADER);
    for (u32 i = slots_end; i < h.end_free_space; i++) ASSERT_EQ(a.buf[i], 0) << "byte " << i;
}

TEST(SlottedPage, NamesCompareWhole)
{
    Area a(KCE_TNODE_START);
    kce_hit hit{};
    ASSERT_EQ(a.insert("SYSTEM", 77, &hit), PROP_OK);
    ASSERT_EQ(a.insert("", 2), PROP_OK);  // stored, never found
    for (const char *miss : {"SYSTEMS", "SYSTE", "system", ""})
        EXPECT_EQ(a.find(miss, &hit), PROP_R_NOTFOUND) << "'" << miss << "'";
    u32 byte = 0, child = 0;
    EXPECT_EQ(proprutfkcesp(a.buf.data(), a.start, "SYSTEMX", 6, &byte, &child), PROP_R_FOUND);
    EXPECT_EQ(byte, 0xA5u);
    EXPECT_EQ(child, 77u);
}

TEST(SlottedPage, DeletingInTheMiddleShiftsTheOthers)
{
    Area a(KCE_TNODE_START);
    std::map<std::string, u32> model;
    auto name = [](u32 i) { return "key" + std::to_string(i) + std::string(i % 5, 'x'); };
    for (u32 i = 0; i < 20; i++) {
        ASSERT_EQ(a.insert(name(i), 100 + i), PROP_OK);
        model[name(i)] = 100 + i;
    }
    for (u32 i : {7u, 8u, 13u, 0u, 19u}) {
        ASSERT_EQ(a.remove(name(i)), 0u);
        model.erase(name(i));
        expect_consistent(a, model);
    }
    EXPECT_EQ(a.header().num_entry, 20u);  // deleted slots stay
}

TEST(SlottedPage, DeletedSlotIsReusedBeforeTheArrayGrows)
{
    Area a(KCE_PAGE_START);
    for (const char *n : {"one", "two", "three", "four"}) ASSERT_EQ(a.insert(n, 1), PROP_OK);
    ASSERT_EQ(a.remove("two"), 0u);
    ASSERT_EQ(a.remove("four"), 0u);
    kce_hit hit{};
    ASSERT_EQ(a.insert("fiver", 5, &hit), PROP_OK);
    EXPECT_EQ(hit.slot, 1u);  // the first deleted slot
    ASSERT_EQ(a.insert("six", 6, &hit), PROP_OK);
    EXPECT_EQ(hit.slot, 3u);
    ASSERT_EQ(a.insert("seven", 7, &hit), PROP_OK);
    EXPECT_EQ(hit.slot, 4u);
    expect_consistent(a, {{"one", 1}, {"three", 1}, {"fiver", 5}, {"six", 6}, {"seven", 7}});
}

TEST(SlottedPage, ExactFitTakenByTheTnodeAreaOnly)
{
    for (u32 start : {KCE_TNODE_START, KCE_PAGE_START}) {
        Area a(start);
        while (a.header().free_space_size > 200) ASSERT_EQ(a.insert("filler-name-0123456789", 1), PROP_OK);
        u32 exact = a.header().free_space_size - KCE_ROOM_MARGIN;
        if (start == KCE_TNODE_START) {
            EXPECT_TRUE(kce_fits_tnode(a.buf.data(), exact));
            EXPECT_FALSE(kce_fits_tnode(a.buf.data(), exact + 1));
        } else {
            EXPECT_FALSE(kce_fits_page(a.buf.data(), exact));
            EXPECT_TRUE(kce_fits_page(a.buf.data(), exact - 1));
        }
        // The exact entry leaves no gap at all.
        ASSERT_EQ(a.insert(std::string(exact - KCE_ENTRY_EXTRA, 'n'), 9), PROP_OK);
        EXPECT_EQ(a.header().free_space_size, KCE_AREA_HEADER);
        EXPECT_EQ(a.insert("z", 1), PROP_E_NOSPACE);
    }
}

TEST(SlottedPage, CorruptAreasAreRefused)
{
    Area a(KCE_PAGE_START);
    kce_hit hit{};
    ASSERT_EQ(a.insert("abc", 1, &hit), PROP_OK);
    ASSERT_EQ(proprutdkcesp(a.buf.data(), a.start, hit), PROP_OK);
    EXPECT_EQ(proprutdkcesp(a.buf.data(), a.start, hit), PROP_E_STORAGE);  // stale hit
    be32_put(a.buf.data(), KCE_PAGE_START + 12, 200);                      // an entry past the block
    be32_put(a.buf.data(), KCE_PAGE_START + 16, 4000);
    kce_area_write(a.buf.data(), a.start, {1, 100, 4000});
    EXPECT_EQ(a.find("x", &hit), PROP_E_STORAGE);
    kce_area_write(a.buf.data(), a.start, {600, 100, 4096});  // slots past the block
    EXPECT_EQ(a.find("x", &hit), PROP_E_STORAGE);
    EXPECT_EQ(a.insert("x", 1), PROP_E_STORAGE);
}

}  // namespace

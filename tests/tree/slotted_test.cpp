// The slotted page under child-key entries, on plain buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <string>

#include "format/cursor.h"
#include "tree/slotted.h"

namespace {

using Block = std::array<u8, PROP_PAGE_SIZE>;

struct Area {
    Block buf{};
    u32 start;
    explicit Area(u32 s) : start(s) { kce_area_init(buf.data(), start); }

    u32 insert(const std::string &name, u32 child, u32 entry_byte = 0, kce_hit *hit = nullptr)
    {
        return proprutikcesp(buf.data(), start, name.data(), static_cast<u32>(name.size()),
                             entry_byte, child, hit);
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

// Every live entry found by name with its child; the header consistent
// with the slots (gap = free_space_size - 12, entries packed against 4096).
void expect_consistent(Area &a, const std::map<std::string, u32> &model)
{
    for (const auto &[name, child] : model) {
        kce_hit hit{};
        ASSERT_EQ(a.find(name, &hit), PROP_R_FOUND) << name;
        EXPECT_EQ(hit.child, child) << name;
    }
    u32 live_bytes = 0, live = 0;
    ASSERT_EQ(kce_for_each(a.buf.data(), a.start, [&](const kce_hit &h) {
                  live_bytes += h.size;
                  live++;
                  return true;
              }),
              0u);
    kce_area h = a.header();
    EXPECT_EQ(live, model.size());
    EXPECT_EQ(h.end_free_space, PROP_PAGE_SIZE - live_bytes);
    u32 slots_end = a.start + KCE_AREA_HEADER + KCE_SLOT_SIZE * h.num_entry;
    EXPECT_EQ(h.end_free_space - slots_end, h.free_space_size - KCE_AREA_HEADER);
    // The gap holds nothing.
    for (u32 i = slots_end; i < h.end_free_space; i++) ASSERT_EQ(a.buf[i], 0) << "byte " << i;
}

TEST(SlottedPage, EntryLayoutAndHeader)
{
    Area a(KCE_TNODE_START);
    kce_hit hit{};
    ASSERT_EQ(a.insert("SYSTEM", 77, 0x1A5, &hit), 0u);
    // Entry: name, low byte of the entry word, child page big-endian.
    EXPECT_EQ(hit.loc, PROP_PAGE_SIZE - 11);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&a.buf[hit.loc]), 6), "SYSTEM");
    EXPECT_EQ(a.buf[hit.loc + 6], 0xA5);
    EXPECT_EQ(be32_at(a.buf.data(), static_cast<i32>(hit.loc + 7)), 77u);
    kce_area h = a.header();
    EXPECT_EQ(h.num_entry, 1u);
    EXPECT_EQ(h.free_space_size, 3514u - 11 - 8);
    EXPECT_EQ(h.end_free_space, PROP_PAGE_SIZE - 11);
    EXPECT_EQ(be32_at(a.buf.data(), KCE_TNODE_START + 12), 11u);
    EXPECT_EQ(be32_at(a.buf.data(), KCE_TNODE_START + 16), PROP_PAGE_SIZE - 11);

    u32 byte = 0, child = 0;
    EXPECT_EQ(proprutfkcesp(a.buf.data(), a.start, "SYSTEM", 6, &byte, &child), PROP_R_FOUND);
    EXPECT_EQ(byte, 0xA5u);
    EXPECT_EQ(child, 77u);
}

TEST(SlottedPage, NamesCompareByLengthAndBytes)
{
    Area a(KCE_PAGE_START);
    ASSERT_EQ(a.insert("ab", 1), 0u);
    ASSERT_EQ(a.insert("", 2), 0u);  // an empty name is stored but never found
    kce_hit hit{};
    for (const char *miss : {"abc", "AB", "a", "", "ab "})
        EXPECT_EQ(a.find(miss, &hit), PROP_R_NOTFOUND) << "'" << miss << "'";
    EXPECT_EQ(a.find("ab", &hit), PROP_R_FOUND);
    EXPECT_EQ(hit.child, 1u);
    // Bytes after the name length are not part of the name.
    EXPECT_EQ(proprutmkceb(a.buf.data(), a.start, "abX", 2, &hit), PROP_R_FOUND);
}

TEST(SlottedPage, DeletingInTheMiddleShiftsTheOthers)
{
    Area a(KCE_TNODE_START);
    std::map<std::string, u32> model;
    for (u32 i = 0; i < 20; i++) {
        std::string name = "key" + std::to_string(i) + std::string(i % 5, 'x');
        ASSERT_EQ(a.insert(name, 100 + i), 0u);
        model[name] = 100 + i;
    }
    for (u32 i : {7u, 8u, 13u, 0u, 19u}) {
        std::string name = "key" + std::to_string(i) + std::string(i % 5, 'x');
        ASSERT_EQ(a.remove(name), 0u);
        model.erase(name);
        kce_hit hit{};
        EXPECT_EQ(a.find(name, &hit), PROP_R_NOTFOUND);
        expect_consistent(a, model);
    }
    EXPECT_EQ(a.header().num_entry, 20u);  // deleted slots stay
}

TEST(SlottedPage, DeletedSlotIsReusedBeforeTheArrayGrows)
{
    Area a(KCE_PAGE_START);
    for (const char *n : {"one", "two", "three", "four"}) ASSERT_EQ(a.insert(n, 1), 0u);
    ASSERT_EQ(a.remove("two"), 0u);
    ASSERT_EQ(a.remove("four"), 0u);
    kce_area before = a.header();
    kce_hit hit{};
    ASSERT_EQ(a.insert("fiver", 5, 0, &hit), 0u);
    EXPECT_EQ(hit.slot, 1u);  // the first deleted slot, not the last
    kce_area after = a.header();
    EXPECT_EQ(after.num_entry, before.num_entry);
    EXPECT_EQ(after.free_space_size, before.free_space_size - 10);
    ASSERT_EQ(a.insert("six", 6, 0, &hit), 0u);
    EXPECT_EQ(hit.slot, 3u);
    ASSERT_EQ(a.insert("seven", 7, 0, &hit), 0u);
    EXPECT_EQ(hit.slot, 4u);
    EXPECT_EQ(a.header().num_entry, 5u);
    expect_consistent(a, {{"one", 1}, {"three", 1}, {"fiver", 5}, {"six", 6}, {"seven", 7}});
}

TEST(SlottedPage, RoomChecksDifferByOneByte)
{
    for (u32 start : {KCE_TNODE_START, KCE_PAGE_START}) {
        Area a(start);
        // Fill until an entry of exactly free_space_size - 20 is left to place.
        while (a.header().free_space_size > 200) ASSERT_EQ(a.insert("filler-name-0123456789", 1), 0u);
        u32 exact = a.header().free_space_size - KCE_ROOM_MARGIN;
        if (start == KCE_TNODE_START) {
            EXPECT_TRUE(kce_fits_tnode(a.buf.data(), exact));
            EXPECT_FALSE(kce_fits_tnode(a.buf.data(), exact + 1));
        } else {
            EXPECT_FALSE(kce_fits_page(a.buf.data(), exact));
            EXPECT_TRUE(kce_fits_page(a.buf.data(), exact - 1));
        }
        // The exact entry does fit physically: it leaves no gap at all.
        std::string name(exact - KCE_ENTRY_EXTRA, 'n');
        ASSERT_EQ(a.insert(name, 9), 0u);
        kce_area h = a.header();
        EXPECT_EQ(h.free_space_size, KCE_AREA_HEADER);
        EXPECT_EQ(h.end_free_space, start + KCE_AREA_HEADER + KCE_SLOT_SIZE * h.num_entry);
        EXPECT_EQ(a.insert("z", 1), PROP_E_NOSPACE);
    }
    // A free space below the margin never underflows into a "fits".
    Area tight(KCE_PAGE_START);
    kce_area_write(tight.buf.data(), KCE_PAGE_START, {0, 10, PROP_PAGE_SIZE});
    EXPECT_FALSE(kce_fits_page(tight.buf.data(), 5));
}

TEST(SlottedPage, RandomChurnKeepsEveryEntryReachable)
{
    std::mt19937 rng(42);
    Area a(KCE_TNODE_START);
    std::map<std::string, u32> model;
    for (int step = 0; step < 3000; step++) {
        bool add = model.empty() || rng() % 3 != 0;
        if (add) {
            std::string name = "k" + std::to_string(rng() % 500) + std::string(rng() % 12, 'q');
            if (model.count(name) || !kce_fits_tnode(a.buf.data(), kce_entry_size(static_cast<u32>(name.size()))))
                continue;
            u32 child = static_cast<u32>(rng());
            ASSERT_EQ(a.insert(name, child), 0u);
            model[name] = child;
        } else {
            auto it = model.begin();
            std::advance(it, rng() % model.size());
            ASSERT_EQ(a.remove(it->first), 0u);
            model.erase(it);
        }
        if (step % 100 == 0) expect_consistent(a, model);
    }
    expect_consistent(a, model);
    while (!model.empty()) {
        ASSERT_EQ(a.remove(model.begin()->first), 0u);
        model.erase(model.begin());
    }
    EXPECT_EQ(a.header().end_free_space, PROP_PAGE_SIZE);
    expect_consistent(a, model);
}

TEST(SlottedPage, CorruptAreasAreRefused)
{
    kce_hit hit{};
    struct Case {
        const char *what;
        kce_area header;
        u32 slot_size, slot_loc;
    } cases[] = {
        {"slots past the block", {600, 100, PROP_PAGE_SIZE}, 0, 0},
        {"end of free space past the block", {0, 100, PROP_PAGE_SIZE + 1}, 0, 0},
        {"entry past the block", {1, 100, 4000}, 200, 4000},
        {"entry shorter than its tail", {1, 100, 4000}, 3, 4000},
        {"entry inside the gap", {1, 100, 4000}, 10, 3000},
    };
    for (const Case &c : cases) {
        Area a(KCE_PAGE_START);
        kce_area_write(a.buf.data(), a.start, c.header);
        be32_put(a.buf.data(), KCE_PAGE_START + 12, c.slot_size);
        be32_put(a.buf.data(), KCE_PAGE_START + 16, c.slot_loc);
        EXPECT_EQ(a.find("x", &hit), PROP_E_STORAGE) << c.what;
        if (c.slot_size == 0) {
            EXPECT_EQ(a.insert("x", 1), PROP_E_STORAGE) << c.what;
        }
    }
    // Deleting with a stale hit is refused, not applied.
    Area a(KCE_PAGE_START);
    ASSERT_EQ(a.insert("abc", 1, 0, &hit), 0u);
    kce_hit stale = hit;
    stale.loc -= 1;
    EXPECT_EQ(proprutdkcesp(a.buf.data(), a.start, stale), PROP_E_STORAGE);
    ASSERT_EQ(proprutdkcesp(a.buf.data(), a.start, hit), 0u);
    EXPECT_EQ(proprutdkcesp(a.buf.data(), a.start, hit), PROP_E_STORAGE);
}

}  // namespace

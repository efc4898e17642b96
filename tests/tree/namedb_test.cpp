// The owner and group name table page, on plain buffers.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "format/cursor.h"
#include "tree/namedb.h"

namespace {

using Block = std::array<u8, PROP_PAGE_SIZE>;

u32 add(Block &page, const std::string &name, u32 *id)
{
    return namedb_add(page.data(), name.data(), static_cast<u32>(name.size()), id);
}

u32 find(const Block &page, const std::string &name, u32 *id)
{
    return namedb_find(page.data(), name.data(), static_cast<u32>(name.size()), id);
}

TEST(NameTable, FirstNameOnAFreshPage)
{
    Block page{};  // a freshly formatted page: header all zero
    u32 id = 0;
    ASSERT_EQ(add(page, "root", &id), 0u);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(be32_at(page.data(), 32), 1u);                    // num_entry
    EXPECT_EQ(be32_at(page.data(), 36), 4096u - 8);             // end_free_space
    EXPECT_EQ(be32_at(page.data(), 40), 4052u - (4 + 12));      // free_space_size
    EXPECT_EQ(be32_at(page.data(), 44), 8u);                    // slot 1: size
    EXPECT_EQ(be32_at(page.data(), 48), 4096u - 8);             // slot 1: location
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&page[4088]), 4), "root");
    EXPECT_EQ(be32_at(page.data(), 4092), 1u);                  // the id after the name
}

TEST(NameTable, IdsAreDenseAndNamesExact)
{
    Block page{};
    std::vector<std::string> names = {"root", "Root", "roo", "rootx", "grid", "a"};
    for (size_t i = 0; i < names.size(); i++) {
        u32 id = 0;
        ASSERT_EQ(add(page, names[i], &id), 0u);
        EXPECT_EQ(id, i + 1);
    }
    for (size_t i = 0; i < names.size(); i++) {
        u32 id = 0;
        ASSERT_EQ(find(page, names[i], &id), PROP_R_FOUND) << names[i];
        EXPECT_EQ(id, i + 1) << names[i];
        u32 size = 0, loc = 0;
        ASSERT_EQ(namedb_slot(page.data(), id, &size, &loc), 0u);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(&page[loc]), size - 4), names[i]);
    }
    u32 id = 0;
    EXPECT_EQ(find(page, "ROOT", &id), PROP_R_NOTFOUND);
    EXPECT_EQ(find(page, "ro", &id), PROP_R_NOTFOUND);
}

TEST(NameTable, FullPageRefusesAndStaysUnchanged)
{
    Block page{};
    u32 id = 0, added = 0;
    for (;; added++) {
        Block before = page;
        u32 rc = add(page, "user" + std::to_string(added), &id);
        if (rc != 0) {
            EXPECT_EQ(rc, PROP_E_STORAGE);
            EXPECT_EQ(page, before);
            break;
        }
        ASSERT_EQ(id, added + 1);
    }
    // Slots and entries met in the middle: every byte of the page is in use
    // but for less than one more entry and its slot.
    namedb_header h = namedb_header_read(page.data());
    EXPECT_EQ(h.num_entry, added);
    EXPECT_EQ(h.end_free_space - (44 + 8 * h.num_entry), h.free_space_size);
    EXPECT_LT(h.free_space_size, 4 + std::to_string(added).size() + 4 + 8);
    for (u32 i = 0; i < added; i++) {
        ASSERT_EQ(find(page, "user" + std::to_string(i), &id), PROP_R_FOUND);
        EXPECT_EQ(id, i + 1);
    }
    // A short name that still fits is taken.
    if (h.free_space_size >= 13) {
        EXPECT_EQ(add(page, "z", &id), 0u);
    }
}

TEST(NameTable, SlotsOutsideThePageOrCorruptAreRefused)
{
    Block page{};
    u32 size = 0, loc = 0, id = 0;
    EXPECT_EQ(namedb_slot(page.data(), 0, &size, &loc), PROP_E_STORAGE);
    EXPECT_EQ(namedb_slot(page.data(), 507, &size, &loc), PROP_E_STORAGE);  // slot at 4100
    ASSERT_EQ(add(page, "abc", &id), 0u);
    be32_put(page.data(), 44, 200);  // entry now runs past the block
    EXPECT_EQ(namedb_slot(page.data(), 1, &size, &loc), PROP_E_STORAGE);
    EXPECT_EQ(find(page, "abc", &id), PROP_E_STORAGE);
    // A header claiming more slots than fit refuses new names.
    Block full{};
    be32_put(full.data(), 32, 600);
    EXPECT_EQ(add(full, "x", &id), PROP_E_STORAGE);
}

}  // namespace

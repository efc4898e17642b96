// The owner and group name table page, on plain buffers.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "format/cursor.h"
#include "tree/namedb.h"

namespace {

using Page = std::array<u8, PROP_PAGE_SIZE>;

u32 add(Page &page, const std::string &name, u32 *id)
{
    return namedb_add(page.data(), name.data(), static_cast<u32>(name.size()), id);
}

u32 find(const Page &page, const std::string &name, u32 *id)
{
    return namedb_find(page.data(), name.data(), static_cast<u32>(name.size()), id);
}

TEST(NameTable, FillsUntilFullThenRefusesUnchanged)
{
    Page page{};  // freshly formatted: header all zero
    u32 id = 0, added = 0;
    for (;; added++) {
        Page before = page;
        u32 rc = add(page, "user" + std::to_string(added), &id);
        if (rc != 0) {
            EXPECT_EQ(rc, PROP_E_STORAGE);
            EXPECT_EQ(page, before);
            break;
        }
        ASSERT_EQ(id, added + 1);
    }
    EXPECT_EQ(namedb_header_read(page.data()).num_entry, added);
    ASSERT_EQ(find(page, "user" + std::to_string(added - 1), &id), PROP_R_FOUND);
    EXPECT_EQ(id, added);
    EXPECT_EQ(find(page, "user", &id), PROP_R_NOTFOUND);  // a prefix is another name
}

TEST(NameTable, CorruptSlotsAreRefused)
{
    Page page{};
    u32 size = 0, loc = 0, id = 0;
    EXPECT_EQ(namedb_slot(page.data(), 507, &size, &loc), PROP_E_STORAGE);  // slot at 4100
    ASSERT_EQ(add(page, "abc", &id), 0u);
    be32_put(page.data(), 44, 200);  // the entry would run past the block
    EXPECT_EQ(find(page, "abc", &id), PROP_E_STORAGE);
    Page full{};
    be32_put(full.data(), 32, 600);  // more slots than fit
    EXPECT_EQ(add(full, "x", &id), PROP_E_STORAGE);
}

}  // namespace

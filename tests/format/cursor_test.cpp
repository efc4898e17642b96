#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "format/cursor.h"

namespace {

struct Block {
    std::vector<u8> b = std::vector<u8>(PROP_PAGE_SIZE, 0xaa);
    u8 *data() { return b.data(); }
};

}  // namespace

// A write that fits is made whole, big-endian, and moves the cursor past
// it (a string needs no room for its terminator); one that does not fit
// changes neither the block nor the cursor.
TEST(Cursor, IntegerWriteAtTheEdgeOfTheBlock)
{
    const u32 v = 0x01020304;
    const char *s = "0123456789";
    const struct {
        u32 mode;
        const void *value;
        i32 at, after;
        u32 rc;
        std::string bytes;
    } cases[] = {
        {CURSOR_U32, &v, 4092, 4096, PROP_OK, "\1\2\3\4"},
        {CURSOR_STRING, s, 4086, 4096, PROP_OK, s},
        {CURSOR_U32, &v, 4093, 4093, PROP_E_STORAGE, ""},
        {CURSOR_STRING, s, 4087, 4087, PROP_E_STORAGE, ""},
        {CURSOR_U32, &v, -1, -1, PROP_E_STORAGE, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + " at " + std::to_string(c.at));
        Block blk, expected;
        i32 at = c.at;
        EXPECT_EQ(proprutabuf(blk.data(), &at, c.value, c.mode), c.rc);
        EXPECT_EQ(at, c.after);
        std::copy(c.bytes.begin(), c.bytes.end(), expected.b.begin() + std::max(c.at, 0));
        EXPECT_EQ(blk.b, expected.b);
    }
}

TEST(Cursor, ReadsAreBigEndianAndZeroPastTheEnd)
{
    Block blk;
    ASSERT_EQ(be32_put(blk.data(), 4092, 0xdeadbeef), 0u);
    EXPECT_EQ(blk.b[4092], 0xde);
    i32 at = 4092;
    u32 v = 0;
    ASSERT_EQ(proprutrbuf(blk.data(), &at, &v, CURSOR_U32), PROP_OK);
    EXPECT_EQ(v, 0xdeadbeefu);
    EXPECT_EQ(at, 4096);

    for (i32 bad : {4093, 4096, -4}) {
        at = bad;
        v = 0x55555555;
        EXPECT_EQ(proprutrbuf(blk.data(), &at, &v, CURSOR_U32), PROP_E_STORAGE);
        EXPECT_EQ(v, 0u);
        EXPECT_EQ(at, bad);
    }
    EXPECT_EQ(be32_at(blk.data(), 4093), 0u);
}

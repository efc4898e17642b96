#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "format/cursor.h"

namespace {

struct Block {
    std::vector<u8> b = std::vector<u8>(PROP_PAGE_SIZE, 0xaa);
    u8 *data() { return b.data(); }
};

}  // namespace

TEST(Cursor, IntegerWriteAtTheEdgeOfTheBlock)
{
    Block blk;
    const u32 v = 0x01020304;
    for (u32 mode : {CURSOR_U32, CURSOR_U32_ALT}) {
        i32 at = 4092;
        ASSERT_EQ(proprutabuf(blk.data(), &at, &v, mode), PROP_OK);
        EXPECT_EQ(at, 4096);
        EXPECT_EQ(blk.b[4092], 1);
        EXPECT_EQ(blk.b[4095], 4);

        Block untouched;
        at = 4093;
        EXPECT_EQ(proprutabuf(untouched.data(), &at, &v, mode), PROP_E_STORAGE);
        EXPECT_EQ(at, 4093);
        EXPECT_EQ(untouched.b, Block().b);
    }
    i32 at = -1;
    EXPECT_EQ(proprutabuf(blk.data(), &at, &v, CURSOR_U32), PROP_E_STORAGE);
    EXPECT_EQ(at, -1);
}

TEST(Cursor, StringWriteFitsOnlyWithoutItsTerminator)
{
    const char *s = "0123456789";
    Block blk;
    i32 at = 4086;
    ASSERT_EQ(proprutabuf(blk.data(), &at, s, CURSOR_STRING), PROP_OK);
    EXPECT_EQ(at, 4096);
    EXPECT_EQ(std::memcmp(blk.data() + 4086, s, 10), 0);

    Block untouched;
    at = 4087;
    EXPECT_EQ(proprutabuf(untouched.data(), &at, s, CURSOR_STRING), PROP_E_STORAGE);
    EXPECT_EQ(at, 4087);
    EXPECT_EQ(untouched.b, Block().b);
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

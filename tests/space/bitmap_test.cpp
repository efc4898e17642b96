// Bit searches at the byte and word boundaries that the byte-skipping scans
// could get wrong.
#include <gtest/gtest.h>

#include <array>

#include "space/bitmap.h"

namespace {

using Map = std::array<u8, PROPR_BITMAP_BYTES>;

TEST(Bitmap, FirstClearSkipsFullBytesAndHonoursTheStart)
{
    Map map{};
    map.fill(0xFF);
    EXPECT_EQ(bitmap_first_clear(map.data(), 0), -1);

    bitmap_clear(map.data(), 7);      // last bit of byte 0
    bitmap_clear(map.data(), 8 * 3 + 1);
    bitmap_clear(map.data(), PROPR_BITMAP_BITS - 1);
    EXPECT_EQ(bitmap_first_clear(map.data(), 0), 7);
    EXPECT_EQ(bitmap_first_clear(map.data(), 7), 7);
    EXPECT_EQ(bitmap_first_clear(map.data(), 8), 25);
    EXPECT_EQ(bitmap_first_clear(map.data(), 26), static_cast<i32>(PROPR_BITMAP_BITS - 1));
    EXPECT_EQ(bitmap_first_clear(map.data(), PROPR_BITMAP_BITS), -1);
}

TEST(Bitmap, HighestSetFindsBitZeroAndTheLastBit)
{
    Map map{};
    EXPECT_EQ(bitmap_highest_set(map.data()), -1);
    bitmap_set(map.data(), 0);
    EXPECT_EQ(bitmap_highest_set(map.data()), 0);
    bitmap_set(map.data(), 8 * 100 + 6);
    EXPECT_EQ(bitmap_highest_set(map.data()), 806);
    bitmap_set(map.data(), PROPR_BITMAP_BITS - 1);
    EXPECT_EQ(bitmap_highest_set(map.data()), static_cast<i32>(PROPR_BITMAP_BITS - 1));
    EXPECT_TRUE(bitmap_test(map.data(), 806));
    EXPECT_FALSE(bitmap_test(map.data(), 805));
}

}  // namespace

#include <gtest/gtest.h>

#include <cstring>

#include "core/lookup2.h"

namespace {

// Values of the published hash; the lengths cover an empty key, short
// tails, one whole block, and a block followed by an 11-byte tail.
TEST(Lookup2Test, MatchesThePublishedHash)
{
    struct Case {
        const char *key;
        u32 init;
        u32 hash;
    } cases[] = {
        {"", 0, 0xbd49d10d},
        {"a", 0, 0x29eec818},
        {"abc", 0, 0x251e4793},
        {"abcdefghijkl", 0, 0x0b1b3ea5},
        {"abcdefghijklmnopqrstuvw", 7, 0xbfe3a7e9},
        {"Four score and seven years ago", 1, 0x89deae7e},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(lookup2_hash(c.key, std::strlen(c.key), c.init), c.hash);
    }
}

}  // namespace

// The active version the front end reports, as the number that decides,
// at the CACHING level, the child limit and the use of ADDR pages (the
// limits themselves: kce_test.cpp).
#include <gtest/gtest.h>

#include "platform/version.h"

namespace {

TEST(KceLimits, VersionTextPacksOrIsRefused)
{
    struct Case {
        const char *text;
        bool ok;
        u32 number;
    } cases[] = {{"12.2", true, 0x0C200000},
                 {"12.1.0.2.0", true, 0x0C100200},
                 {"", false, 0},
                 {"12..2", false, 0},
                 {"12.2a", false, 0},
                 {"12.16", false, 0},
                 {"1.2.3.4.5.6", false, 0}};
    for (const Case &c : cases) {
        u32 number = 0xDEAD;
        EXPECT_EQ(version_to_number(c.text, &number), c.ok) << c.text;
        EXPECT_EQ(number, c.number) << c.text;
    }
}

}  // namespace

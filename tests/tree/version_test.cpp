// Active-version text to the packed number the child limit is judged by.
#include <gtest/gtest.h>

#include "platform/version.h"

namespace {

TEST(VersionToNumber, PacksAndRejects)
{
    struct Case {
        const char *text;
        u32 rc;
        u32 number;
    } cases[] = {
        {"12.2", 0, 0x0C200000},
        {"12.2.0.0.0", 0, 0x0C200000},
        {"12.1.0.2.0", 0, 0x0C100200},
        {"11.2.0.4.0", 0, 0x0B200400},
        {"19", 0, 0x13000000},
        {"255.15.255.15.255", 0, 0xFFFFFFFF},
        {"12.2.1", 0, 0x0C201000},
        {"", PROP_E_CTX, 0},
        {"12.", PROP_E_CTX, 0},
        {".12", PROP_E_CTX, 0},
        {"12..2", PROP_E_CTX, 0},
        {"12.2a", PROP_E_CTX, 0},
        {"v12", PROP_E_CTX, 0},
        {"12.16", PROP_E_CTX, 0},  // second field has four bits
        {"256.0", PROP_E_CTX, 0},
        {"1.2.3.4.5.6", PROP_E_CTX, 0},
        {"12.2 ", PROP_E_CTX, 0},
    };
    for (const Case &c : cases) {
        u32 number = 0xDEAD;
        EXPECT_EQ(version_to_number(c.text, &number), c.rc) << c.text;
        EXPECT_EQ(number, c.number) << c.text;
    }
    u32 number = 0;
    EXPECT_EQ(version_to_number(nullptr, &number), PROP_E_CTX);
    EXPECT_EQ(version_to_number("12.2", nullptr), PROP_E_CTX);
}

TEST(VersionToNumber, OrdersLikeReleases)
{
    const char *ascending[] = {"9.2", "11.2.0.4", "12.1.0.2.0", "12.2", "12.2.0.1", "18.1", "19.3"};
    u32 prev = 0;
    for (const char *v : ascending) {
        u32 n = 0;
        ASSERT_EQ(version_to_number(v, &n), 0u) << v;
        EXPECT_GT(n, prev) << v;
        prev = n;
    }
}

}  // namespace

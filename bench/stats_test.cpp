#include "stats.h"

#include <gtest/gtest.h>

TEST(Summarize, MedianAndNearestRankP90)
{
    struct Case {
        std::vector<double> in;
        double median, p90;
    } cases[] = {
        {{}, 0, 0},
        {{7}, 7, 7},
        {{4, 1, 3, 2}, 2.5, 4},                        // even count: mean of the middle two
        {{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 5.5, 9},     // rank ceil(9.0) = 9
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 6, 10},  // rank ceil(9.9) = 10
    };
    for (const Case &c : cases) {
        Summary s = summarize(c.in);
        EXPECT_EQ(s.count, c.in.size());
        EXPECT_DOUBLE_EQ(s.median_us, c.median);
        EXPECT_DOUBLE_EQ(s.p90_us, c.p90);
    }
}

#include "stats.h"

#include <algorithm>
#include <chrono>
#include <cmath>

Summary summarize(std::vector<double> samples_us)
{
    Summary s;
    s.count = samples_us.size();
    if (s.count == 0) return s;
    std::sort(samples_us.begin(), samples_us.end());
    size_t mid = s.count / 2;
    s.median_us = s.count % 2 == 1 ? samples_us[mid] : (samples_us[mid - 1] + samples_us[mid]) / 2;
    // Nearest rank: the smallest sample with at least 90% of them at or below it.
    size_t rank = static_cast<size_t>(std::ceil(0.9 * static_cast<double>(s.count)));
    s.p90_us = samples_us[rank - 1];
    return s;
}

double now_us()
{
    using namespace std::chrono;
    return duration<double, std::micro>(steady_clock::now().time_since_epoch()).count();
}

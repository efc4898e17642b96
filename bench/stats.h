// Latency samples of one measured row and their summary.
#pragma once

#include <cstddef>
#include <vector>

struct Summary {
    double median_us = 0;
    double p90_us = 0;
    size_t count = 0;
};

// Summarises samples in microseconds: the median (mean of the two middle
// samples for an even count) and the nearest-rank 90th percentile.
Summary summarize(std::vector<double> samples_us);

// A monotonic clock in microseconds.
double now_us();

#include "storesize.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace propctl {

namespace {

constexpr uint64_t kFixedBytes = 0x5029000ull;
constexpr uint64_t kPage = 4096;
constexpr uint64_t kBitsPerBitmap = 32512;
constexpr uint64_t kMostBitmaps = 1014;

int unit_power(const std::string &unit)
{
    static const char *const kUnits[] = {"K", "M", "G", "T"};
    for (int i = 0; i < 4; i++) {
        const std::string u = kUnits[i];
        if (unit == u || unit == u + "B" || unit == u + "iB") return i + 1;
    }
    return unit.empty() || unit == "B" ? 0 : -1;
}

}  // namespace

bool parse_size(const std::string &text, uint64_t *bytes, std::string *why)
{
    char *end = nullptr;
    const double n = std::strtod(text.c_str(), &end);
    const int power = end != text.c_str() ? unit_power(end) : -1;
    if (text.empty() || text[0] == '-' || power < 0 || !std::isfinite(n)) {
        *why = "'" + text + "' is no size (a number and K, M, G or T)";
        return false;
    }
    const double b = n * std::pow(1024.0, power);
    if (b >= 18e18) {
        *why = "'" + text + "' is too large";
        return false;
    }
    *bytes = static_cast<uint64_t>(b);
    return true;
}

std::string size_text(uint64_t bytes)
{
    static const char *const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        u++;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, kUnits[u]);
    return buf;
}

uint32_t location_pages(uint64_t bytes)
{
    return bytes > kFixedBytes ? static_cast<uint32_t>((bytes - kFixedBytes) / kPage) : 0;
}

uint64_t location_limit_bytes(uint64_t limit_pages)
{
    const uint64_t bitmaps = limit_pages / kBitsPerBitmap;
    return kFixedBytes + (limit_pages + 2 * bitmaps) * kPage;
}

uint64_t largest_location_bytes()
{
    // A format counts every page of the location, its own bitmap pages
    // too, so it can make no more than its bitmaps count.
    return kFixedBytes + kMostBitmaps * kBitsPerBitmap * kPage;
}

}  // namespace propctl

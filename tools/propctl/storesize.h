// Sizes of stores as propctl takes them from a person and gives them back:
// a location's size in bytes, with units, and what the library makes of it.
// A location holds the store's fixed areas (0x5029000 bytes with its
// reserved prefix), then one page (4096 bytes) for each bitmap page copy
// and each page of the tree; every key takes at least one tree page.
#pragma once

#include <cstdint>
#include <string>

#include "format/layout.h"
#include "format/storemap.h"

namespace propctl {

// The size of a location that init makes without --size; a smaller file
// is given this size by the library.
constexpr uint64_t kDefaultLocationBytes =
    uint64_t{PROPR_RESERVED_PREFIX} + PROPR_FIXED_BYTES + uint64_t{PROPR_DEFAULT_PAGES} * PROP_PAGE_SIZE;
// How many times its first size a store made with --size can grow to
// without a new format.
constexpr uint32_t kGrowthRoom = 4;

// "512M", "10G", "1.5T", "123456789": K, M, G and T (with or without a
// following B or iB) are powers of 1024.  false with the reason.
bool parse_size(const std::string &text, uint64_t *bytes, std::string *why);
// "480.2 MiB": for people.
std::string size_text(uint64_t bytes);

// The pages a location of bytes bytes counts, as the library counts them.
uint32_t location_pages(uint64_t bytes);
// The largest location a store whose tree area may reach limit_pages can
// use: its bitmap pages count too.
uint64_t location_limit_bytes(uint64_t limit_pages);
// The most a store may be made with: its bitmaps can count no more.
uint64_t largest_location_bytes();

}  // namespace propctl

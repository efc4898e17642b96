// The lookup2 string hash (golden-ratio start 0x9e3779b9, 12-byte blocks
// read little-endian, the length added to the third word before the tail).
#pragma once

#include "core/types.h"

u32 lookup2_hash(const void *key, size_t length, u32 initval);

// The system's cryptographic random source, for new store ids.
#pragma once

#include "platform/ints.h"

// Fills *value with 32 random bits.  0, or the errno of the failure.
int plat_random_u32(u32 *value);

// The rule that decides a mirrored write from what its locations answered.
#pragma once

#include "core/types.h"

struct proprhandle;

// Out of space on any location fails the whole write with 36; otherwise it
// stands when at least half of the configured locations (not of the open
// ones) took it: one of one or two, two of three or four, three of five.
u32 proprio_write_verdict(proprhandle *handle, u32 successes, u32 no_space);

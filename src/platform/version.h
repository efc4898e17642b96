// The cluster's active version: dotted text such as "12.2.0.0.0" turned into
// one number that compares the way releases do.
#pragma once

#include "platform/ints.h"

// Packing, from the most significant bit down:
//   first component   8 bits (31..24)
//   second component  4 bits (23..20)
//   third component   8 bits (19..12)
//   fourth component  4 bits (11..8)
//   fifth component   8 bits (7..0)
// so "12.2" and "12.2.0.0.0" both give 0x0C200000.  Missing trailing
// components count as 0.
//
// True with *number set; false when the text is missing, empty, has more
// than five components, an empty or non-decimal component, or a component
// too large for its field; *number is then 0.  Callers choose the code.
bool version_to_number(const char *text, u32 *number);

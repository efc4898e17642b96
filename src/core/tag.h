// Eight-character tags at the head of records passed across the interface
// ("PROPCTXT", "PROP KEY", "PRSECCTX"): a cheap guard against stale or
// foreign pointers.
#pragma once

#include "core/types.h"

// Copies the eight characters of tag into the record and writes a zero
// after them (the record must have room for nine bytes).
void u_set_tag(void *record, const char *tag);
// 1 when the record's first eight bytes equal tag, 0 otherwise.
u32 u_check_tag(const void *record, const char *tag);

// A pointer as the 32-bit value that the system's "%x" trace lines print.
inline unsigned u_ptr32(const void *p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

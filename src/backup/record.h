// The records of a record (export and import) file, as bytes.  Pure
// layout: no I/O.
//
// A file is a sequence of 69632-byte chunks holding one header record and
// then data records, one after another across chunk boundaries; the last
// chunk is zero-padded.  Integers are native (little-endian).  A data
// record is
//
//   name NUL  SEP  type(4)  value  SEP  perms(3 x 4)  user NUL  SEP  group NUL  SEP  '\n'
//
// with SEP the three bytes 07 20 5F.  A value may hold any bytes, so a
// record is read from both ends: the name up to its NUL, the owner and
// group (which hold no NUL) from the end backwards, and the value is what
// lies between.
#pragma once

#include "core/types.h"
#include "platform/trace.h"

namespace propreg {

constexpr u8 REC_SEP[3] = {0x07, 0x20, 0x5F};
constexpr u32 REC_CHUNK = 0x11000;
constexpr u32 REC_MAX = REC_CHUNK - 1;  // a record is shorter than a chunk
constexpr u32 REC_HEADER_LEN = 14;      // magic, version, maximum record size, NUL, '\n'
constexpr u32 REC_MAGIC = 0xab0cd0ef;
constexpr u32 REC_VERSION = 1;
constexpr u32 REC_MAX_VALUE = PROP_RECORD_VALUE_MAX;
constexpr u32 REC_NAME_MAX = 1023;    // key name, without its NUL
constexpr u32 REC_OWNER_MAX = 64;     // user and group names, without their NULs
// Bytes after a record that tell whether it really ended there: a key name
// and the separator after it.
constexpr u32 REC_LOOKAHEAD = REC_NAME_MAX + 1 + sizeof REC_SEP;

void rec_put_header(u8 *out);
bool rec_header_ok(const u8 *in);

// The bytes of rec into out (REC_MAX bytes); 0 with *len, or 26 when a
// field is too long (or the name empty).
u32 rec_encode(const prop_record &rec, u8 *out, u32 *len);
// One record's bytes, its closing separator and newline included, into
// *rec (value cleared to its full size first).  0, or 22 after a trace line.
u32 rec_decode(trace_comp tc, const u8 *in, u32 len, prop_record *rec);
// Whether a record ending just before `next` really ends there: what
// follows is the end of the data, padding, or the head of another record.
// `avail` bytes are readable at next; at_end says no more follow them.
bool rec_ends_here(const u8 *next, u32 avail, bool at_end);

}  // namespace propreg

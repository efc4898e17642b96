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
//
// A record ends at the first SEP '\n' that is followed by the start of
// another record (a name, its NUL and SEP), by padding or by the end of
// the data; a record whose own bytes would end it earlier is never
// written.  Its value must agree with its type: none for the no-value
// type, 4 bytes for an integer, 8 for a long one, a NUL at the end of a
// text or a list of texts.  So one damaged byte of a separator, a name or
// a type makes the record fail to read instead of running into the next.
//
// The padding after the last record begins with a NUL, then the seal: the
// text "records NNNNNNNNNN check HHHHHHHH", the number of data records and
// the lookup2 hash of their bytes, one record after another.  A reader
// that stops at the last record ignores it; this one checks it, so a file
// missing a chunk or with any byte of a record changed is refused.  Files
// written before the seal carry none; they must end in at least as much
// padding as a seal would take, or they were cut short.
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

constexpr u32 REC_SEAL_LEN = 33;  // "records " 10 digits " check " 8 hex digits
constexpr u32 REC_CHECK_START = REC_MAGIC;

void rec_put_header(u8 *out);
bool rec_header_ok(const u8 *in);

// The seal of count records whose bytes hash to check, REC_SEAL_LEN
// bytes; and reading one back (false when in holds no seal).
void rec_put_seal(u8 *out, u32 count, u32 check);
bool rec_read_seal(const u8 *in, u32 *count, u32 *check);
// The running check of the records so far, with one more record's bytes.
u32 rec_check_add(u32 check, const u8 *record, u32 len);

// The bytes of rec into out (REC_MAX bytes); 0 with *len, or 26 when a
// field is too long (or the name empty), the value does not agree with its
// type, or the bytes would read as a record that ends early.  *why (when
// given) says which.
u32 rec_encode(const prop_record &rec, u8 *out, u32 *len, const char **why = nullptr);
// One record's bytes, its closing separator and newline included, into
// *rec (value cleared to its full size first).  PROP_OK, or PROP_E_FORMAT after a trace line.
u32 rec_decode(trace_comp tc, const u8 *in, u32 len, prop_record *rec);
// Where the record at in ends (its length, in *len): see above.  `avail`
// bytes are readable at in; at_end says no more follow them.  false when
// no end lies within REC_MAX bytes.
bool rec_find_end(const u8 *in, u32 avail, bool at_end, u32 *len);

}  // namespace propreg

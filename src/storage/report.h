// How the storage code reports a failure: its trace component, the
// system's text of an error number, and component errors left on the
// front-end context for the caller.
#pragma once

#include <cstddef>

#include "core/types.h"
#include "platform/trace.h"

struct proprhandle;

// Component messages (both carry 25, the storage component, as their
// second argument).
constexpr u32 UT_COMPMSG_OS = 101;    // system error number, 25, system text
constexpr u32 UT_COMPMSG_TEXT = 107;  // a number (0 = none), 25, a text

// The handle's "ZKVOSD" component, or the named one without a handle.
trace_comp ut_osd(const proprhandle *handle);
// strerror_r's text of an errno value.
void ut_os_text(int err, char *buf, size_t size);
// Records component error msgno with its first argument and text on the
// front-end context (nothing without one).
void ut_comp_error(przkv_ctx *zkv, u32 msgno, u32 arg, const char *text);
// Records an OS failure as message 101 with the system error and its text.
void ut_os_error(const proprhandle *handle, int err);
// Puts a user text into a caller's error buffer whose in-out size is its
// capacity on the way in and the length written on the way out (a buffer
// of size 0 is left alone).
void ut_errbuf_set(char *buf, u64 *size, const char *format, ...) PROP_PRINTF(3, 4);
void ut_errbuf_set(char *buf, u32 *size, const char *format, ...) PROP_PRINTF(3, 4);

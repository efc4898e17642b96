// Error elements: the last error of each calling thread, with its text,
// kept in the front-end context's error table under the thread's id text.
// The global element is the fallback when a thread has no element of its
// own, and always holds the last code set by any thread.  Failures inside
// this path are logged and otherwise ignored: a code can always be
// returned even when its text cannot be stored.
#pragma once

#include "core/types.h"

// Component messages recorded by storage and volume-manager code.
enum : u32 {
    PROP_COMPMSG_OSERR = 101,  // system error number, 25, system text
    PROP_COMPMSG_TEXT = 107,   // number, 25, text
    PROP_COMPMSG_FREE = 108,   // free text, stored as given
};
constexpr u32 PROP_COMPTYPE_OS = 25;

// The element of thread_id (nullptr: the calling thread); the global
// element when the thread has no id or no element can be made; *out is
// nullptr only without a front-end context or error table.
void u_get_error(przkv_ctx *zkv, const char *thread_id, prop_errelem **out);
void u_get_error_hashkey(przkv_ctx *zkv, const char *key, prop_errelem **out);
// Adds a zero-filled element under key.  0, or 1 on failure.
u32 u_insert_error(przkv_ctx *zkv, const char *key);

// Records code, and its catalogue text, as the thread's last error.
void u_set_zkv_error(przkv_ctx *zkv, const char *thread_id, u32 code);
// Records component message msgno.  The catalogue text of 101 and 107 is
// formatted with (arg, arg2, text); 108 stores text itself.
void u_set_comp_error(przkv_ctx *zkv, const char *thread_id, u32 msgno, u32 arg, u32 arg2,
                      const char *text);
void u_reset_error(przkv_ctx *zkv, const char *thread_id);
// Writes the text of code into buf (at most size - 1 characters).
void u_fill_errorbuf(przkv_ctx *zkv, char *buf, size_t size, u32 code);

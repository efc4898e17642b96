// Error escalation of the CACHING level.
#pragma once

#include "core/types.h"

// Records code as the calling thread's error.  A 36 is first rolled back
// (a failed rollback turns it into 26).  A 26 marks the front-end context
// invalid and ends the process with status 1, after waiting while another
// thread holds the context in the do-not-terminate state.
// proprseterror: set error: record the last error for the calling thread.
void proprseterror(backend_ctx *ctx, u32 code);

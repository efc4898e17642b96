// Services on the caller's front-end context: its validity check and the
// operation log line, which lets a front end show what a slow or hung
// operation was doing.
#pragma once

#include "core/types.h"
#include "platform/trace.h"

// 1 when zkv carries its tag, a meta context and a security context with a
// cluster-services context; 0 otherwise, with the first failure logged.
u32 u_validate_zkv_ctx(const przkv_ctx *zkv);

// Writes the line to the trace at comp and level and, time-stamped,
// appends it to the calling thread's operation log list when the front end
// gave the thread one.
void prou_add_list_log_ext(przkv_ctx *zkv, trace_comp comp, u32 level, const char *format, ...)
    PROP_PRINTF(4, 5);

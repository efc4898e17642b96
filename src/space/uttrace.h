// The trace component the store utilities (free space, tree nodes, undo
// log, recovery) write to: the handle's "ZKVRAW" component.
#pragma once

#include "core/handle.h"
#include "platform/trace.h"

inline trace_comp ut_trace(const proprhandle *handle)
{
    if (handle != nullptr && handle->proprhandle_trace_raw != nullptr)
        return handle->proprhandle_trace_raw;
    static trace_comp raw = trace_component_named(TRACE_RAW);
    return raw;
}

// The trace component of the tree code: the backend's "ZKVRAW".
#pragma once

#include "platform/trace.h"

inline trace_comp tree_raw()
{
    static trace_comp comp = trace_component_named(TRACE_RAW);
    return comp;
}

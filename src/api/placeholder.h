// The one stand-in for an operation whose subsystem is not built yet: it
// answers as an unsupported level would.  Wiring an operation replaces its
// entry in ops.cpp; when every entry is wired this file goes.
#pragma once

#include "core/types.h"

template <class... A>
u32 prop_op_not_built(A...)
{
    return PROP_E_LEVEL;
}

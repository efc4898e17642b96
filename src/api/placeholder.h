// The one stand-in for an operation whose subsystem is not built yet.  Its
// answer is one no built operation gives, so the dispatch knows it: the
// export returns 2, as for a level the operation does not reach, and never
// escalates it.  Wiring an operation replaces its entry in ops.cpp; when
// every entry is wired this file goes.
#pragma once

#include "core/types.h"

template <class... A>
u32 prop_op_not_built(A...)
{
    return PROP_R_NOTBUILT;
}

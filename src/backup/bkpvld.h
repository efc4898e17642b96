// Backup and record files inside a volume-manager disk group, named
// "+<disk group>:<file>" (or, for delete, rename and copy, a location "+dg"
// and a file name).  The names are checked here; the files themselves go
// through the volume-manager layer, which this build reaches only through
// the I/O layer's bridge.  The bridge has no calls for backup files yet,
// so every such operation stops, with the code of the first call that
// refuses, before anything is created or changed.
#pragma once

#include "core/types.h"
#include "platform/trace.h"

struct proprhandle;

namespace propreg {

inline bool bkp_is_vld_name(const char *name)
{
    return name != nullptr && name[0] == '+';
}

// Splits "+dg:file" into its disk group (the '+' kept, at most 31
// characters after it) and file name.  false, with the documented trace
// line, when the name is not of that form.
bool bkp_split_vld_name(const char *name, char (&dg)[32], char (&file)[PROP_LOCNAME_SIZE]);

// Reaches the volume manager for backup file work on behalf of `who`
// (a trace prefix).  0 when it may go on; otherwise the code to return,
// after the trace line "<who>: Failed to initialize the VLD module.
// Retval: [<code>]".
u32 bkp_vld_begin(proprhandle *handle, const char *who);

}  // namespace propreg

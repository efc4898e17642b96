// What the volume-manager operations share: their trace component, the
// split of a location name, and the diagnosis of a client failure.
#pragma once

#include "vld/vld.h"

namespace vldops {

inline trace_comp vt(const proprhandle *handle)
{
    return handle != nullptr ? handle->proprhandle_trace_vld : trace_component_named(TRACE_VLD);
}

// The handle's client context, or nullptr.
vld_context *client(const proprhandle *handle);

// A location split: dg with its '+', dg_bare without, and the file part
// ("" for a disk group alone).
struct Name {
    char dg[VLD_DG_MAX + 2];
    const char *dg_bare;
    char fname[PROP_LOCNAME_SIZE];
};
// 0, or the splitter's result (already traced by it).
u32 split(const char *location, Name *out);

// Records the client's failure as component error 108 with its error
// stack, then asks the client whether the file (or, when that answers, the
// disk group) can be reached: 7 and 6 are traced as "<who>: The VLD
// instance is down" / "... disk group ... is not found or not mounted" and
// raise alert base + 13 (base + 21 for a backup file).  Returns what the
// check found: 0, 6 (not mounted) or 7 (down).
u32 diagnose(proprhandle *handle, const vld_error *err, const char *who, vld_file *file, const char *dg_bare,
              bool backup);
// Records component error 108 with the client's error stack; the text
// is left in stack (VLD_MESSAGE_SIZE bytes).
void record(proprhandle *handle, const vld_error *err, char *stack);

// The alert number base of the handle (1000 without a front-end context).
u32 alert_base(const proprhandle *handle);

// Access mode of a boot level: 0 or 3; 3 (PROP_E_CTX) for a level no
// file may be opened at.
u32 access_mode(u32 level, u32 *mode);

}  // namespace vldops

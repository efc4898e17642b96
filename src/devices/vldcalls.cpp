#include "devices/vldcalls.h"

#include "core/handle.h"

namespace propreg {

u32 dev_vld_complete_name(proprhandle *handle, const char *diskgroup, char *, u32)
{
    trace_print(handle != nullptr ? handle->proprhandle_trace_vld : nullptr, 0,
                "proprvld_get_completefname: the volume manager is not available for [%s]",
                diskgroup != nullptr ? diskgroup : "");
    return PROP_E_STORAGE;
}

u32 dev_vld_mode(bool, u32 *)
{
    return PROP_E_STORAGE;
}

}  // namespace propreg

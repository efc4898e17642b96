#include "devices/vldcalls.h"

#include "core/handle.h"
#include "platform/vldsim/mode.h"
#include "vld/vld.h"

namespace propreg {

namespace {

constexpr u32 kModeQuery = 1;
constexpr u32 kModeQueryQuiet = 2;

}  // namespace

u32 dev_vld_complete_name(proprhandle *handle, const char *diskgroup, char *name, u32 size)
{
    if (u32 rc = proprvldini(handle, 0); rc != 0) {
        trace_print(handle != nullptr ? handle->proprhandle_trace_vld : nullptr, 0,
                    "proprvld_get_completefname: Failed to initialize the VLD module. Retval: [%d]",
                    static_cast<int>(rc));
        return rc;
    }
    return proprvld_get_completefname(handle, diskgroup, name, size);
}

u32 dev_vld_mode(bool quiet, u32 *mode)
{
    return vld_get_mode(quiet ? kModeQueryQuiet : kModeQuery, mode);
}

}  // namespace propreg

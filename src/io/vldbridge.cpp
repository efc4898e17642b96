#include "io/vldbridge.h"

#include "core/handle.h"

namespace propreg {
namespace {

u32 unavailable(proprhandle *handle, const char *who)
{
    trace_print(handle != nullptr ? handle->proprhandle_trace_vld : nullptr, 0,
                "%s: the volume manager is not available", who);
    return PROP_E_STORAGE;
}

}  // namespace

u32 io_vld_init(proprhandle *handle)
{
    return unavailable(handle, "proprvldini");
}

u32 io_vld_open(proprhandle *handle, u32, u32, u32)
{
    unavailable(handle, "proprvldo");
    return PROP_E_VLDCREATE;
}

void io_vld_close(proprhandle *handle, u32 slot, bool)
{
    if (handle != nullptr && slot < PROP_NUM_SLOTS) handle->proprhandle_native[slot] = nullptr;
}

void io_vld_term(proprhandle *) {}

u32 io_vld_write(proprhandle *handle, u32, const void *, u32, u32)
{
    return unavailable(handle, "proprvldw");
}

u32 io_vld_read(proprhandle *handle, u32, void *, u32, u32)
{
    return unavailable(handle, "proprvldr");
}

u32 io_vld_resilver(proprhandle *handle, u32, void *, u32, u32)
{
    return unavailable(handle, "proprvldres");
}

u32 io_vld_devcheck(proprhandle *handle, const char *, u32, u32)
{
    return unavailable(handle, "proprvlddvch");
}

}  // namespace propreg

// A backend handle of the devices code's own, for the repairs that run
// without an open store: bound to the caller's meta context and to a
// front-end block carrying only what the configuration and device code
// read (location flags, host name, alert base, developer mode).  Closing
// its locations and freeing everything is the destructor's job.
#pragma once

#include "core/handle.h"

namespace propreg {

class TempHandle {
  public:
    // location_flags: PROP_KIND_ZKV or PROP_KIND_NKV.
    TempHandle(prop_metactx *meta, u32 location_flags);
    ~TempHandle();
    TempHandle(const TempHandle &) = delete;
    TempHandle &operator=(const TempHandle &) = delete;

    // False when memory ran out (or, for NKV, the host name is unknown).
    bool ok() const { return handle_ != nullptr && zkv_ != nullptr; }
    // 12 when memory ran out, 23 when the host name is unknown.
    u32 failure() const { return failure_; }
    proprhandle *get() const { return handle_; }
    // Creates the I/O mutex, for a handle that opens its locations.  PROP_OK or PROP_E_STORAGE.
    u32 start_io();

  private:
    prop_metactx *meta_;
    proprhandle *handle_ = nullptr;
    przkv_ctx *zkv_ = nullptr;
    u32 failure_ = 0;
};

inline trace_comp dev_trace(const proprhandle *handle)
{
    return handle != nullptr ? handle->proprhandle_trace_raw : trace_component_named(TRACE_RAW);
}

}  // namespace propreg

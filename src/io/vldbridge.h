// The I/O layer's calls into the volume-manager layer, in one place.  That
// layer is not part of this build yet: every call reports the volume
// manager as unavailable, so a "+" location is never opened and never
// reached by a read or a write.
#pragma once

#include "core/types.h"

struct proprhandle;

namespace propreg {

u32 io_vld_init(proprhandle *handle);
u32 io_vld_open(proprhandle *handle, u32 slot, u32 numpage, u32 create);
void io_vld_close(proprhandle *handle, u32 slot, bool keep_for_reuse);
void io_vld_term(proprhandle *handle);
u32 io_vld_write(proprhandle *handle, u32 slot, const void *buffer, u32 length, u32 offset);
u32 io_vld_read(proprhandle *handle, u32 slot, void *buffer, u32 length, u32 offset);
// Reads the range again from another copy inside the disk group.
u32 io_vld_resilver(proprhandle *handle, u32 slot, void *buffer, u32 length, u32 offset);
u32 io_vld_devcheck(proprhandle *handle, const char *name, u32 size, u32 create);

}  // namespace propreg

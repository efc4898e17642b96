// The I/O layer's calls into the volume-manager layer, in one place: each
// works on one location slot, whose native handle is the volume manager's
// file handle.
#pragma once

#include "core/types.h"

struct proprhandle;
struct ut_run;
struct proprio_read;

namespace propreg {

u32 io_vld_init(proprhandle *handle);
// Opens (create: or creates) the file of a slot and sizes the slot.  A
// slot naming a disk group keeps that name; one naming a file that had to
// be made anew takes the new file's name.
u32 io_vld_open(proprhandle *handle, u32 slot, u32 numpage, u32 create);
// keep_for_reuse: the file stays open for the next open of the same name.
void io_vld_close(proprhandle *handle, u32 slot, bool keep_for_reuse);
void io_vld_term(proprhandle *handle);
// The runs of a write group, in as few calls of the client as its request
// limit allows (each returns once its writes are on the disk group).
u32 io_vld_write_runs(proprhandle *handle, u32 slot, const ut_run *runs, u32 nruns);
u32 io_vld_read(proprhandle *handle, u32 slot, void *buffer, u32 length, u64 offset);
// Reads requests reqs[which[0..n)] (io.h) together, each with its own
// result.
void io_vld_read_batch(proprhandle *handle, u32 slot, proprio_read *reqs, const u32 *which, u32 n);
// Reads the range again from another copy inside the disk group.
u32 io_vld_resilver(proprhandle *handle, u32 slot, void *buffer, u32 length, u64 offset);
// Rewrites the slot's boot block on every copy inside the disk group.
u32 io_vld_sync(proprhandle *handle, u32 slot);
// Checks (create: prepares) a location.  A disk group named by a location
// slot's own buffer becomes there the complete name of the file made for it.
u32 io_vld_devcheck(proprhandle *handle, const char *name, u64 size, u32 create);

}  // namespace propreg

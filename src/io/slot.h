// What every part of the I/O layer does to one location slot: read and
// write it (file or volume-manager location), read its state under the
// I/O mutex, take it out of service with an alert, and account its
// statistics.
#pragma once

#include "core/handle.h"
#include "core/slotstate.h"

struct ut_run;

namespace propreg {

inline trace_comp io_trace(const proprhandle *handle)
{
    return handle != nullptr ? handle->proprhandle_trace_raw : nullptr;
}

// The workers (and the per-location write threads) exist only when the
// front end runs at the CACHING level.
bool io_fe_caching(const proprhandle *handle);
// The group-services context of a CACHING-level handle, or nullptr.
prop_grpctx *io_grpctx(const proprhandle *handle);

// A device selector names one slot (0 to 4) or all of them (PROPRIO_ALL);
// anything else is traced with who's name and refused.
bool io_selector_ok(const proprhandle *handle, u32 selector, const char *who);

// A slot's state, read under the I/O mutex (slot_set_state changes it).
u32 io_slot_state(proprhandle *handle, u32 slot);
// Snapshot of all five states, taken under the mutex.
void io_slot_states(proprhandle *handle, u32 states[PROP_NUM_SLOTS]);

// One transfer on one location, with no state, vote or quorum logic: the
// runs of a write group (ended by the location's barrier), or a read.
u32 io_slot_write_runs(proprhandle *handle, u32 slot, const ut_run *runs, u32 nruns);
u32 io_slot_read(proprhandle *handle, u32 slot, void *buffer, u32 length, u64 offset, u32 flags);
// One block to one location the same way, counted in the statistics.  The
// votes go out through it: a vote written from inside a mirrored write must
// not start another write group.
u32 io_slot_write_block(proprhandle *handle, u32 slot, const u8 *block, u64 addr);

// Raises "location unusable" (alert base + 6) for a slot.  The log name is
// the front-end context's when ctx_logname is set, else the trace log's;
// when no trace log name can be had, "<who>: Unable to get log name (%d)"
// is traced instead.
void io_alert_unusable(proprhandle *handle, u32 slot, bool ctx_logname, const char *who);
// Takes a slot out of service: state 1 and the alert.
void io_slot_unusable(proprhandle *handle, u32 slot, bool ctx_logname, const char *who);

// Adds one transfer to the calling thread's statistics, when the front end
// attached a table to it.
void io_stat_add(proprhandle *handle, u32 slot, u64 elapsed_ns, u32 length);
// Clears a slot's entry of the calling thread's statistics (its location
// changed).
void io_stat_reset(proprhandle *handle, u32 slot);
// A progress line: the trace and the calling thread's operation log.
void io_progress(proprhandle *handle, u32 level, const char *format, ...) PROP_PRINTF(3, 4);
// The undo log goes on from lsn (through the handle's hooks).
void io_set_log_lsn(proprhandle *handle, u32 lsn);
// Records component message 107 with number (a product message, or an
// error with its text) on the front-end context.
void io_record_msg(proprhandle *handle, u32 number, const char *text = nullptr);

}  // namespace propreg

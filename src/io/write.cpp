// propriow: direct writes to one location, and mirrored writes to every
// open location with the quorum rule.
#include "io/io.h"
#include "io/pagecache.h"
#include "io/quorum.h"
#include "io/slot.h"
#include "io/workers.h"

using namespace propreg;

namespace {

// The outcome of one location's part of a mirrored write.
struct slot_write {
    bool tried = false;
    u32 result = 0;
    u64 elapsed = 0;
};

u32 direct_write(proprhandle *handle, const void *buffer, u32 length, u32 offset, u32 slot)
{
    io_progress(handle, 4, "propriow: direct write to disk (%d)", static_cast<int>(slot));
    const u64 t0 = plat_clock_ns();
    const u32 rc = io_slot_write(handle, slot, buffer, length, offset);
    if (rc == 0) io_stat_add(handle, slot, plat_clock_ns() - t0, length);
    io_progress(handle, 4, "propriow: Completed direct write to disk (%d)", static_cast<int>(slot));
    return rc;
}

void timed_write(proprhandle *handle, u32 slot, const void *buffer, u32 length, u32 offset,
                 slot_write *out)
{
    io_progress(handle, 4, "propriow: writing to ZKV device[%d] %d", static_cast<int>(slot),
                static_cast<int>(offset));
    const u64 t0 = plat_clock_ns();
    out->tried = true;
    out->result = io_slot_write(handle, slot, buffer, length, offset);
    out->elapsed = plat_clock_ns() - t0;
}

// The calling thread writes the first open slot while the workers write
// the others.
u32 write_with_workers(proprhandle *handle, const u32 states[], const void *buffer, u32 length,
                       u32 offset, slot_write out[])
{
    trace_comp tc = io_trace(handle);
    u32 first = PROP_NUM_SLOTS;
    for (u32 i = 0; i < PROP_NUM_SLOTS && first == PROP_NUM_SLOTS; i++)
        if (states[i] == PROP_SLOT_OPEN) first = i;
    if (first == PROP_NUM_SLOTS) {
        trace_print(tc, 0, "propriow: no ZKV device is in open state");
        return PROP_E_STORAGE;
    }
    proprio_worker *workers = handle->proprhandle_workers->worker;
    for (u32 j = first + 1; j < PROP_NUM_SLOTS; j++) {
        if (states[j] != PROP_SLOT_OPEN) continue;
        proprio_worker_post(&workers[j - 1], buffer, length, offset);
        out[j].tried = true;
    }
    timed_write(handle, first, buffer, length, offset, &out[first]);
    if (out[first].result == 0)
        io_progress(handle, 4, "propriow: Completed writing to ZKV device[%d] [%s]",
                    static_cast<int>(first), handle->proprhandle_filename[first]);
    for (u32 j = first + 1; j < PROP_NUM_SLOTS; j++) {
        if (!out[j].tried) continue;
        const i32 rc = proprio_worker_wait(&workers[j - 1]);
        trace_print(tc, 4, "propriow: Completed writing to dev[%d] [%s]", static_cast<int>(j),
                    handle->proprhandle_filename[j]);
        out[j].result = static_cast<u32>(rc);
        out[j].elapsed = workers[j - 1].elapsed;
    }
    return 0;
}

void write_in_turn(proprhandle *handle, const u32 states[], const void *buffer, u32 length,
                   u32 offset, slot_write out[])
{
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        if (states[i] != PROP_SLOT_OPEN) continue;
        timed_write(handle, i, buffer, length, offset, &out[i]);
        if (out[i].result == 0)
            trace_print(io_trace(handle), 4, "propriow: Completed writing to ZKV device[%d]",
                        static_cast<int>(i));
    }
}

u32 mirrored_write(proprhandle *handle, const void *buffer, u32 length, u32 offset)
{
    trace_comp tc = io_trace(handle);
    const u32 configured = handle->proprhandle_configured_device_count;
    const u32 wm = propriowm(handle);
    if (wm != 0 && configured == 2) {
        trace_print(tc, 0, "propriow: failed to update member count (%d)", static_cast<int>(wm));
        return PROP_E_STORAGE;
    }
    u32 states[PROP_NUM_SLOTS];
    io_slot_states(handle, states);
    slot_write out[PROP_NUM_SLOTS];
    const bool workers = io_fe_caching(handle) && handle->proprhandle_workers != nullptr;
    if (workers) {
        const u32 rc = write_with_workers(handle, states, buffer, length, offset, out);
        if (rc != 0) return rc;
    } else {
        write_in_turn(handle, states, buffer, length, offset, out);
    }

    u32 successes = 0;
    u32 no_space = 0;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        if (!out[i].tried) continue;
        if (out[i].result == PROP_E_NOSPACE) {
            no_space++;
        } else if (out[i].result == 0) {
            successes++;
            io_stat_add(handle, i, out[i].elapsed, length);
        } else {
            // Out of service for the rest of the handle's life, exactly as a
            // failed read: a location that missed this write must never
            // serve a later read of the page, or the stale page could be
            // read back and written again over committed data.
            io_slot_unusable(handle, i, workers, "propriow");
        }
    }
    const u32 rc = proprio_write_verdict(handle, successes, no_space);
    if (rc == 0) propriowm(handle);
    return rc;
}

}  // namespace

u32 proprio_write_verdict(proprhandle *handle, u32 successes, u32 no_space)
{
    trace_comp tc = io_trace(handle);
    const u32 configured = handle->proprhandle_configured_device_count;
    if (no_space != 0) {
        trace_print(tc, 0,
                    "propriow: One or more devices [Total: %d] does not have enough space to "
                    "complete the write operation. Returning [%d]",
                    static_cast<int>(no_space), PROP_E_NOSPACE);
        return PROP_E_NOSPACE;
    }
    if (successes != 0 && 2 * successes >= configured) return 0;
    trace_print(tc, 0, "propriow: failed to write to half of the disks(%d,%d)", static_cast<int>(successes),
                static_cast<int>(configured));
    return PROP_E_STORAGE;
}

u32 propriow(proprhandle *handle, const void *buffer, u32 length, u32 offset, u32 selector)
{
    if (handle == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0, "propriow: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    if (!io_selector_ok(handle, selector, "propriow")) return PROP_E_ARG;
    const u32 rc = selector < PROP_NUM_SLOTS ? direct_write(handle, buffer, length, offset, selector)
                                             : mirrored_write(handle, buffer, length, offset);
    pagecache_written(handle, buffer, length, offset, selector == PROPRIO_ALL && rc == 0);
    return rc;
}

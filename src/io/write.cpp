// propriow: one block range written as a write group of its own, to one
// location or to every open one under the quorum rule.
#include "io/group.h"
#include "io/io.h"
#include "io/quorum.h"
#include "io/slot.h"

using namespace propreg;

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

u32 propriow(proprhandle *handle, const void *buffer, u32 length, u64 offset, u32 selector)
{
    if (handle == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0, "propriow: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    if (!io_selector_ok(handle, selector, "propriow")) return PROP_E_ARG;
    WriteGroup group(handle);
    const u32 rc = group.add(buffer, length, offset);
    if (rc != 0) {
        trace_print(io_trace(handle), 0, "propriow: Could not allocate memory for a write group");
        return rc;
    }
    return group.flush(selector);
}

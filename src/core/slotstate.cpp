#include "core/slotstate.h"

IoLock::IoLock(proprhandle *handle)
    : mx_(handle != nullptr && handle->proprhandle_io_mutex_created != 0 ? &handle->proprhandle_io_mutex : nullptr)
{
    if (mx_ != nullptr) plat_mutex_lock(mx_);
}

IoLock::~IoLock()
{
    if (mx_ != nullptr) plat_mutex_unlock(mx_);
}

namespace {

constexpr u32 bit(u32 state)
{
    return 1u << state;
}

constexpr u32 kAny = bit(PROP_SLOT_UNCONFIGURED) | bit(PROP_SLOT_UNUSABLE) | bit(PROP_SLOT_STALE) |
                     bit(PROP_SLOT_OPEN) | bit(PROP_SLOT_CLOSED) | bit(PROP_SLOT_CORRUPT);

// For each state, the states a slot may reach it from.
constexpr u32 kFrom[] = {
    /* UNCONFIGURED */ kAny,
    /* UNUSABLE     */ kAny,
    /* STALE        */ bit(PROP_SLOT_OPEN) | bit(PROP_SLOT_UNUSABLE),
    /* OPEN         */ bit(PROP_SLOT_UNCONFIGURED) | bit(PROP_SLOT_UNUSABLE) | bit(PROP_SLOT_STALE),
    /* CLOSED       */ kAny,
    /* CORRUPT      */ 0,
};

}  // namespace

bool slot_change_expected(u32 from, u32 to)
{
    if (to >= sizeof kFrom / sizeof kFrom[0] || from > PROP_SLOT_CORRUPT) return false;
    return from == to || (kFrom[to] & bit(from)) != 0;
}

void slot_set_state(proprhandle *handle, u32 slot, u32 state, const char *who)
{
    if (slot >= PROP_NUM_SLOTS) {
        trace_print(handle->proprhandle_trace_raw, 0, "%s: no location slot %u", who, slot);
        return;
    }
    IoLock lock(handle);
    const u32 from = handle->proprhandle_native_state[slot];
    if (!slot_change_expected(from, state))
        trace_print(handle->proprhandle_trace_raw, 0,
                    "%s: location %u moves from state %u to %u, a change not expected", who, slot, from, state);
    handle->proprhandle_native_state[slot] = state;
}

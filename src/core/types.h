// Fixed-width names and the codes every layer returns.
#pragma once

#include "platform/ints.h"
#include "propreg/prop.h"

// Results that never leave the backend.
enum : u32 {
    PROP_R_FOUND = 101,      // child-key entry found
    PROP_R_NOTFOUND = 102,   // child-key entry not found
    PROP_R_REPAIRED = 103,   // automatic repair changed the configuration
    PROP_R_EMPTYVAL = 121,   // value already empty
    PROP_R_BADTNODE = 123,   // tree node cannot be read or is invalid
    PROP_R_NOTCACHED = 141,  // key cache: not cached
    PROP_R_CACHED = 142,     // key cache: already cached
    PROP_R_COLLIDED = 143,   // key cache: hash key collided
    PROP_R_NOADDR = 144,     // key cache: cached without an address
};

constexpr u32 PROP_PAGE_SIZE = 4096;
constexpr u32 PROP_NUM_SLOTS = PROP_MAX_LOCATIONS;

// Location slot states.
enum : u32 {
    PROP_SLOT_UNCONFIGURED = 0,
    PROP_SLOT_UNUSABLE = 1,
    PROP_SLOT_STALE = 2,
    PROP_SLOT_OPEN = 3,
    PROP_SLOT_CLOSED = 4,
    PROP_SLOT_CORRUPT = 5,
};

// Location types.
enum : u32 {
    PROP_LOCTYPE_NONE = 0,
    PROP_LOCTYPE_FILE = 3,
    PROP_LOCTYPE_VLD = 4,
};

// Front-end context states.
enum : u32 {
    PROP_CTXSTATE_INVALID = 11,
    PROP_CTXSTATE_NO_TERMINATE = 22,
};

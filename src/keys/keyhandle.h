// An open key as the caller holds it: its full name, its place in the tree
// and a snapshot of its security and value size.  Allocated by open and
// create from the handle's meta context; the caller gives it back with
// prop_close.  The tag is written last, when the record is complete, so a
// half-built or stale record never passes the check every operation makes.
//
// A closed record is not given back to the meta context while the store is
// open: it is tagged dead and kept, so that a caller who closes it again,
// or uses it after closing it, meets a record every operation refuses
// with 7 rather than freed memory.  The oldest closed records are reused
// for new handles once more than PROPR_KEYHANDLE_KEPT_CLOSED are kept, and
// all of them go when the store is terminated.
#pragma once

#include "core/types.h"
#include "tree/keydesc.h"

inline constexpr const char *PROPR_KEYHANDLE_TAG = "PROP KEY";
inline constexpr const char *PROPR_KEYHANDLE_CLOSED_TAG = "DEAD KEY";
inline constexpr u32 PROPR_KEYHANDLE_KEPT_CLOSED = 128;

struct propr_keyhandle {
    char propr_keyhandle_tag[9];
    char *propr_keyhandle_keyname;  // owned full name, as opened or created
    key_desc *propr_keyhandle_kdesc;  // owned
    sec_attr propr_keyhandle_sec;
    u32 propr_keyhandle_valsize;
    u32 propr_keyhandle_depth;
    propr_keyhandle *propr_keyhandle_next_closed;  // in the store's list of closed records
};

struct proprhandle;

// True for a non-null record carrying the "PROP KEY" tag.
bool propr_keyhandle_valid(const propr_keyhandle *kh);

// The keys of the first level are those the store was formatted with;
// nothing can make them again, so they are never deleted or moved.
inline bool propr_keyhandle_fixed(const propr_keyhandle *kh)
{
    return kh->propr_keyhandle_depth <= 1;
}

// A zeroed, untagged record of the store's owning a copy of keyname and kd
// (which it takes over only on success); null when memory runs out.
propr_keyhandle *propr_keyhandle_make(proprhandle *handle, const char *keyname, key_desc *kd);
// Frees the descriptor, the name and a record the caller never received
// (null is ignored).
void propr_keyhandle_free(prop_metactx *meta, propr_keyhandle *kh);
// The caller's close: frees the name and the descriptor and keeps the
// record, tagged dead.  PROP_OK, or PROP_E_KEYH for a record that is not an open handle.
u32 propr_keyhandle_close(proprhandle *handle, propr_keyhandle *kh);
// Frees the closed records the store keeps; at termination.
void propr_keyhandle_drop_closed(proprhandle *handle);

// The address of an open key, checked as keys/keyplace.h says: 7 when its
// name now leads to another tnode, notcached_rc when it leads nowhere.  op
// names the operation in the trace.
u32 propr_keyhandle_addr(proprhandle *handle, const propr_keyhandle *kh, const char *op,
                         u32 notcached_rc, u32 *addr);

// An open key as the caller holds it: its full name, its place in the tree
// and a snapshot of its security and value size.  Allocated by open and
// create from the handle's meta context; the caller gives it back with
// prop_close.  The tag is written last, when the record is complete, so a
// half-built or stale record never passes the check every operation makes.
#pragma once

#include "core/types.h"
#include "tree/keydesc.h"

inline constexpr const char *PROPR_KEYHANDLE_TAG = "PROP KEY";

struct propr_keyhandle {
    char propr_keyhandle_tag[9];
    char *propr_keyhandle_keyname;  // owned full name, as opened or created
    key_desc *propr_keyhandle_kdesc;  // owned
    sec_attr propr_keyhandle_sec;
    u32 propr_keyhandle_valsize;
    u32 propr_keyhandle_depth;
};

struct proprhandle;

// True for a non-null record carrying the "PROP KEY" tag.
bool propr_keyhandle_valid(const propr_keyhandle *kh);

// A zeroed, untagged record owning a copy of keyname and kd (which it takes
// over only on success); null when memory runs out.
propr_keyhandle *propr_keyhandle_make(prop_metactx *meta, const char *keyname, key_desc *kd);
// Frees the descriptor, the name and the record (null is ignored).
void propr_keyhandle_free(prop_metactx *meta, propr_keyhandle *kh);

// The address of an open key, checked as keys/keyplace.h says: 7 when its
// name now leads to another tnode, notcached_rc when it leads nowhere.  op
// names the operation in the trace.
u32 propr_keyhandle_addr(proprhandle *handle, const propr_keyhandle *kh, const char *op,
                         u32 notcached_rc, u32 *addr);

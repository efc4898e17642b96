// The in-memory place of one key: its entry under the parent, its name
// component and the two tnode pages.  Open and create walk the tree with two
// of these (parent and child); the child-key entry functions fill them.
#pragma once

#include "core/types.h"

struct key_desc {
    u32 kd_entry;     // entry word; its low byte is stored with the key's entry
    char *kd_name;    // owned, NUL-terminated name component (may be null)
    u32 kd_namelen;   // length of kd_name
    u32 kd_tnode;     // page of the key's tnode
    u32 kd_parent;    // page of the parent's tnode
    u32 kd_loc_page;  // where the entry was last found or made: KCE page, 0 = in the parent tnode
    u32 kd_loc_slot;  // and its slot in that slotted area
};

// A zeroed descriptor from the meta context, or null.
key_desc *key_desc_alloc(prop_metactx *meta);
// Frees the name and the descriptor (null is ignored).
void key_desc_free(prop_metactx *meta, key_desc *kd);
// Replaces the owned name with a copy of len bytes of name; PROP_OK or PROP_E_NOMEM.
u32 key_desc_set_name(prop_metactx *meta, key_desc *kd, const char *name, u32 len);
// A deep copy (own name buffer) or null.
key_desc *key_desc_clone(prop_metactx *meta, const key_desc *kd);

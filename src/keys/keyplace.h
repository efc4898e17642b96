// Where the key behind a handle lives now, checked before an operation
// trusts the handle.  A handle is a snapshot: its key may since have been
// deleted or moved, and its pages freed and given to other keys.
//
// The key cache knows where every key is: a name cached at another address
// than the handle's means the key went away (7); a name not cached at all
// means the same (4), except at the CACHING level, where a live key can be
// missing from the cache (an insert that collides evicts), and at the
// read-only level, where the cache is off.  At the CACHING level the name is
// then resolved again through the live tree, and the handle's address is
// used only when the tree still leads to it; a handle is never trusted on
// its own word before a write.  At the read-only level nothing is written
// and the handle's address is used as it is.  Inside a transaction a key
// whose tnode the transaction has already freed (deleted earlier in the
// same batch) is gone as well (4).
#pragma once

#include "core/types.h"
#include "keys/keypath.h"
#include "tree/keydesc.h"

struct proprhandle;

struct key_place {
    u32 addr;    // the key's tnode
    u32 parent;  // its parent's tnode; 0, the root, for a top-level key
};

// The words the check's trace lines use, so that every operation keeps its
// own texts: "<op>: Addr for [..] retrieved from cache [..] did not match
// the one from the handle [..]. <role> passed is invalid. Return [..]." and
// the like.  keycheck_texts_of gives an operation's ordinary ones.
struct keycheck_texts {
    const char *op;             // prefix of every line
    const char *mismatch_op;    // prefix of the mismatch line
    const char *mismatch_role;  // "Keyhandle"
    const char *missing_role;   // " Keyhandle" (follows "cache." directly)
    const char *fallback_what;  // "" (or "src key " before the name)
};

inline keycheck_texts keycheck_texts_of(const char *op)
{
    return {op, op, "Keyhandle", " Keyhandle", ""};
}

// 0 and the place; 7 when the name leads to another tnode; notcached_rc
// when it leads nowhere; 26 or the read error when the tree cannot be read.
// With want_parent the parent's tnode is resolved as well (by its name, not
// taken from the handle).
u32 propr_keyhandle_place(proprhandle *handle, const propr_keyhandle *kh, const keycheck_texts &texts, u32 notcached_rc,
                          bool want_parent, key_place *out);

// The key's entry under its checked parent, as proprutdkce looks it up: the
// last component of the handle's name, and the place's two tnodes.
struct key_entry {
    key_desc kd;
    char name[PROPR_KEYCOMP_MAX + 1];
};
void key_entry_of(const propr_keyhandle *kh, const key_place &at, key_entry *out);

// The child-key lookups' own results (not found, not a tnode) where they
// reach a caller mean the store is not as the check found it: 26.
constexpr u32 keys_outward(u32 rc)
{
    return rc == PROP_R_NOTFOUND || rc == PROP_R_BADTNODE ? static_cast<u32>(PROP_E_STORAGE) : rc;
}

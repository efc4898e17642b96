// A key's security in its tnode: owner and group as name-table ids, three
// permission levels as one byte each.
#pragma once

#include "core/types.h"

struct proprhandle;
struct tnode;

// Whether a security record can be given to a key, without touching the
// store: PROP_OK, PROP_E_ARG (empty owner name) or PROP_E_NULL (no record).  Callers that must not
// write before they refuse check with it first.
u32 proprssec_check(const sec_attr *sec);

// Puts a security record into an in-memory tnode (the caller writes the
// tnode): the names become ids (new names are added to their tables), the
// levels keep their low byte.  PROP_OK; PROP_E_ARG (empty owner name, nothing added); PROP_E_NOMEM
// (no memory); PROP_E_NULL (missing argument); PROP_E_STORAGE (no handle, or a name that cannot
// be turned into an id).
u32 proprssec_tnode(proprhandle *handle, tnode *node, const sec_attr *sec);

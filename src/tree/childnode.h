// Making a child key's tnode, and entries that point at an existing tnode.
#pragma once

#include "core/types.h"
#include "tree/keydesc.h"

struct proprhandle;

// Creates the tnode of a new child named name under parent: a fresh page, its
// entry under the parent, and the initialised tnode with sec's security. child
// receives the name, the new page, the parent's page and the parent's entry
// word.  The new page is not logged: it was free before the transaction.  PROP_OK;
// PROP_E_ARG (empty owner name: nothing taken); PROP_E_NOMEM; PROP_E_NULL;
// PROP_E_STORAGE; PROP_E_NOSPACE (no free page or no room); or the error of a
// step (19 from the child limit).
// proprutcstnode: create subtnode: a new child key.
u32 proprutcstnode(proprhandle *handle, key_desc *parent, key_desc *child, const char *name,
                   const sec_attr *sec);

// Adds an entry named link_name under parent that points at the existing
// tnode target.  The result of proprutckce, or 12/13 before it.
// proprutcltnode: create link tnode: an entry naming an existing tnode.
u32 proprutcltnode(proprhandle *handle, key_desc *parent, u32 target, key_desc *child, const char *link_name);

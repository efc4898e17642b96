// A key's security in its tnode: owner and group as name-table ids, three
// permission levels as one byte each.
#pragma once

#include "core/types.h"

struct proprhandle;
struct tnode;

// Puts a security record into an in-memory tnode (the caller writes the
// tnode): the names become ids (new names are added to their tables), the
// levels keep their low byte.  0; 12 (no memory); 13 (missing argument); 26
// (no handle, or a name that cannot be turned into an id).
u32 proprssec_tnode(proprhandle *handle, tnode *node, const sec_attr *sec);

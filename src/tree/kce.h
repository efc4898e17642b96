// Child-key entries of a key: first in its tnode's own entry area, then in
// up to 25 KCE pages the tnode names, then in KCE pages listed by up to 3
// ADDR pages.  Callers hold the context lock and have an open transaction in
// which the parent tnode has been logged.
#pragma once

#include "core/types.h"
#include "tree/keydesc.h"

struct proprhandle;

// Looks name up among the children of the tnode at parent_page.  101 with
// out's entry word, child page and entry location filled; 102 when absent;
// 13 without a name; 123 when the parent is not a tnode; 26 for a corrupt
// page under it; or the read error.
// proprutfkce: find child entry.
u32 proprutfkce(proprhandle *handle, u32 parent_page, const char *name, key_desc *out);

// Adds child's entry (its name, entry byte and tnode page) under parent and
// counts it in the parent's num_subkey.  PROP_OK; PROP_E_MAXSUBKEY when the parent already has
// the most children allowed; 36 when no area can take the entry (or no free
// page is left); 123 when the parent is not a tnode; 26 or the I/O error.
// proprutckce: create child entry.
u32 proprutckce(proprhandle *handle, key_desc *child, key_desc *parent);

// Removes the entry of kd (by name, under kd->kd_parent) and uncounts it.
// A KCE page left empty is freed with flags (PROPR_FREE_DEFERRED inside a
// transaction), an emptied ADDR page at commit; page lists stay dense.
// 0; 102 when there is no such entry; 123, 26 or the I/O error.
// proprutdkce: delete child entry.
u32 proprutdkce(proprhandle *handle, key_desc *kd, u32 flags);

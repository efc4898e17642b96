// The key operations that work on whole subtrees and on lists of
// operations: deleting a key (alone or with everything below it), listing
// a key's subkeys, moving a key with its subtree, and running a batch of
// changes as one transaction.  Each returns a u32 code.  In flags,
// PROP_FLAG_IN_BATCH says the call runs inside a batch, which then holds
// prop_rwlock and the open transaction.
#pragma once

#include "core/types.h"

struct proprhandle;
struct key_desc;

// Deletes the key behind keyhandle; with recursive, its whole subtree.
// 10 when the key has subkeys and recursive is 0.  The handle is not
// freed: the caller still closes it.
// prdkey: delete key.
u32 prdkey(backend_ctx *ctx, propr_keyhandle *keyhandle, u32 recursive, u32 flags);

// Frees the key whose tnode is at page and everything below it, in the
// open transaction: for each key its value pages, then its children's
// subtrees one after the other, each KCE page after the children it lists,
// each ADDR page after its KCE pages, and the key's tnode last.  Nothing is
// written; the key's entry in its parent stays.  kd names the key in the
// trace.  PROP_OK, PROP_E_NOMEM, PROP_E_STORAGE or a read error.
// proprdkrec: delete key recursively.
u32 proprdkrec(backend_ctx *ctx, proprhandle *handle, u32 page, const key_desc *kd, u32 flags);

// The longest name below the key whose tnode is at page, counted from the
// end of the key's own name (".b.c", 4, for a.b.c below a).  The walk
// reads every tnode of the subtree, and stops as soon as a name passes
// limit.  0 and *longest; PROP_E_NOMEM; PROP_E_STORAGE or the read error.
u32 proprsubtree_longest_name(proprhandle *handle, u32 page, u32 limit, u32 *longest);

// Lists the names of the key's direct subkeys in one buffer taken from the
// meta context and owned by the caller afterwards: each name and a NUL, in
// the order the entries lie on disk, and one more NUL.  *buflen counts the
// bytes used, *num_keys the names.  A key without subkeys gives no buffer,
// length 0 and count 0.
// prenumsubkey: enumerate subkeys.
u32 prenumsubkey(backend_ctx *ctx, propr_keyhandle *keyhandle, char **keybuf, u32 *buflen, u32 *num_keys, u32 flags);

// Moves src with its subtree under tgt_parent as tgt_subkey (one
// component).  tgt, when given, is the key already there: it is deleted
// with its subtree in the same transaction.  *result receives a new handle
// of the moved key.  A target parent inside src's subtree is refused with 8,
// an existing target not passed as tgt with 55.  Flag bit 0 only chooses
// the operation code the transaction records.
// prmvkey: move key.
u32 prmvkey(backend_ctx *ctx, propr_keyhandle *src, propr_keyhandle *tgt_parent, const char *tgt_subkey,
            propr_keyhandle *tgt, propr_keyhandle **result, u32 flags);

// Runs the batch's operations in one transaction: all commit, or all are
// rolled back.  0, or the code that ended the batch.
// proprbatchexec: batch execute.
u32 proprbatchexec(backend_ctx *ctx, prop_batch *batch, u32 flags);

// What reading and writing one raw block share: the argument checks, the
// block a call names, and the caller's right to see or change it.
#pragma once

#include "diag/common.h"

namespace diag {

// The texts of one side ("prgblock"/"gblock" or "prsblock"/"sblock").
struct block_op {
    const char *name;        // prefix of the argument messages
    const char *inner;       // prefix of the messages about the block itself
    const char *null_names;  // what "null pointer passed for ..." names
};

// Argument checks: every pointer given, the size, the location.  PROP_OK, PROP_E_NULL,
// PROP_E_BUFSZ (the size becomes 4096) or PROP_E_ARG.
u32 check_block_args(const proprhandle *h, const block_op &op, bool pointers_given, u32 *inout_size, u32 location);

// The block a call names: by key (its tnode) or by number.  PROP_OK, PROP_E_KEYH or PROP_E_ARG.
u32 locate_block(const proprhandle *h, const block_op &op, const propr_keyhandle *keyh, u32 blkno, u32 flags,
                 place *out);

// Reads the block at offset from one location, or from the mirrored layer
// (location 100) without letting a bad header take a location out of
// service: judging the header is the caller's business.  PROP_OK or PROP_E_STORAGE.
u32 read_block(proprhandle *h, u32 location, u64 offset, u32 flags, u8 *block);

// Whether page is free in the store's map: PROP_OK, or PROP_E_STORAGE.
u32 page_free(proprhandle *h, u32 page, bool *isfree);

// May the caller of secctx do what required asks on the tnode in raw?  0
// or 5.
u32 tnode_permission(proprhandle *h, const prop_secctx *secctx, const u8 *raw_tnode, u32 required, const block_op &op);
// Only a caller whom no key need grant anything (a privileged one) may see
// a block that is not a valid block of its place.  PROP_OK or PROP_E_PERM.
u32 invalid_block_permission(proprhandle *h, const prop_secctx *secctx);

}  // namespace diag

// Pieces the key-cache files share.  Callers hold the cache lock as each
// function says; nothing here takes it.
#pragma once

#include "cache/cache.h"

namespace propreg {

// Where the parts of a key name lie.  Empty components are skipped, so the
// parent is the name up to the end of the component before the last one:
// its depth is always one less.
struct keyparts {
    u32 depth;
    size_t last_off;    // the last component: name[last_off, last_off + last_len)
    size_t last_len;
    size_t parent_len;  // the parent's full name: name[0, parent_len); empty at depth 1
};
keyparts parse_keyname(const char *name, size_t len);

// "<last component>_@@<n>", n = lookup2(parent, 0x4903193D) mod 2^31.
struct hashkey_buf {
    char text[PROPRCH_HASHKEY_SIZE];
};
// false when the last component is too long for the buffer.
bool build_hashkey(const char *name, const keyparts &kp, hashkey_buf *out);
// The bucket hash handed to the per-depth tables.
u32 hashkey_bucket_hash(const char *key, size_t length);

inline trace_comp cache_trace(const proprch_ctx *ctx)
{
    return ctx->proprch_ctx_trace;
}
// Read-only boot level: the cache is off.
inline bool cache_is_off(const proprch_ctx *ctx)
{
    return ctx->proprch_ctx_proprhandle->proprhandle_bootlevel == PROP_LEVEL_READONLY;
}
inline bool in_batch(u32 flags)
{
    return (flags & PROP_FLAG_IN_BATCH) != 0;
}
// The lock a call takes: mode, or none when the caller holds it already.
inline RwGuard::Mode lock_mode(u32 flags, RwGuard::Mode mode)
{
    return (flags & PROP_FLAG_HOLDS_LOCK) != 0 ? RwGuard::None : mode;
}

// Looks name[0, len) up (cache lock held).  0 with *elem; 143 with *elem
// the element holding the same hash key; 141; 26 for a hash key that
// cannot be built.  *kp receives the parsed name.
u32 find(proprch_ctx *ctx, const char *name, size_t len, proprch_hashelement **elem, keyparts *kp);
// The element's parent when it is cached, else nullptr (always at depth 1).
proprch_hashelement *parent_of(proprch_ctx *ctx, const proprch_hashelement *elem);
// True when child's parent is parent by name.
bool is_parent(const proprch_hashelement *parent, const proprch_hashelement *child);

// Tables (exclusive lock).
u32 table_create(proprch_ctx *ctx, u32 depth);  // PROP_OK or PROP_E_NOMEM
void table_destroy(proprch_ctx *ctx, u32 depth);
u32 table_insert(proprch_ctx *ctx, proprch_hashelement *elem);  // PROP_OK, PROP_E_NOMEM or PROP_E_STORAGE
void table_remove(proprch_ctx *ctx, proprch_hashelement *elem);
// The table of a depth, or nullptr when it does not exist.
proprch_hashtable *table_at(proprch_ctx *ctx, u32 depth);

// Elements.
proprch_hashelement *element_create(proprch_ctx *ctx, const char *name, size_t len, const keyparts &kp,
                                    const hashkey_buf &hk, u32 status);
void element_free(prop_metactx *meta, proprch_hashelement *elem);
// Lists child's hash key in parent and records the slot in child: PROP_OK or PROP_E_NOMEM.
u32 child_add(proprch_ctx *ctx, proprch_hashelement *parent, proprch_hashelement *child);
// Frees parent's slot i.
void child_clear(proprch_ctx *ctx, proprch_hashelement *parent, u32 i);
// Changes elem's status, keeping its parent's count of DELETE_TRANSIENT
// children exact and elem on the list of its status.
void set_status(proprch_ctx *ctx, proprch_hashelement *elem, proprch_hashelement *parent, u32 status);
// Puts elem on the context's list of its status (off every list when it is
// PERMANENT).
void track_status(proprch_ctx *ctx, proprch_hashelement *elem);
// The lists of transient elements.
void transient_lists_init(proprch_ctx *ctx);
inline proprch_link *transient_list(proprch_ctx *ctx, u32 status)
{
    return &ctx->proprch_ctx_transient[status == PROPRCH_CREATE_TRANSIENT ? 0 : 1];
}
proprch_hashelement *element_of(proprch_link *link);

// Removal (exclusive lock).  Traverse delete: children first; in a batch
// the entries become DELETE_TRANSIENT, otherwise they are freed.  parent is
// elem's cached parent or nullptr.  PROP_OK or PROP_E_STORAGE.
u32 traverse_delete(proprch_ctx *ctx, proprch_hashelement *elem, proprch_hashelement *parent, bool batch);
// The slot of parent's child list that holds child's hash key, or -1.
i32 child_slot(const proprch_hashelement *parent, const proprch_hashelement *child);
// Unlists elem from its parent and frees it with everything below it.
void drop(proprch_ctx *ctx, proprch_hashelement *elem);

}  // namespace propreg

// What every key operation shares: its trace component, the context lock
// (held by the batch instead when the call runs inside one), saving a page's
// image once per transaction, and the rollback.
#pragma once

#include <utility>

#include "core/handle.h"
#include "core/tag.h"
#include "platform/thread.h"
#include "platform/trace.h"
#include "tree/keydesc.h"

struct tnode;

namespace propreg {

inline trace_comp keys_raw()
{
    static trace_comp comp = trace_component_named(TRACE_RAW);
    return comp;
}

inline bool ctx_valid(const backend_ctx *ctx)
{
    return ctx != nullptr && u_check_tag(ctx->prop_ctx_tag, "PROPCTXT") != 0;
}

constexpr bool in_batch(u32 flags)
{
    return (flags & PROP_FLAG_IN_BATCH) != 0;
}

// Inside a batch the batch holds prop_rwlock for all its operations.
inline RwGuard::Mode ctx_lock_mode(u32 flags)
{
    return in_batch(flags) ? RwGuard::None : RwGuard::Exclusive;
}

struct alignas(8) keys_block {
    u8 b[PROP_PAGE_SIZE];
};

// The two descriptors open and create walk the tree with: the child of one
// step is the parent of the next.
struct desc_pair {
    explicit desc_pair(prop_metactx *m) : meta(m), parent(key_desc_alloc(m)), child(key_desc_alloc(m)) {}
    ~desc_pair()
    {
        key_desc_free(meta, parent);
        key_desc_free(meta, child);
    }
    desc_pair(const desc_pair &) = delete;
    desc_pair &operator=(const desc_pair &) = delete;
    bool ok() const { return parent != nullptr && child != nullptr; }
    void step() { std::swap(parent, child); }
    key_desc *take_child() { return std::exchange(child, nullptr); }

    prop_metactx *meta;
    key_desc *parent;
    key_desc *child;
};

// Fills sec from a tnode: the owner and group names of its ids and its
// three levels.  0, or the kind (1 owner, 2 group) whose name was not found.
u32 keys_tnode_security(proprhandle *handle, const tnode *node, sec_attr *sec);

// Saves the image of page (image, or read from the store when null) unless
// this transaction already saved it or allocated the page: a second image
// would be restored after the first and undo the rollback.  0 or the error.
u32 keys_log_once(proprhandle *handle, u32 page, const u8 *image);

// The checks a key-handle operation makes once it holds prop_rwlock: the
// backend handle behind ctx, then the key handle and its descriptor.  op
// names the operation in the messages; bad_keyhandle is its own message
// for a missing or invalid key handle.  PROP_OK, PROP_E_CTX or PROP_E_STALE; *handle on success.
u32 check_key_handles(backend_ctx *ctx, const propr_keyhandle *keyhandle, const char *op, const char *bad_keyhandle,
                      proprhandle **handle);

// Rolls the open transaction back (the caller holds prop_rwlock) and
// returns rc, or recovery's own code when recovery fails.
u32 keys_rollback(backend_ctx *ctx, const char *op, u32 rc);

}  // namespace propreg

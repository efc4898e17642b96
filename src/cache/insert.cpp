#include <atomic>
#include <cstring>

#include "cache/internal.h"

using namespace propreg;

namespace {

// A key deleted in the open batch that is inserted again names a new tnode
// now, and so do its deleted ancestors: they become CREATE_TRANSIENT
// without an address, so a commit keeps them and a rollback drops them.
void revive_chain(proprch_ctx *ctx, proprch_hashelement *elem)
{
    while (elem != nullptr && elem->status == PROPRCH_DELETE_TRANSIENT) {
        proprch_hashelement *parent = parent_of(ctx, elem);
        set_status(ctx, elem, parent, PROPRCH_CREATE_TRANSIENT);
        elem->addr_cached = 0;
        trace_print(cache_trace(ctx), 4, "proprch_insert: Key %s deleted in this batch is live again",
                    elem->keyname);
        elem = parent;
    }
}

// Drops the elements a failed insert made: made heads the chain and is not
// yet listed in any parent.
u32 undo_chain(proprch_ctx *ctx, proprch_hashelement *made, u32 rc)
{
    if (made != nullptr) traverse_delete(ctx, made, nullptr, false);
    return rc;
}

void log_step(proprch_ctx *ctx, const char *name, size_t len, const keyparts &kp)
{
    trace_comp tc = cache_trace(ctx);
    if (!trace_enabled(tc, 4)) return;
    int n = static_cast<int>(len);
    trace_print(tc, 4, "proprch_insert: Key to be inserted is %.*s", n, name);
    const char *prefix = kp.parent_len > 0 ? name : " ";
    int prefix_len = kp.parent_len > 0 ? static_cast<int>(kp.parent_len) : 1;
    trace_print(tc, 4, "proprch_insert: Key %.*s has following : depth = %d, subkey = %.*s, prefix = %.*s", n,
                name, static_cast<int>(kp.depth), static_cast<int>(kp.last_len), name + kp.last_off, prefix_len,
                prefix);
}

u32 ensure_tables(proprch_ctx *ctx, u32 depth)
{
    while (ctx->proprch_ctx_hashtable_num < depth) {
        if (table_create(ctx, ctx->proprch_ctx_hashtable_num + 1) != PROP_OK) return PROP_E_NOMEM;
        ctx->proprch_ctx_hashtable_num++;
    }
    return PROP_OK;
}

// Walks from the key up towards depth 1, creating every element that is
// missing and listing each in its parent; stops at the first cached
// ancestor.  A colliding element is evicted with its subtree.  *own, when
// given, receives the key's own element.
u32 insert_chain(proprch_ctx *ctx, const char *name, size_t len, u32 status, proprch_hashelement **own = nullptr)
{
    proprch_hashelement *child = nullptr;  // the element made one step before
    proprch_hashelement *made = nullptr;   // the highest element made so far
    for (size_t cur = len;;) {
        proprch_hashelement *found = nullptr;
        keyparts kp;
        u32 rc = find(ctx, name, cur, &found, &kp);
        log_step(ctx, name, cur, kp);
        if (rc == PROP_OK) {
            if (child != nullptr && child_add(ctx, found, child) != PROP_OK)
                return undo_chain(ctx, made, PROP_E_NOMEM);
            revive_chain(ctx, found);
            return PROP_OK;
        }
        if (rc != PROP_R_NOTCACHED && rc != PROP_R_COLLIDED) return undo_chain(ctx, made, PROP_E_STORAGE);
        if (rc == PROP_R_COLLIDED) {
            trace_print(cache_trace(ctx), 2,
                        "proprch_insert: Collided with key %s, hashkey %s\n Evicting recursively to make space",
                        found->keyname, found->hashkey);
            drop(ctx, found);
        }
        hashkey_buf hk;
        build_hashkey(name, kp, &hk);  // find built it already
        proprch_hashelement *elem = element_create(ctx, name, cur, kp, hk, status);
        if (elem == nullptr) return undo_chain(ctx, made, PROP_E_NOMEM);
        if (child != nullptr && child_add(ctx, elem, child) != PROP_OK) {
            element_free(ctx->proprch_ctx_metactx, elem);
            return undo_chain(ctx, made, PROP_E_NOMEM);
        }
        rc = table_insert(ctx, elem);
        if (rc != PROP_OK) {
            element_free(ctx->proprch_ctx_metactx, elem);
            return undo_chain(ctx, made, rc);
        }
        if (own != nullptr && made == nullptr) *own = elem;
        made = child = elem;
        if (kp.depth == 1) return PROP_OK;
        cur = kp.parent_len;
    }
}

}  // namespace

u32 proprch_insert(proprch_ctx *cache, const char *keyname, u32 flags)
{
    if (cache == nullptr) return PROP_E_STORAGE;
    trace_print(cache_trace(cache), 4,
                "proprch_insert: The parameters are : cachectx = [%p] keyname = [%s] flags = [0x%x]",
                static_cast<void *>(cache), keyname != nullptr ? keyname : "", flags);
    if (keyname == nullptr || *keyname == '\0') {
        trace_print(cache_trace(cache), 0, "proprch_insert: EMPTY or NULL keyname.");
        return PROP_E_STORAGE;
    }
    if (cache_is_off(cache)) return PROP_E_STORAGE;
    size_t len = std::strlen(keyname);
    RwGuard lock(&cache->proprch_ctx_rwlock, lock_mode(flags, RwGuard::Exclusive));
    proprch_hashelement *e = nullptr;
    keyparts kp;
    u32 rc = find(cache, keyname, len, &e, &kp);
    if (rc == PROP_OK) {
        if (e->status == PROPRCH_DELETE_TRANSIENT) {
            revive_chain(cache, e);
            return PROP_OK;
        }
        trace_print(cache_trace(cache), 4, "proprch_insert: Key is already cached");
        return PROP_R_CACHED;
    }
    trace_print(cache_trace(cache), 4, "proprch_insert: Key is not cached");
    trace_print(cache_trace(cache), 4, "proprch_insert: Key depth for key %s is %d", keyname,
                static_cast<int>(kp.depth));
    if (rc == PROP_E_STORAGE || kp.depth == 0 || kp.depth > PROPRCH_HASHTABLE_MAX) return PROP_E_STORAGE;
    if (ensure_tables(cache, kp.depth) != PROP_OK) return PROP_E_NOMEM;
    trace_print(cache_trace(cache), 4,
                "proprch_insert: The necessary hashtables for depth now present  key name = [%s] keyname lenght = %d",
                keyname, static_cast<int>(len));
    return insert_chain(cache, keyname, len,
                        in_batch(flags) ? PROPRCH_CREATE_TRANSIENT : PROPRCH_PERMANENT);
}

u32 proprch_insert_addr(proprch_ctx *cache, const char *keyname, u32 tnodeaddr, u32 flags)
{
    if (cache == nullptr || keyname == nullptr || *keyname == '\0' || cache_is_off(cache)) return PROP_E_STORAGE;
    const size_t len = std::strlen(keyname);
    RwGuard lock(&cache->proprch_ctx_rwlock, lock_mode(flags, RwGuard::Exclusive));
    proprch_hashelement *e = nullptr;
    keyparts kp;
    u32 rc = find(cache, keyname, len, &e, &kp);
    if (rc == PROP_OK) return PROP_R_CACHED;
    if (rc == PROP_E_STORAGE || kp.depth == 0 || kp.depth > PROPRCH_HASHTABLE_MAX) return PROP_E_STORAGE;
    if (ensure_tables(cache, kp.depth) != PROP_OK) return PROP_E_NOMEM;
    e = nullptr;
    rc = insert_chain(cache, keyname, len, in_batch(flags) ? PROPRCH_CREATE_TRANSIENT : PROPRCH_PERMANENT, &e);
    if (rc != PROP_OK || e == nullptr) return rc;
    std::atomic_ref<u32>(e->addr).store(tnodeaddr, std::memory_order_relaxed);
    std::atomic_ref<u32>(e->addr_cached).store(1, std::memory_order_release);
    return PROP_OK;
}

u32 proprch_set_addr(proprch_ctx *cache, const char *keyname, u32 tnodeaddr, u32 depth, u32 flags)
{
    if (cache == nullptr) return PROP_E_STORAGE;
    trace_print(cache_trace(cache), 4,
                "proprch_set_addr: The parameters are : cachectx = [%p] keyname = [%s] tnodeaddr = [%d] depth = [%d] flags = [0x%x]",
                static_cast<void *>(cache), keyname != nullptr ? keyname : "", static_cast<int>(tnodeaddr),
                static_cast<int>(depth), flags);
    if (keyname == nullptr || *keyname == '\0') {
        trace_print(cache_trace(cache), 0, "proprch_set_addr: EMPTY or NULL keyname.");
        return PROP_E_STORAGE;
    }
    u32 rc = proprch_insert(cache, keyname, flags);
    if (rc != PROP_OK && rc != PROP_R_CACHED) return rc;
    RwGuard lock(&cache->proprch_ctx_rwlock, lock_mode(flags, RwGuard::Shared));
    proprch_hashelement *e = nullptr;
    keyparts kp;
    if (find(cache, keyname, std::strlen(keyname), &e, &kp) != PROP_OK) return PROP_E_STORAGE;
    MutexGuard guard(&e->mutex);
    trace_print(cache_trace(cache), 4, "proprch_set_addr: The earlier values: tnodeaddr cached [%d] tnodeaddr [%d]",
                static_cast<int>(e->addr_cached), static_cast<int>(e->addr));
    // A key whose tnode moves inside a batch keeps its new address only if
    // the batch commits.
    if (in_batch(flags) && e->status == PROPRCH_PERMANENT && e->addr_cached != 0 && e->addr != tnodeaddr) {
        e->status = PROPRCH_CREATE_TRANSIENT;
        track_status(cache, e);
    }
    std::atomic_ref<u32>(e->addr).store(tnodeaddr, std::memory_order_relaxed);
    std::atomic_ref<u32>(e->addr_cached).store(1, std::memory_order_release);
    return PROP_OK;
}

#include <cstring>

#include "cache/internal.h"

namespace propreg {

i32 child_slot(const proprch_hashelement *parent, const proprch_hashelement *child)
{
    auto holds = [&](i64 i) {
        return i >= 0 && i < parent->cached_max_subkey && parent->cached_subkey_list[i] != nullptr &&
               std::strcmp(parent->cached_subkey_list[i], child->hashkey) == 0;
    };
    if (holds(child->index)) return child->index;
    for (u32 i = 0; i < parent->cached_max_subkey; i++)
        if (holds(i)) return static_cast<i32>(i);
    return -1;
}

u32 traverse_delete(proprch_ctx *ctx, proprch_hashelement *elem, proprch_hashelement *parent, bool batch)
{
    trace_comp tc = cache_trace(ctx);
    u32 rc = PROP_OK;
    proprch_hashtable *below = table_at(ctx, elem->depth + 1);
    for (u32 i = 0; i < elem->cached_max_subkey; i++) {
        const char *key = elem->cached_subkey_list[i];
        if (key == nullptr) {
            trace_print(tc, 4, "proprch_hash_t_del:2: Child subkey for index [%d] empty in element with keyname [%s]",
                        static_cast<int>(i), elem->keyname);
            continue;
        }
        auto *child = below != nullptr ? static_cast<proprch_hashelement *>(strhash_search(below->table, key)) : nullptr;
        if (child == nullptr) {
            trace_print(tc, 1, "proprch_hash_t_del:2: Child subkey [%s] index [%d] not cached. Parent keyname [%s].",
                        key, static_cast<int>(i), elem->keyname);
            child_clear(ctx, elem, i);
            continue;
        }
        if (!is_parent(elem, child)) {
            trace_print(tc, 1,
                        "proprch_hash_t_del:3: Child subkey [%s] index [%d] collided Cached child element keyname [%s] Parent keyname [%s].",
                        key, static_cast<int>(i), child->keyname, elem->keyname);
            child_clear(ctx, elem, i);
            continue;
        }
        trace_print(tc, 4, "proprch_hash_traverse_delete: Before recur calling delete on [%s]", child->keyname);
        if (traverse_delete(ctx, child, elem, batch) != PROP_OK) rc = PROP_E_STORAGE;
        trace_print(tc, 4, "proprch_hash_traverse_delete: After recur calling delete on [%s]", key);
    }
    if (batch) {
        trace_print(tc, 4, "proprch_hash_traverse_delete: In batch: Set the state of hash element [%s] to DELETE_TRANSIENT",
                    elem->keyname);
        set_status(ctx, elem, parent, PROPRCH_DELETE_TRANSIENT);
    } else {
        trace_print(tc, 4, "proprch_hash_traverse_delete: Delete element [%s]", elem->keyname);
        table_remove(ctx, elem);
        element_free(ctx->proprch_ctx_metactx, elem);
    }
    return rc;
}

namespace {

// Takes elem out of its parent's child list (slot from child_slot, or -1).
void unlist(proprch_ctx *ctx, proprch_hashelement *parent, proprch_hashelement *elem, i32 slot)
{
    if (parent == nullptr) return;
    if (slot >= 0) child_clear(ctx, parent, static_cast<u32>(slot));
    if (elem->status == PROPRCH_DELETE_TRANSIENT && parent->cached_num_del_trans_subkey > 0)
        parent->cached_num_del_trans_subkey--;
}

}  // namespace

void drop(proprch_ctx *ctx, proprch_hashelement *elem)
{
    proprch_hashelement *parent = parent_of(ctx, elem);
    unlist(ctx, parent, elem, parent != nullptr ? child_slot(parent, elem) : -1);
    traverse_delete(ctx, elem, parent, false);
}

}  // namespace propreg

using namespace propreg;

u32 proprch_delete(proprch_ctx *cache, const char *keyname, u32 recurse, u32 depth, u32 flags)
{
    if (cache == nullptr) return PROP_E_STORAGE;
    trace_comp tc = cache_trace(cache);
    trace_print(tc, 4,
                "proprch_delete: The parameters are : cachectx = [%p] keyname = [%s] recurse = [%d] depth = [%d] flags = [0x%x]",
                static_cast<void *>(cache), keyname != nullptr ? keyname : "", static_cast<int>(recurse),
                static_cast<int>(depth), flags);
    if (keyname == nullptr || *keyname == '\0') {
        trace_print(tc, 0, "proprch_delete: EMPTY or NULL keyname.");
        return PROP_E_STORAGE;
    }
    if (cache_is_off(cache)) return PROP_E_STORAGE;
    RwGuard lock(&cache->proprch_ctx_rwlock, lock_mode(flags, RwGuard::Exclusive));
    proprch_hashelement *e = nullptr;
    keyparts kp;
    u32 rc = find(cache, keyname, std::strlen(keyname), &e, &kp);
    if (rc != PROP_OK) return rc == PROP_E_STORAGE ? rc : PROP_R_NOTCACHED;
    if (depth != 0 && depth != kp.depth)
        trace_print(tc, 1, "proprch_delete: depth [%d] passed for key [%s] is not same as calculated [%d]",
                    static_cast<int>(depth), keyname, static_cast<int>(kp.depth));
    if (recurse == 0 && e->cached_num_subkey != e->cached_num_del_trans_subkey) {
        trace_print(tc, 1,
                    "proprch_delete:trying to delete a key in cache that has children keyname = [%s] num subkeys [%d] num deleted transient subkeys [%d]",
                    keyname, static_cast<int>(e->cached_num_subkey), static_cast<int>(e->cached_num_del_trans_subkey));
        return PROP_E_NOTEMPTY;
    }

    u32 result = PROP_OK;
    proprch_hashelement *parent = parent_of(cache, e);
    if (kp.depth > 1 && parent == nullptr) {
        trace_print(tc, 1,
                    "proprch_delete:1:Deleted [%s] from cache.When trying to remove parent pointer, noticed that parent [%.*s] elem isn't cached",
                    keyname, static_cast<int>(kp.parent_len), keyname);
        result = PROP_E_STORAGE;
    }
    i32 slot = parent != nullptr ? child_slot(parent, e) : -1;
    if (parent != nullptr && slot < 0)
        trace_print(tc, 1, "proprch_delete:2:Deleted [%s] from cache. Parent ptr was incorrect", keyname);

    if (in_batch(flags)) {
        // The entries stay, marked, until the batch commits or rolls back.
        if (traverse_delete(cache, e, parent, true) != PROP_OK) result = PROP_E_STORAGE;
        return result;
    }
    unlist(cache, parent, e, slot);
    // A key without live children may still list children deleted in an
    // open batch: they go with it.
    if (traverse_delete(cache, e, parent, false) != PROP_OK) result = PROP_E_STORAGE;
    if (recurse == 0)
        trace_print(tc, 0, "proprch_delete: After delete [%s] Retval:[%d]", keyname, static_cast<int>(result));
    return result;
}

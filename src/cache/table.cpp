#include <cstring>

#include "cache/internal.h"
#include "core/alloc.h"

namespace propreg {

namespace {

// The bucket count and first size limit of a depth's table.
u32 initial_size(u32 depth)
{
    switch (depth) {
    case 1: return 5;
    case 3: return 80;
    case 4: return 400;
    default: return 40;
    }
}

void set_limits(proprch_hashtable *ht, u32 max)
{
    ht->hashkey_num_max = max;
    ht->hashkey_num_lwm = max * 20 / 100;
    ht->hashkey_num_hwm = max * 80 / 100;
}

void *meta_alloc(void *meta, size_t size)
{
    return u_allocm(static_cast<prop_metactx *>(meta), size);
}

void meta_free(void *meta, void *block)
{
    u_freem(static_cast<prop_metactx *>(meta), block);
}

void meta_free_elem(void *meta, void *elem)
{
    element_free(static_cast<prop_metactx *>(meta), static_cast<proprch_hashelement *>(elem));
}

}  // namespace

proprch_hashtable *table_at(proprch_ctx *ctx, u32 depth)
{
    if (depth == 0 || depth > ctx->proprch_ctx_hashtable_num) return nullptr;
    return &ctx->proprch_ctx_hashtable_array[depth - 1];
}

u32 table_create(proprch_ctx *ctx, u32 depth)
{
    strhash_ops ops{ctx->proprch_ctx_metactx, meta_alloc, meta_free, hashkey_bucket_hash, meta_free_elem};
    proprch_hashtable *ht = &ctx->proprch_ctx_hashtable_array[depth - 1];
    ht->table = strhash_create(initial_size(depth), &ops);
    if (ht->table == nullptr) return PROP_E_NOMEM;
    ht->hashkey_num = 0;
    set_limits(ht, initial_size(depth));
    return PROP_OK;
}

void table_destroy(proprch_ctx *ctx, u32 depth)
{
    proprch_hashtable *ht = &ctx->proprch_ctx_hashtable_array[depth - 1];
    strhash_destroy(ht->table);
    *ht = proprch_hashtable{};
}

u32 table_insert(proprch_ctx *ctx, proprch_hashelement *elem)
{
    proprch_hashtable *ht = table_at(ctx, elem->depth);
    if (ht->hashkey_num > ht->hashkey_num_hwm) {
        set_limits(ht, ht->hashkey_num_max * 2);
        // The chains grow with the limits, so a lookup stays one short
        // bucket walk; without memory for it the table just keeps its chains.
        strhash_resize(ht->table, ht->hashkey_num_max);
        trace_print(cache_trace(ctx), 2,
                    "proprch_hash_insert: Hash Table reconfigured :\n Max hashkey num : %d\n LWM hashkey num : %d\n HWM hashkey num : %d",
                    static_cast<int>(ht->hashkey_num_max), static_cast<int>(ht->hashkey_num_lwm),
                    static_cast<int>(ht->hashkey_num_hwm));
        trace_print(cache_trace(ctx), 2,
                    "proprch_hash_insert:1: Hash Table reconfigured : Depth : [%d] Current num : [%d] Max num : [%d]",
                    static_cast<int>(elem->depth), static_cast<int>(ht->hashkey_num),
                    static_cast<int>(ht->hashkey_num_max));
    }
    u32 rc = strhash_insert(ht->table, elem->hashkey, elem);
    if (rc != STRHASH_OK) {
        trace_print(cache_trace(ctx), 2, "proprch_insert: Key %s with hashkey %s insert failed", elem->keyname,
                    elem->hashkey);
        // Out of memory is 12 as everywhere else: 26 would end the process.
        return rc == STRHASH_NOMEM ? PROP_E_NOMEM : PROP_E_STORAGE;
    }
    ht->hashkey_num++;
    trace_print(cache_trace(ctx), 4, "proprch_insert: Key %s with hashkey %s inserted successfully",
                elem->keyname, elem->hashkey);
    return PROP_OK;
}

void table_remove(proprch_ctx *ctx, proprch_hashelement *elem)
{
    proprch_hashtable *ht = table_at(ctx, elem->depth);
    if (strhash_remove(ht->table, elem->hashkey) != nullptr) ht->hashkey_num--;
}

u32 find(proprch_ctx *ctx, const char *name, size_t len, proprch_hashelement **elem, keyparts *kp)
{
    *kp = parse_keyname(name, len);
    *elem = nullptr;
    if (kp->depth > PROPRCH_HASHTABLE_MAX) {
        trace_print(cache_trace(ctx), 4,
                    "proprch_keycached: Key [%.*s] has depth %d and is > PROPRCH_HASHTABLE_MAX. Key is not cached.",
                    static_cast<int>(len), name, static_cast<int>(kp->depth));
        return PROP_R_NOTCACHED;
    }
    proprch_hashtable *ht = table_at(ctx, kp->depth);
    if (ht == nullptr) return PROP_R_NOTCACHED;
    hashkey_buf hk;
    if (!build_hashkey(name, *kp, &hk)) return PROP_E_STORAGE;
    auto *e = static_cast<proprch_hashelement *>(strhash_search(ht->table, hk.text));
    if (e == nullptr) {
        trace_print(cache_trace(ctx), 4, "proprch_keycached:Hashkey %s not cached", hk.text);
        return PROP_R_NOTCACHED;
    }
    *elem = e;
    if (std::strncmp(e->keyname, name, len) != 0 || e->keyname[len] != '\0') {
        trace_print(cache_trace(ctx), 4, "proprch_keycached: Hashkey %s collided, but not cached", hk.text);
        return PROP_R_COLLIDED;
    }
    trace_print(cache_trace(ctx), 4, "proprch_keycached: Hashkey %s cached", hk.text);
    return PROP_OK;
}

proprch_hashelement *parent_of(proprch_ctx *ctx, const proprch_hashelement *elem)
{
    if (elem->depth <= 1) return nullptr;
    keyparts kp = parse_keyname(elem->keyname, std::strlen(elem->keyname));
    proprch_hashelement *parent = nullptr;
    keyparts pkp;
    return find(ctx, elem->keyname, kp.parent_len, &parent, &pkp) == PROP_OK ? parent : nullptr;
}

bool is_parent(const proprch_hashelement *parent, const proprch_hashelement *child)
{
    keyparts kp = parse_keyname(child->keyname, std::strlen(child->keyname));
    return std::strncmp(parent->keyname, child->keyname, kp.parent_len) == 0 &&
           parent->keyname[kp.parent_len] == '\0';
}

}  // namespace propreg

#include <cstddef>
#include <cstring>

#include "cache/internal.h"
#include "core/alloc.h"

namespace propreg {

namespace {

char *copy_string(prop_metactx *meta, const char *s)
{
    size_t n = std::strlen(s);
    auto *p = static_cast<char *>(u_allocm(meta, n + 1));
    if (p != nullptr) std::memcpy(p, s, n + 1);
    return p;
}

// Doubles parent's child list.
bool grow_subkey_list(proprch_ctx *ctx, proprch_hashelement *parent)
{
    trace_print(cache_trace(ctx), 4, "proprch_hash_update_hashelement: NEED TO UPDATE SUBKEY LIST current size = %d",
                static_cast<int>(parent->cached_max_subkey));
    u32 max = parent->cached_max_subkey * 2;
    char **list = u_alloc_array<char *>(ctx->proprch_ctx_metactx, max);
    if (list == nullptr) return false;
    std::memcpy(list, parent->cached_subkey_list, sizeof(char *) * parent->cached_max_subkey);
    u_freem(ctx->proprch_ctx_metactx, parent->cached_subkey_list);
    parent->cached_subkey_list = list;
    parent->cached_first_free_subkey = parent->cached_max_subkey;
    parent->cached_max_subkey = max;
    return true;
}

void unlink(proprch_link *l)
{
    l->prev->next = l->next;
    l->next->prev = l->prev;
    l->prev = l->next = l;
}

void link_before(proprch_link *head, proprch_link *l)
{
    l->prev = head->prev;
    l->next = head;
    head->prev->next = l;
    head->prev = l;
}

}  // namespace

void transient_lists_init(proprch_ctx *ctx)
{
    for (proprch_link &head : ctx->proprch_ctx_transient) head.prev = head.next = &head;
}

proprch_hashelement *element_of(proprch_link *link)
{
    return reinterpret_cast<proprch_hashelement *>(reinterpret_cast<char *>(link) -
                                                   offsetof(proprch_hashelement, transient));
}

void track_status(proprch_ctx *ctx, proprch_hashelement *elem)
{
    MutexGuard guard(&ctx->proprch_ctx_transient_mutex);
    unlink(&elem->transient);
    if (elem->status != PROPRCH_PERMANENT) link_before(transient_list(ctx, elem->status), &elem->transient);
}

proprch_hashelement *element_create(proprch_ctx *ctx, const char *name, size_t len, const keyparts &kp,
                                    const hashkey_buf &hk, u32 status)
{
    prop_metactx *meta = ctx->proprch_ctx_metactx;
    size_t hklen = std::strlen(hk.text);
    // The element and both its names in one block.
    MetaPtr<char> block(meta, static_cast<char *>(u_allocm(meta, sizeof(proprch_hashelement) + len + 1 + hklen + 1)));
    if (!block) return nullptr;
    MetaPtr<char *> list = MetaPtr<char *>::alloc(meta, PROPRCH_INITIAL_SUBKEYS);
    if (!list) return nullptr;
    auto *e = reinterpret_cast<proprch_hashelement *>(block.get());
    if (plat_mutex_init(&e->mutex) != 0) return nullptr;
    e->keyname = block.get() + sizeof(proprch_hashelement);
    std::memcpy(e->keyname, name, len);
    e->keyname[len] = '\0';
    e->hashkey = e->keyname + len + 1;
    std::memcpy(e->hashkey, hk.text, hklen + 1);
    e->depth = kp.depth;
    e->status = status;
    e->index = -1;
    e->cached_subkey_list = list.release();
    e->cached_max_subkey = PROPRCH_INITIAL_SUBKEYS;
    e->transient.prev = e->transient.next = &e->transient;
    track_status(ctx, e);
    block.release();
    return e;
}

// Runs under the exclusive lock, so the lists need no mutex here.
void element_free(prop_metactx *meta, proprch_hashelement *elem)
{
    unlink(&elem->transient);
    for (u32 i = 0; i < elem->cached_max_subkey; i++)
        if (elem->cached_subkey_list[i] != nullptr) u_freem(meta, elem->cached_subkey_list[i]);
    u_freem(meta, elem->cached_subkey_list);
    plat_mutex_destroy(&elem->mutex);
    u_freem(meta, elem);
}

u32 child_add(proprch_ctx *ctx, proprch_hashelement *parent, proprch_hashelement *child)
{
    MetaPtr<char> key(ctx->proprch_ctx_metactx, copy_string(ctx->proprch_ctx_metactx, child->hashkey));
    if (!key) return PROP_E_NOMEM;
    if (parent->cached_num_subkey == parent->cached_max_subkey && !grow_subkey_list(ctx, parent))
        return PROP_E_NOMEM;
    u32 slot = parent->cached_first_free_subkey;
    parent->cached_subkey_list[slot] = key.release();
    parent->cached_num_subkey++;
    child->index = static_cast<i32>(slot);
    u32 next = slot + 1;
    while (next < parent->cached_max_subkey && parent->cached_subkey_list[next] != nullptr) next++;
    parent->cached_first_free_subkey = next;
    return PROP_OK;
}

void child_clear(proprch_ctx *ctx, proprch_hashelement *parent, u32 i)
{
    u_freem(ctx->proprch_ctx_metactx, parent->cached_subkey_list[i]);
    parent->cached_subkey_list[i] = nullptr;
    parent->cached_num_subkey--;
    if (i < parent->cached_first_free_subkey) parent->cached_first_free_subkey = i;
}

void set_status(proprch_ctx *ctx, proprch_hashelement *elem, proprch_hashelement *parent, u32 status)
{
    bool was_deleted = elem->status == PROPRCH_DELETE_TRANSIENT;
    bool is_deleted = status == PROPRCH_DELETE_TRANSIENT;
    elem->status = status;
    track_status(ctx, elem);
    if (parent == nullptr || was_deleted == is_deleted) return;
    if (is_deleted)
        parent->cached_num_del_trans_subkey++;
    else if (parent->cached_num_del_trans_subkey > 0)
        parent->cached_num_del_trans_subkey--;
}

}  // namespace propreg

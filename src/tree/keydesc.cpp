#include "tree/keydesc.h"

#include <cstring>

#include "core/alloc.h"

key_desc *key_desc_alloc(prop_metactx *meta)
{
    return u_alloc_array<key_desc>(meta, 1);
}

void key_desc_free(prop_metactx *meta, key_desc *kd)
{
    if (kd == nullptr) return;
    if (kd->kd_name != nullptr) u_freem(meta, kd->kd_name);
    u_freem(meta, kd);
}

u32 key_desc_set_name(prop_metactx *meta, key_desc *kd, const char *name, u32 len)
{
    auto *copy = static_cast<char *>(u_allocm(meta, len + 1));
    if (copy == nullptr) return PROP_E_NOMEM;
    if (len != 0) std::memcpy(copy, name, len);
    copy[len] = '\0';
    if (kd->kd_name != nullptr) u_freem(meta, kd->kd_name);
    kd->kd_name = copy;
    kd->kd_namelen = len;
    return PROP_OK;
}

key_desc *key_desc_clone(prop_metactx *meta, const key_desc *kd)
{
    MetaPtr<key_desc> clone(meta, key_desc_alloc(meta));
    if (!clone) return nullptr;
    *clone = *kd;
    clone->kd_name = nullptr;
    if (kd->kd_name != nullptr && key_desc_set_name(meta, clone.get(), kd->kd_name, kd->kd_namelen) != 0)
        return nullptr;
    return clone.release();
}

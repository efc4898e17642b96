#include "keys/keypath.h"

#include <cstring>

#include "cache/cache.h"
#include "core/handle.h"
#include "core/keyname.h"

u32 propr_keyname_check(const char *name)
{
    size_t len = std::strlen(name);
    if (len == 0 || len > PROPR_KEYNAME_MAX) return PROP_E_ARG;
    size_t comp = 0;
    for (size_t i = 0; i <= len; i++) {
        if (i < len && name[i] != '.') {
            if (++comp > PROPR_KEYCOMP_MAX) return PROP_E_ARG;
            continue;
        }
        if (comp == 0) return PROP_E_ARG;
        comp = 0;
    }
    return PROP_OK;
}

bool keyname_components::next(std::string_view *comp)
{
    if (rest_.empty()) return false;
    size_t dot = rest_.find('.');
    *comp = rest_.substr(0, dot);
    rest_ = dot == std::string_view::npos ? std::string_view() : rest_.substr(dot + 1);
    return true;
}

u32 propr_keyname_split(prop_metactx *meta, const char *name, keyname_parts *out)
{
    if (std::strlen(name) > PROPR_KEYNAME_MAX) return PROP_E_STORAGE;
    if (u_get_keydepth(meta, name, &out->depth, out->last, out->parent) != 0) return PROP_E_STORAGE;
    return PROP_OK;
}

u32 propr_cached_addr(proprhandle *handle, const char *name, u32 *addr, u32 *parent_addr)
{
    *addr = 0;
    *parent_addr = 0;
    keyname_parts kp;
    if (propr_keyname_split(handle->metactx, name, &kp) != 0) return PROP_E_STORAGE;
    proprch_ctx *cache = handle->proprhandle_cache;
    u32 a = 0;
    if (proprch_get_addr(cache, name, &a, kp.depth, 0) != PROP_OK) return PROP_E_STORAGE;
    if (kp.depth >= 2 && proprch_get_addr(cache, kp.parent, parent_addr, kp.depth - 1, 0) != PROP_OK) {
        *parent_addr = 0;
        return PROP_E_STORAGE;
    }
    *addr = a;
    return PROP_OK;
}

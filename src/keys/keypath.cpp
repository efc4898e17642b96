#include "keys/keypath.h"

#include <algorithm>
#include <cstring>

#include "cache/cache.h"

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

void propr_keyname_split(const char *name, keyname_parts *out)
{
    std::string_view n(name);
    size_t dot = n.rfind('.');
    std::string_view last = dot == std::string_view::npos ? n : n.substr(dot + 1);
    std::string_view parent = dot == std::string_view::npos ? std::string_view(" ") : n.substr(0, dot);
    out->depth = static_cast<u32>(std::count(n.begin(), n.end(), '.')) + 1;
    std::memcpy(out->last, last.data(), last.size());
    out->last[last.size()] = '\0';
    std::memcpy(out->parent, parent.data(), parent.size());
    out->parent[parent.size()] = '\0';
}

u32 propr_cached_addr(proprhandle *handle, const char *name, const keyname_parts &kp, u32 *addr,
                      u32 *parent_addr)
{
    *addr = 0;
    *parent_addr = 0;
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

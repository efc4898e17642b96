#include "keys/keyplace.h"

#include <cstring>
#include <string_view>

#include "cache/cache.h"
#include "core/handle.h"
#include "keys/common.h"
#include "keys/keyhandle.h"
#include "keys/keypath.h"
#include "space/pagelist.h"
#include "tree/kce.h"

using namespace propreg;

namespace {

// Resolves name from the root: prefixes the cache knows are taken from it,
// the rest from the child-key entries, which are what the tree is.  Nothing
// is cached on the way.  0 and the place; 4 when a component does not
// exist; 26 or the read error.
u32 resolve(proprhandle *handle, const char *name, key_place *out)
{
    proprch_ctx *cache = handle->proprhandle_cache;
    char prefix[PROPR_KEYNAME_MAX + 1];
    char comp[PROPR_KEYCOMP_MAX + 1];
    size_t plen = 0;
    u32 addr = 0;  // the root key's tnode
    u32 parent = 0;
    keyname_components comps(name);
    std::string_view c;
    for (u32 depth = 1; comps.next(&c); depth++) {
        if (c.empty() || c.size() > PROPR_KEYCOMP_MAX || plen + c.size() + 1 > PROPR_KEYNAME_MAX)
            return PROP_E_STALE;  // no key can have this name
        if (plen != 0) prefix[plen++] = '.';
        std::memcpy(prefix + plen, c.data(), c.size());
        plen += c.size();
        prefix[plen] = '\0';
        parent = addr;
        if (proprch_get_addr(cache, prefix, &addr, depth, 0) == PROP_OK) continue;
        std::memcpy(comp, c.data(), c.size());
        comp[c.size()] = '\0';
        key_desc kd{};
        u32 rc = proprutfkce(handle, parent, comp, &kd);
        if (rc == PROP_R_NOTFOUND) return PROP_E_STALE;
        if (rc != PROP_R_FOUND) return keys_outward(rc);
        addr = kd.kd_tnode;
    }
    out->addr = addr;
    out->parent = parent;
    return PROP_OK;
}

// The parent of a key the cache knows: by the cache's invariant its parent
// is cached too; should it not be, the tree says.
u32 cached_parent(proprhandle *handle, const keyname_parts &n, u32 *parent)
{
    *parent = 0;
    if (n.depth <= 1) return PROP_OK;
    if (proprch_get_addr(handle->proprhandle_cache, n.parent, parent, n.depth - 1, 0) == PROP_OK) return PROP_OK;
    key_place p{};
    u32 rc = resolve(handle, n.parent, &p);
    *parent = p.addr;
    return rc;
}

bool freed_in_this_transaction(const proprhandle *handle, u32 page)
{
    return handle->proprhandle_free_page_list_used != 0 &&
           propr_pagelist_contains(handle->propr_handle_free_page_list, handle->proprhandle_free_page_list_used,
                                   handle->proprhandle_free_page_set, page);
}

u32 mismatch(const keycheck_texts &t, const char *name, u32 found, u32 own)
{
    trace_print(keys_raw(), 0,
                "%s: Addr for [%s] retrieved from cache [%d] did not match the one from the handle [%d]. %s passed is "
                "invalid. Return [%d].",
                t.mismatch_op, name, static_cast<int>(found), static_cast<int>(own), t.mismatch_role, PROP_E_KEYH);
    return PROP_E_KEYH;
}

u32 missing(const keycheck_texts &t, const char *name, u32 rc)
{
    trace_print(keys_raw(), 0, "%s: Could not find addr for [%s] in backend cache.%s passed is invalid. Return [%d].",
                t.op, name, t.missing_role, static_cast<int>(rc));
    return rc;
}

// A cache miss at the CACHING level: the tree decides.
u32 place_from_tree(proprhandle *handle, const propr_keyhandle *kh, const keycheck_texts &t, u32 notcached_rc,
                    key_place *out)
{
    const char *name = kh->propr_keyhandle_keyname;
    u32 own = kh->propr_keyhandle_kdesc->kd_tnode;
    u32 rc = resolve(handle, name, out);
    if (rc == PROP_E_STALE) return missing(t, name, notcached_rc);
    if (rc != PROP_OK) {
        trace_print(keys_raw(), 0, "%s: Could not resolve [%s] in the tree. Return [%d].", t.op, name,
                    static_cast<int>(rc));
        return rc;
    }
    if (out->addr != own) return mismatch(t, name, out->addr, own);
    trace_print(keys_raw(), 3,
                "%s: Could not find addr for %s[%s] in backend cache. Using the one in the keyhandle [%d].", t.op,
                t.fallback_what, name, static_cast<int>(own));
    return PROP_OK;
}

}  // namespace

u32 propr_keyhandle_place(proprhandle *handle, const propr_keyhandle *kh, const keycheck_texts &t, u32 notcached_rc,
                          bool want_parent, key_place *out)
{
    const char *full = kh->propr_keyhandle_keyname;
    keyname_parts n;
    propr_keyname_split(full, &n);
    u32 own = kh->propr_keyhandle_kdesc->kd_tnode;
    u32 cached = 0;
    *out = {own, kh->propr_keyhandle_kdesc->kd_parent};
    if (proprch_get_addr(handle->proprhandle_cache, full, &cached, n.depth, 0) == PROP_OK) {
        if (cached != own) return mismatch(t, full, cached, own);
        if (want_parent) {
            if (u32 rc = cached_parent(handle, n, &out->parent); rc != PROP_OK)
                return rc == PROP_E_STALE ? missing(t, full, notcached_rc) : rc;
        }
    } else {
        u32 level = handle->proprhandle_bootlevel;
        if (level == PROP_LEVEL_READONLY) {
            trace_print(keys_raw(), 3,
                        "%s: Could not find addr for %s[%s] in backend cache. Using the one in the keyhandle [%d].",
                        t.op, t.fallback_what, full, static_cast<int>(own));
            return PROP_OK;
        }
        // The cache holds keys down to PROPRCH_HASHTABLE_MAX only: a deeper key
        // is never cached, so its handle is checked against the tree at every
        // level, as a cache miss is at the CACHING level.
        bool cacheable = n.depth <= PROPRCH_HASHTABLE_MAX;
        if (level != PROP_LEVEL_CACHING && cacheable) return missing(t, full, notcached_rc);
        if (u32 rc = place_from_tree(handle, kh, t, notcached_rc, out); rc != PROP_OK) return rc;
    }
    if (freed_in_this_transaction(handle, out->addr)) {
        trace_print(keys_raw(), 0,
                    "%s: Key [%s] was deleted in this transaction. Keyhandle passed is invalid. Return [%d].", t.op,
                    full, static_cast<int>(notcached_rc));
        return notcached_rc;
    }
    return PROP_OK;
}

void key_entry_of(const propr_keyhandle *kh, const key_place &at, key_entry *out)
{
    keyname_parts n;
    propr_keyname_split(kh->propr_keyhandle_keyname, &n);
    size_t len = std::strlen(n.last);
    std::memcpy(out->name, n.last, len + 1);
    out->kd = *kh->propr_keyhandle_kdesc;
    out->kd.kd_name = out->name;
    out->kd.kd_namelen = static_cast<u32>(len);
    out->kd.kd_tnode = at.addr;
    out->kd.kd_parent = at.parent;
}

// Opening a key walks the tree from the root one component at a time,
// taking what the key cache knows and asking the child-key entries for the
// rest; closing gives the handle back.  Neither changes the store.
#include <cstring>

#include "cache/cache.h"
#include "io/pagecache.h"
#include "keys/common.h"
#include "keys/keyhandle.h"
#include "keys/keypath.h"
#include "keys/keyplace.h"
#include "keys/keys.h"
#include "tree/kce.h"
#include "tree/tnode.h"

using namespace propreg;

namespace {

// Resolves keyname component by component, leaving the key in d.child and
// its parent in d.parent.  Prefixes found on the way are cached as
// permanent entries: they name keys that exist whatever happens next.
// Where the key cache is off, a child of a key just listed is found in the
// listing the page cache keeps.
// 0, 4 when a component does not exist, or the child-key lookup's error.
u32 open_walk(proprhandle *handle, const char *keyname, desc_pair &d)
{
    proprch_ctx *cache = handle->proprhandle_cache;
    char prefix[PROPR_KEYNAME_MAX + 1] = "";
    size_t plen = 0;
    char comp[PROPR_KEYCOMP_MAX + 1];
    keyname_components comps(keyname);
    std::string_view c;
    comps.next(&c);
    d.parent->kd_tnode = 0;  // the root key's tnode
    for (u32 depth = 1;; depth++) {
        std::memcpy(comp, c.data(), c.size());
        comp[c.size()] = '\0';
        std::memcpy(prefix + plen, comp, c.size() + 1);
        plen += c.size();

        trace_print(keys_raw(), 4, "propropen: Check if addr for key [%s] is cached", prefix);
        u32 addr = 0;
        if (proprch_get_addr(cache, prefix, &addr, depth, 0) == PROP_OK ||
            (!proprch_is_on(cache) && (addr = pagecache_listed_child(handle, d.parent->kd_tnode, comp)) != 0)) {
            trace_print(keys_raw(), 4, "propropen: Addr [%d] for key [%s] found in cache", static_cast<int>(addr),
                        prefix);
            d.child->kd_tnode = addr;
            d.child->kd_parent = d.parent->kd_tnode;
        } else {
            trace_print(keys_raw(), 4, "propropen: key comp is %s", comp);
            u32 rc = proprutfkce(handle, d.parent->kd_tnode, comp, d.child);
            if (rc == PROP_R_NOTFOUND) {
                trace_print(keys_raw(), 4, "propropen: Could not find a match");
                return PROP_E_STALE;
            }
            if (rc != PROP_R_FOUND) {
                trace_print(keys_raw(), 0, "propropen: Failed in finding key comp entry [%d]", static_cast<int>(rc));
                return keys_outward(rc);
            }
            trace_print(keys_raw(), 4, "propropen: Insert addr [%d] for key [%s] in cache",
                        static_cast<int>(d.child->kd_tnode), prefix);
            proprch_set_addr(cache, prefix, d.child->kd_tnode, depth, 0);
        }
        trace_print(keys_raw(), 4, "propropen: returned from proprutfkce ");
        if (!comps.next(&c)) {
            trace_print(keys_raw(), 4, "propropen: breaking from the while loop");
            return PROP_OK;
        }
        prefix[plen++] = '.';
        d.child->kd_parent = d.parent->kd_tnode;
        d.step();
        trace_print(keys_raw(), 4, "propropen: key_comp_name = %s, parent_addr = %d,child_addr = %d", comp,
                    static_cast<int>(d.child->kd_parent), static_cast<int>(d.parent->kd_tnode));
    }
}

// Builds the handle of the key the walk left in d.child.
u32 open_handle(proprhandle *handle, const char *keyname, const keyname_parts &kp, desc_pair &d,
                propr_keyhandle **out)
{
    prop_metactx *meta = handle->metactx;
    key_desc *kd = d.child;
    if (key_desc_set_name(meta, kd, kp.last, static_cast<u32>(std::strlen(kp.last))) != PROP_OK) {
        trace_print(keys_raw(), 0, "propropen: could not allocate memory 3");
        return PROP_E_NOMEM;
    }
    kd->kd_parent = d.parent->kd_tnode;
    kd->kd_loc_page = 0;
    kd->kd_loc_slot = 0;

    tnode node{};
    keys_block raw;
    if (proprutrtnode(handle, &node, kd->kd_tnode, raw.b, 0) != PROP_OK) {
        trace_print(keys_raw(), 0, "propropen:0: could not read tnode addrd=%d", static_cast<int>(kd->kd_tnode));
        return PROP_E_STORAGE;
    }
    sec_attr sec{};
    if (u32 kind = keys_tnode_security(handle, &node, &sec); kind != 0) {
        trace_print(keys_raw(), 0, kind == 1 ? "propropen:1: could not get name for id"
                                             : "propropen:2: could not get name for id");
        return PROP_E_STORAGE;
    }
    propr_keyhandle *kh = propr_keyhandle_make(handle, keyname, kd);
    if (kh == nullptr) {
        trace_print(keys_raw(), 0, "propropen: could not allocate memory 2");
        return PROP_E_NOMEM;
    }
    d.take_child();
    trace_print(keys_raw(), 4, "propropen: Memory allocation fine1, parent addr = %d",
                static_cast<int>(kd->kd_parent));
    kh->propr_keyhandle_sec = sec;
    kh->propr_keyhandle_depth = kp.depth;
    kh->propr_keyhandle_valsize = node.value_size;
    trace_print(keys_raw(), 4, "propropenkey: Value size is %d", static_cast<int>(node.value_size));
    u_set_tag(kh->propr_keyhandle_tag, PROPR_KEYHANDLE_TAG);
    *out = kh;
    return PROP_OK;
}

}  // namespace

u32 propropen(backend_ctx *ctx, const char *keyname, propr_keyhandle **keyhandle, u32 flags)
{
    if (ctx == nullptr) {
        trace_print(keys_raw(), 0, "propropen: Null context passed ");
        return PROP_E_CTX;
    }
    if (keyname == nullptr || keyhandle == nullptr) {
        trace_print(keys_raw(), 0, "propropen: Null keyname or keyhandle passed ");
        return PROP_E_NULL;
    }
    if (propr_keyname_check(keyname) != PROP_OK) {
        trace_print(keys_raw(), 0, "propropen: Key name [%.64s] is empty, too long or has an empty component",
                    keyname);
        return PROP_E_ARG;
    }
    RwGuard lock(&ctx->prop_rwlock, ctx_lock_mode(flags));
    proprhandle *handle = ctx->propb_ctx;
    if (handle == nullptr) {
        trace_print(keys_raw(), 0, "propropen: Backend context passed is null");
        return PROP_E_CTX;
    }
    trace_print(keys_raw(), 4, "propropen: Checking first  %d, metactx= %x", static_cast<int>(std::strlen(keyname)),
                u_ptr32(handle->metactx));
    desc_pair d(handle->metactx);
    if (!d.ok()) {
        trace_print(keys_raw(), 0, "propropen: problem allocating memory");
        return PROP_E_NOMEM;
    }
    trace_print(keys_raw(), 4, "propropen: Check if addr for key [%s] is cached", keyname);
    u32 addr = 0;
    u32 parent_addr = 0;
    keyname_parts kp;
    propr_keyname_split(keyname, &kp);
    if (propr_cached_addr(handle, keyname, kp, &addr, &parent_addr) == PROP_OK) {
        trace_print(keys_raw(), 4, "propropen: Addr [%d] for key [%s] found in cache", static_cast<int>(addr),
                    keyname);
        d.child->kd_tnode = addr;
        d.parent->kd_tnode = parent_addr;
    } else if (u32 rc = open_walk(handle, keyname, d); rc != PROP_OK) {
        return rc;
    }
    trace_print(keys_raw(), 4, "propropen: Out of while loop");
    if (u32 rc = open_handle(handle, keyname, kp, d, keyhandle); rc != PROP_OK) {
        *keyhandle = nullptr;
        return rc;
    }
    trace_print(keys_raw(), 4, "propropen: returning from propropen");
    return PROP_OK;
}

u32 proprcls(backend_ctx *ctx, propr_keyhandle *keyhandle)
{
    if (!ctx_valid(ctx)) {
        trace_print(keys_raw(), 0, "prcls: NULL context passed");
        return PROP_E_CTX;
    }
    proprhandle *handle = ctx->propb_ctx;
    if (handle == nullptr) {
        trace_print(keys_raw(), 0, "proprcls: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    if (keyhandle == nullptr) {
        trace_print(keys_raw(), 0, "prcls: NULL keyhandle passed");
        return PROP_E_KEYH;
    }
    if (propr_keyhandle_valid(keyhandle) && keyhandle->propr_keyhandle_kdesc == nullptr)
        trace_print(keys_raw(), 2, "prcls: key handle passed is null");
    if (propr_keyhandle_close(handle, keyhandle) != PROP_OK) {
        trace_print(keys_raw(), 0, "prcls: key handle passed is not open (closed already?)");
        return PROP_E_KEYH;
    }
    return PROP_OK;
}

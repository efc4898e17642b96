// Moving a key: its entry leaves the old parent and a new entry, under the
// new name, points the target parent at the same tnode.  Nothing below the
// key is written, so a subtree of any size moves in the same few page
// writes; only a move to a longer name reads the subtree, to be sure no
// name below grows past the limit.  Every refusal is decided before the
// transaction begins.
#include <cstring>

#include "cache/cache.h"
#include "core/alloc.h"
#include "keys/common.h"
#include "keys/keyhandle.h"
#include "keys/keypath.h"
#include "keys/keyplace.h"
#include "keys/treeops.h"
#include "space/fcl.h"
#include "tree/kce.h"
#include "txn/commit.h"
#include "txn/log.h"

using namespace propreg;

namespace {

constexpr keycheck_texts kSrcTexts{"prmvkey", "prdval", "Src Keyhandle", "Src keyhandle", "src key "};
constexpr keycheck_texts kParentTexts{"prmvkey", "prdval", "Parent tgt keyhandle", "Parent tgt keyhandle",
                                      "parent tgt key "};

// name is prefix itself or lies below it.
bool within(const char *name, const char *prefix)
{
    size_t n = std::strlen(prefix);
    return std::strncmp(name, prefix, n) == 0 && (name[n] == '\0' || name[n] == '.');
}

struct move_keys {
    propr_keyhandle *src;
    propr_keyhandle *parent;
    propr_keyhandle *tgt;  // may be null
    const char *subkey;
};

struct move_plan {
    key_place src{};
    key_place parent{};
    key_place tgt{};
};

// The target: where it lies must not be inside the moved subtree, and the
// replaced key, if any, must be the one under that name and must not hold
// the source.
u32 check_target(proprhandle *handle, const move_keys &k, const move_plan &p)
{
    const char *src = k.src->propr_keyhandle_keyname;
    const char *parent = k.parent->propr_keyhandle_keyname;
    if (within(parent, src) || p.parent.addr == p.src.addr) {
        trace_print(keys_raw(), 0, "prmvkey: target parent [%s] lies in the subtree of [%s]", parent, src);
        return PROP_E_ARG;
    }
    if (k.tgt != nullptr) {
        const char *tgt = k.tgt->propr_keyhandle_keyname;
        if (within(src, tgt) || p.tgt.addr == p.src.addr) {
            trace_print(keys_raw(), 0, "prmvkey: replacing [%s] would delete the source [%s]", tgt, src);
            return PROP_E_ARG;
        }
        keyname_parts n;
        propr_keyname_split(tgt, &n);
        if (p.tgt.parent != p.parent.addr || std::strcmp(n.last, k.subkey) != 0) {
            trace_print(keys_raw(), 0, "prmvkey: tgt [%s] is not [%s] under [%s]", tgt, k.subkey, parent);
            return PROP_E_ARG;
        }
    }
    key_desc found{};
    u32 rc = proprutfkce(handle, p.parent.addr, k.subkey, &found);
    if (rc == PROP_R_NOTFOUND) return k.tgt == nullptr ? PROP_OK : PROP_E_ARG;
    if (rc != PROP_R_FOUND) return keys_outward(rc);
    // Renaming a key to its own name finds the key itself.
    if (found.kd_tnode == p.src.addr || (k.tgt != nullptr && found.kd_tnode == p.tgt.addr)) return PROP_OK;
    trace_print(keys_raw(), 0, "prmvkey: [%s] exists under [%s] and no handle of it was passed", k.subkey, parent);
    return PROP_E_EXISTS;
}

// Every key of the moved subtree keeps a name the walks can take.  A name
// no longer than before cannot push any name below it past the limit, so
// only a longer one costs a walk of the subtree.
u32 check_names(proprhandle *handle, const move_keys &k, const move_plan &p)
{
    size_t was = std::strlen(k.src->propr_keyhandle_keyname);
    size_t now = std::strlen(k.parent->propr_keyhandle_keyname) + 1 + std::strlen(k.subkey);
    if (now <= was) return PROP_OK;
    u32 room = PROPR_KEYNAME_MAX - static_cast<u32>(now);
    u32 longest = 0;
    if (u32 rc = proprsubtree_longest_name(handle, p.src.addr, room, &longest); rc != PROP_OK) return rc;
    if (longest <= room) return PROP_OK;
    trace_print(keys_raw(), 0, "prmvkey: a key below [%s] would get a name of more than %d characters",
                k.src->propr_keyhandle_keyname, static_cast<int>(PROPR_KEYNAME_MAX));
    return PROP_E_ARG;
}

// Everything that can refuse the move, before anything is written.
u32 plan_move(proprhandle *handle, const move_keys &k, move_plan *p)
{
    if (u32 rc = propr_keyhandle_place(handle, k.src, kSrcTexts, PROP_E_STALE, true, &p->src); rc != PROP_OK) return rc;
    if (u32 rc = propr_keyhandle_place(handle, k.parent, kParentTexts, PROP_E_STALE, false, &p->parent); rc != PROP_OK)
        return rc;
    if (k.tgt != nullptr) {
        if (u32 rc = propr_keyhandle_place(handle, k.tgt, keycheck_texts_of("prmvkey"), PROP_E_STALE, true, &p->tgt);
            rc != PROP_OK)
            return rc;
    }
    if (u32 rc = check_target(handle, k, *p); rc != PROP_OK) return rc;
    return check_names(handle, k, *p);
}

// The handle of the moved key, made before the transaction so that running
// out of memory changes nothing.
u32 make_result(proprhandle *handle, const move_keys &k, const move_plan &p, propr_keyhandle **out)
{
    prop_metactx *meta = handle->metactx;
    const char *parent = k.parent->propr_keyhandle_keyname;
    size_t plen = std::strlen(parent);
    size_t slen = std::strlen(k.subkey);
    char full[PROPR_KEYNAME_MAX + 1];
    std::memcpy(full, parent, plen);
    full[plen] = '.';
    std::memcpy(full + plen + 1, k.subkey, slen + 1);

    key_desc *kd = key_desc_clone(meta, k.src->propr_keyhandle_kdesc);
    if (kd == nullptr || key_desc_set_name(meta, kd, k.subkey, static_cast<u32>(slen)) != PROP_OK) {
        key_desc_free(meta, kd);
        trace_print(keys_raw(), 0, "prmvkey:11:Cannot allocate result key desc");
        return PROP_E_NOMEM;
    }
    kd->kd_tnode = p.src.addr;
    kd->kd_parent = p.parent.addr;
    propr_keyhandle *kh = propr_keyhandle_make(handle, full, kd);
    if (kh == nullptr) {
        key_desc_free(meta, kd);
        trace_print(keys_raw(), 0, "prmvkey:12:Cannot allocate result key handle");
        return PROP_E_NOMEM;
    }
    kh->propr_keyhandle_sec = k.src->propr_keyhandle_sec;
    kh->propr_keyhandle_valsize = k.src->propr_keyhandle_valsize;
    kh->propr_keyhandle_depth = k.parent->propr_keyhandle_depth + 1;
    u_set_tag(kh->propr_keyhandle_tag, PROPR_KEYHANDLE_TAG);
    *out = kh;
    return PROP_OK;
}

// The replaced key goes with its subtree, in the same transaction.
u32 remove_target(backend_ctx *ctx, const move_keys &k, const move_plan &p, u32 flags)
{
    proprhandle *handle = ctx->propb_ctx;
    key_entry tgt;
    key_entry_of(k.tgt, p.tgt, &tgt);
    if (u32 rc = proprdkrec(ctx, handle, p.tgt.addr, &tgt.kd, flags); rc != PROP_OK) {
        trace_print(keys_raw(), 0, "prmvkey: Could not delete tgt recursively");
        return rc;
    }
    if (proprutdkce(handle, &tgt.kd, flags | PROPR_FREE_DEFERRED) != PROP_OK) {
        trace_print(keys_raw(), 0, "prmvkey: Could not delete tgt KCE from parent tgt tnode");
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

// Re-links the source under the target parent.  Any failure is returned
// for the caller to roll back.
u32 relink(backend_ctx *ctx, const move_keys &k, const move_plan &p, propr_keyhandle *result, u32 flags)
{
    proprhandle *handle = ctx->propb_ctx;
    if (keys_log_once(handle, p.parent.addr, nullptr) != PROP_OK) {
        trace_print(keys_raw(), 0, "prmvkey: Problem in writing log parent tgt tnode");
        return PROP_E_STORAGE;
    }
    if (k.tgt != nullptr) {
        if (u32 rc = remove_target(ctx, k, p, flags); rc != PROP_OK) return rc;
    }
    if (keys_log_once(handle, p.src.parent, nullptr) != PROP_OK) {
        trace_print(keys_raw(), 0, "prmvkey: Problem in writing log (parent tnode)");
        return PROP_E_STORAGE;
    }
    key_entry src;
    key_entry_of(k.src, p.src, &src);
    if (proprutdkce(handle, &src.kd, flags | PROPR_FREE_DEFERRED) != PROP_OK) {
        trace_print(keys_raw(), 0, "prmvkey: Could not delete src KCE from parent src tnode");
        return PROP_E_STORAGE;
    }
    key_desc parent{};
    parent.kd_tnode = p.parent.addr;
    if (u32 rc = proprutckce(handle, result->propr_keyhandle_kdesc, &parent); rc != PROP_OK) {
        trace_print(keys_raw(), 0, "prmvkey:2:Cannot create src KCE inside parent tgt tnode");
        return keys_outward(rc);
    }
    return PROP_OK;
}

void update_cache(proprhandle *handle, const move_keys &k, const propr_keyhandle *result, u32 flags)
{
    proprch_ctx *cache = handle->proprhandle_cache;
    u32 batch = flags & PROP_FLAG_IN_BATCH;
    const char *src = k.src->propr_keyhandle_keyname;
    trace_print(keys_raw(), 4, "prmvkey: Deleting src key [%s] from backend cache", src);
    u32 rc = proprch_delete(cache, src, 1, k.src->propr_keyhandle_depth, batch);
    if (rc != PROP_OK && rc != PROP_R_NOTCACHED)
        trace_print(keys_raw(), 0, "prmvkey: Problem deleting src key [%s] from backend cache %d", src,
                    static_cast<int>(rc));
    if (k.tgt != nullptr) {
        const char *tgt = k.tgt->propr_keyhandle_keyname;
        trace_print(keys_raw(), 4, "prmvkey: Deleting tgt key [%s] from backend cache", tgt);
        rc = proprch_delete(cache, tgt, 1, k.tgt->propr_keyhandle_depth, batch);
        if (rc != PROP_OK && rc != PROP_R_NOTCACHED)
            trace_print(keys_raw(), 0, "prmvkey: Problem deleting tgt key [%s] from backend cache %d", tgt,
                        static_cast<int>(rc));
    }
    u32 addr = result->propr_keyhandle_kdesc->kd_tnode;
    trace_print(keys_raw(), 4, "prmvkey: Insert addr [%d] for key [%s] in cache", static_cast<int>(addr),
                result->propr_keyhandle_keyname);
    proprch_set_addr(cache, result->propr_keyhandle_keyname, addr, result->propr_keyhandle_depth, batch);
}

bool handle_ok(const propr_keyhandle *kh)
{
    return propr_keyhandle_valid(kh) && kh->propr_keyhandle_kdesc != nullptr;
}

// One component, and a new full name the walks can take.
bool subkey_ok(const char *subkey, const propr_keyhandle *parent)
{
    size_t len = std::strlen(subkey);
    return len != 0 && len <= PROPR_KEYCOMP_MAX && std::strchr(subkey, '.') == nullptr &&
           std::strlen(parent->propr_keyhandle_keyname) + 1 + len <= PROPR_KEYNAME_MAX;
}

// The checks of the handles and names passed in.
u32 check_args(const move_keys &k, propr_keyhandle **result)
{
    if (!propr_keyhandle_valid(k.src) || !propr_keyhandle_valid(k.parent)) {
        trace_print(keys_raw(), 0, "prmvkey: NULL or INVALID src or parent tgt keyh passed");
        return PROP_E_KEYH;
    }
    if (k.src->propr_keyhandle_kdesc == nullptr || k.parent->propr_keyhandle_kdesc == nullptr) {
        trace_print(keys_raw(), 0, "prmvkey: src/parent tgt propr keyh is null");
        return PROP_E_KEYH;
    }
    if (k.subkey == nullptr) {
        trace_print(keys_raw(), 0, "prmvkey: tgt subkey is null");
        return PROP_E_ARG;
    }
    if (propr_keyhandle_fixed(k.src)) {
        trace_print(keys_raw(), 0, "prmvkey: [%s] is a top-level key and is never moved",
                    k.src->propr_keyhandle_keyname);
        return PROP_E_ARG;
    }
    if (k.tgt != nullptr && !handle_ok(k.tgt)) {
        trace_print(keys_raw(), 0, "prmvkey: tgt propr keyh is null");
        return PROP_E_KEYH;
    }
    if (result == nullptr) {
        trace_print(keys_raw(), 0, "prmvkey: NULL result keyhandle passed");
        return PROP_E_NULL;
    }
    if (!subkey_ok(k.subkey, k.parent)) {
        trace_print(keys_raw(), 0, "prmvkey: tgt subkey [%.64s] is not one component or makes too long a name",
                    k.subkey);
        return PROP_E_ARG;
    }
    return PROP_OK;
}

}  // namespace

u32 prmvkey(backend_ctx *ctx, propr_keyhandle *src, propr_keyhandle *tgt_parent, const char *tgt_subkey,
            propr_keyhandle *tgt, propr_keyhandle **result, u32 flags)
{
    if (result != nullptr) *result = nullptr;
    if (!ctx_valid(ctx)) {
        trace_print(keys_raw(), 0, "prmvkey: Null or invalid context passed ");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, ctx_lock_mode(flags));
    proprhandle *handle = ctx->propb_ctx;
    if (handle == nullptr) {
        trace_print(keys_raw(), 0, "prmvkey: Backend context passed is null");
        return PROP_E_CTX;
    }
    trace_print(keys_raw(), 4, "prmvkey: inside proprmvkey");
    move_keys k{src, tgt_parent, tgt, tgt_subkey};
    if (u32 rc = check_args(k, result); rc != PROP_OK) return rc;
    move_plan p;
    if (u32 rc = plan_move(handle, k, &p); rc != PROP_OK) return rc;
    propr_keyhandle *moved = nullptr;
    if (u32 rc = make_result(handle, k, p, &moved); rc != PROP_OK) return rc;

    u32 opid = (flags & 1) != 0 ? PROP_BATCH_MOVE_KEY_ALT : PROP_BATCH_MOVE_KEY;
    if (!in_batch(flags) && proprutbeginlog(handle, opid) != PROP_OK) {
        trace_print(keys_raw(), 0, "prmvkey: Problem in begin log");
        propr_keyhandle_free(handle->metactx, moved);
        return PROP_E_STORAGE;
    }
    u32 rc = relink(ctx, k, p, moved, flags);
    if (rc == PROP_OK && !in_batch(flags)) rc = proprutfsu(handle);
    if (rc != PROP_OK) {
        propr_keyhandle_free(handle->metactx, moved);
        return keys_rollback(ctx, "prmvkey", rc);
    }
    update_cache(handle, k, moved, flags);
    *result = moved;
    return PROP_OK;
}

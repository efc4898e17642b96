// Creating keys: the subkey name is walked under the parent and every
// missing key along it is made, all inside one transaction.  The
// transaction begins only when the first key is about to be made, so
// creating a key that exists writes nothing.
#include <cstring>

#include "cache/cache.h"
#include "core/alloc.h"
#include "core/keyname.h"
#include "keys/common.h"
#include "keys/keyhandle.h"
#include "keys/keypath.h"
#include "keys/keyplace.h"
#include "keys/keys.h"
#include "tree/childnode.h"
#include "tree/kce.h"
#include "tree/security.h"
#include "tree/tnode.h"
#include "txn/commit.h"
#include "txn/log.h"

using namespace propreg;

namespace {

// The transaction a create runs in: the caller's (create-and-set, batch),
// or its own, begun on first need.
struct create_txn {
    u32 opid;
    bool open;              // a transaction is open: the caller's or begun here
    bool begun_here;        // this call began it and commits it
    const char *begin_msg;  // what a failed begin logs
    u32 cache_flags;        // PROP_FLAG_IN_BATCH inside a batch

    u32 ensure(proprhandle *handle)
    {
        if (open) return PROP_OK;
        if (proprutbeginlog(handle, opid) != PROP_OK) {
            trace_print(keys_raw(), 0, "%s", begin_msg);
            return PROP_E_STORAGE;
        }
        open = begun_here = true;
        return PROP_OK;
    }
    // Any failure undoes whatever transaction is open.
    u32 fail(backend_ctx *ctx, u32 rc) const { return open ? keys_rollback(ctx, "prcreatei", rc) : rc; }
};

struct create_names {
    char rel[PROPR_KEYNAME_MAX + 1];
    char full[PROPR_KEYNAME_MAX + 1];
};

// Whether subkey names a key below parent.  A subkey that begins with
// the parent's first component is written from the top and must continue
// the parent's whole name; any other is relative and always does.
bool names_below(const char *parent, const char *subkey)
{
    size_t root = std::strcspn(parent, ".");
    bool from_top = std::strncmp(parent, subkey, root) == 0 && (subkey[root] == '.' || subkey[root] == '\0');
    if (!from_top) return true;
    size_t plen = std::strlen(parent);
    return std::strncmp(subkey, parent, plen) == 0 && subkey[plen] == '.' && subkey[plen + 1] != '\0';
}

// The subkey relative to the parent, and the new key's full name.  A name
// that leads to no key below the parent is the caller's mistake (8), never
// a storage failure: at the CACHING level a 26 ends the process.
u32 make_names(proprhandle *handle, const char *parent, const char *subkey, create_names *n)
{
    if (propr_keyname_check(subkey) != PROP_OK) {
        trace_print(keys_raw(), 0, "prcreatei: Subkey name [%.64s] is empty, too long or has an empty component",
                    subkey);
        return PROP_E_ARG;
    }
    if (!names_below(parent, subkey)) {
        trace_print(keys_raw(), 0, "prcreatei: Failed to get the relative key name. Keyname [%s] subkey [%s]", parent,
                    subkey);
        return PROP_E_ARG;
    }
    // The name is sound, so only memory can fail here.
    if (u_ator(handle->metactx, parent, subkey, n->rel) != 0) {
        trace_print(keys_raw(), 0, "prcreatei: could not get the relative key nameKeyname [%s] subkey [%s]", parent,
                    subkey);
        return PROP_E_NOMEM;
    }
    size_t plen = std::strlen(parent);
    size_t rlen = std::strlen(n->rel);
    if (plen + 1 + rlen > PROPR_KEYNAME_MAX) {
        trace_print(keys_raw(), 0, "prcreatei: Key name [%s.%.64s] is too long", parent, n->rel);
        return PROP_E_ARG;
    }
    std::memcpy(n->full, parent, plen);
    n->full[plen] = '.';
    std::memcpy(n->full + plen + 1, n->rel, rlen + 1);
    return PROP_OK;
}

// One component of the walk: found (in the cache or among the parent's
// entries) or not.  101, 102 or the lookup's error.  Inside a batch a key
// found in the tree may be one the batch made, so it is cached as a
// transient entry: a rollback must not leave its address behind.
u32 find_component(proprhandle *handle, const char *prefix, u32 depth, const char *comp, desc_pair &d,
                   u32 cache_flags)
{
    trace_print(keys_raw(), 4, "prcreatei: Check if addr for key [%s] is cached", prefix);
    u32 addr = 0;
    if (proprch_get_addr(handle->proprhandle_cache, prefix, &addr, depth, 0) == PROP_OK) {
        trace_print(keys_raw(), 4, "prcreatei: Addr [%d] for key [%s] found in cache", static_cast<int>(addr),
                    prefix);
        d.child->kd_tnode = addr;
        d.child->kd_parent = d.parent->kd_tnode;
        return PROP_R_FOUND;
    }
    trace_print(keys_raw(), 4, "prcreatei: Check for comp %s under %s", comp,
                d.parent->kd_name != nullptr ? d.parent->kd_name : "");
    u32 rc = proprutfkce(handle, d.parent->kd_tnode, comp, d.child);
    if (rc != PROP_R_FOUND) return rc;
    d.child->kd_parent = d.parent->kd_tnode;
    trace_print(keys_raw(), 4, "prcreatei: Insert addr [%d] for key [%s] in cache",
                static_cast<int>(d.child->kd_tnode), prefix);
    proprch_set_addr(handle->proprhandle_cache, prefix, d.child->kd_tnode, depth, cache_flags);
    return PROP_R_FOUND;
}

struct walk_result {
    u32 depth;
    u32 disposition;
};

// Walks rel under the parent (whose tnode is at parent_addr), making every
// missing key with sec's security.  Below the first key made nothing can
// exist, so the rest are made without looking.  The new key is left in
// d.child.
u32 create_walk(proprhandle *handle, const propr_keyhandle *parent, u32 parent_addr, const char *rel,
                const sec_attr *sec, create_txn &txn, desc_pair &d, walk_result *out)
{
    prop_metactx *meta = handle->metactx;
    key_desc *clone = key_desc_clone(meta, parent->propr_keyhandle_kdesc);
    if (clone == nullptr) {
        trace_print(keys_raw(), 0, "prcreatei:2: could not allocate memory 3");
        return PROP_E_NOMEM;
    }
    key_desc_free(meta, d.parent);
    d.parent = clone;
    d.parent->kd_tnode = parent_addr;
    trace_print(keys_raw(), 4, "prcreate_key: AFTER CLONING: PARENT keydesc key name = [%s]",
                d.parent->kd_name != nullptr ? d.parent->kd_name : "");

    char prefix[PROPR_KEYNAME_MAX + 1];
    size_t plen = std::strlen(parent->propr_keyhandle_keyname);
    std::memcpy(prefix, parent->propr_keyhandle_keyname, plen);
    char comp[PROPR_KEYCOMP_MAX + 1];
    keyname_components comps(rel);
    std::string_view c;
    bool made = false;
    bool first = true;
    out->depth = parent->propr_keyhandle_depth;
    while (comps.next(&c)) {
        if (!first) d.step();  // the key of the last step is the parent of this one
        first = false;
        std::memcpy(comp, c.data(), c.size());
        comp[c.size()] = '\0';
        prefix[plen++] = '.';
        std::memcpy(prefix + plen, comp, c.size() + 1);
        plen += c.size();
        out->depth++;

        u32 rc = made ? PROP_R_NOTFOUND : find_component(handle, prefix, out->depth, comp, d, txn.cache_flags);
        if (rc == PROP_R_FOUND) {
            trace_print(keys_raw(), 4, "prcreatei: child key desc key name = %x", u_ptr32(d.child));
            if (key_desc_set_name(meta, d.child, comp, static_cast<u32>(c.size())) != PROP_OK) return PROP_E_NOMEM;
            out->disposition = PROP_DISP_EXISTED;
            continue;
        }
        if (rc != PROP_R_NOTFOUND) return keys_outward(rc);
        if (!made) {
            // A record that names no owner is refused before the transaction
            // begins: a key that exists never needed it.
            if (u32 src = proprssec_check(sec); src != PROP_OK) return src;
            if (u32 trc = txn.ensure(handle); trc != PROP_OK) return trc;
            if (keys_log_once(handle, d.parent->kd_tnode, nullptr) != PROP_OK) {
                trace_print(keys_raw(), 0, "prcreatei: Problem in writing log (parent tnode)");
                return PROP_E_STORAGE;
            }
        }
        out->disposition = PROP_DISP_CREATED;
        if (u32 crc = proprutcstnode(handle, d.parent, d.child, comp, sec); crc != PROP_OK) {
            trace_print(keys_raw(), 0, "prcreatei: FAILED in proprutcstnode call");
            return keys_outward(crc);
        }
        made = true;
    }
    return PROP_OK;
}

// Builds the new key's handle around d.child.  A key that existed gets its
// security and value size from its tnode, a new one the caller's record.
u32 create_handle(proprhandle *handle, const char *full, const walk_result &w, const sec_attr *sec, desc_pair &d,
                  propr_keyhandle **out)
{
    trace_print(keys_raw(), 4, "prcreatei: successfully created the key");
    prop_metactx *meta = handle->metactx;
    MetaPtr<propr_keyhandle> kh(meta, propr_keyhandle_make(handle, full, d.child));
    if (!kh) {
        trace_print(keys_raw(), 0, "prcreatei: could not allocate memory 2");
        return PROP_E_NOMEM;
    }
    key_desc *kd = d.take_child();
    // From here the record owns kd: free it with the record on failure.
    auto drop = [&](u32 rc) {
        propr_keyhandle_free(meta, kh.release());
        return rc;
    };
    trace_print(keys_raw(), 4, "prcreatei: THE RESULT KEYNAME IS [%s], PROPR_KEYname = %s", full,
                kd->kd_name != nullptr ? kd->kd_name : "");
    kh->propr_keyhandle_depth = w.depth;
    if (w.disposition == PROP_DISP_CREATED) {
        kh->propr_keyhandle_sec = *sec;
    } else {
        tnode node{};
        keys_block raw;
        if (proprutrtnode(handle, &node, kd->kd_tnode, raw.b, 0) != PROP_OK) {
            trace_print(keys_raw(), 0, "prcreatei: problem reading the tnode");
            return drop(PROP_E_STORAGE);
        }
        kh->propr_keyhandle_valsize = node.value_size;
        if (proprgsec_tnode(handle, kd, &node, &kh->propr_keyhandle_sec) != PROP_OK) return drop(PROP_E_STORAGE);
    }
    u_set_tag(kh->propr_keyhandle_tag, PROPR_KEYHANDLE_TAG);
    const sec_attr &hs = kh->propr_keyhandle_sec;
    trace_print(keys_raw(), 4,
                "prcreatei: returning from proprcreate_key: result_key name is [%s], tnode address is %d, original "
                "key_name = [%s], original  key_desc_name = [%s]",
                full, static_cast<int>(kd->kd_tnode), full, kd->kd_name != nullptr ? kd->kd_name : "");
    trace_print(keys_raw(), 4,
                "prcreatei: Sec attr stored in the handle after create is :\n username = [%.64s] groupname = [%.64s]\n "
                "userperm = [%d] groupperm = [%d] otherperm = [%d]",
                hs.username, hs.groupname, static_cast<int>(hs.userperm), static_cast<int>(hs.groupperm),
                static_cast<int>(hs.otherperm));
    *out = kh.release();
    return PROP_OK;
}

// The whole create up to (not including) the commit; every failure undoes
// the open transaction and hands out no handle.
u32 create_key(backend_ctx *ctx, propr_keyhandle *parent, const char *subkey, const sec_attr *sec,
               propr_keyhandle **keyhandle, u32 *disposition, create_txn &txn)
{
    proprhandle *handle = ctx->propb_ctx;
    const char *pname = parent->propr_keyhandle_keyname;
    trace_print(keys_raw(), 4, "prcreatei: inside proprcreate [%s]", pname);
    *keyhandle = nullptr;
    create_names n;
    if (u32 rc = make_names(handle, pname, subkey, &n); rc != PROP_OK) return txn.fail(ctx, rc);
    desc_pair d(handle->metactx);
    if (!d.ok()) {
        trace_print(keys_raw(), 0, "prcreatei: could not allocate memory 3");
        return txn.fail(ctx, PROP_E_NOMEM);
    }
    trace_print(keys_raw(), 4, "prcreatei: Checking if addr for key [%s] is cached", n.full);
    walk_result w{};
    u32 addr = 0;
    u32 parent_addr = 0;
    keyname_parts kp;
    propr_keyname_split(n.full, &kp);
    if (propr_cached_addr(handle, n.full, kp, &addr, &parent_addr) == PROP_OK) {
        trace_print(keys_raw(), 4, "prcreatei: Addr [%d] for key [%s] found in cache", static_cast<int>(addr), n.full);
        if (key_desc_set_name(handle->metactx, d.child, kp.last, static_cast<u32>(std::strlen(kp.last))) != PROP_OK) {
            trace_print(keys_raw(), 0, "prcreatei: could not allocate memory 3");
            return txn.fail(ctx, PROP_E_NOMEM);
        }
        d.child->kd_tnode = addr;
        d.child->kd_parent = parent_addr;
        w = {kp.depth, PROP_DISP_EXISTED};
    } else {
        if (u32 rc = propr_keyhandle_addr(handle, parent, "prcreatei", PROP_E_KEYH, &parent_addr); rc != PROP_OK)
            return txn.fail(ctx, rc);
        if (u32 rc = create_walk(handle, parent, parent_addr, n.rel, sec, txn, d, &w); rc != PROP_OK)
            return txn.fail(ctx, rc);
    }
    if (u32 rc = create_handle(handle, n.full, w, sec, d, keyhandle); rc != PROP_OK) return txn.fail(ctx, rc);
    *disposition = w.disposition;
    return PROP_OK;
}

// Commits a transaction this call began, then caches the new key: inside a
// batch as a transient entry that the batch's commit makes permanent.
u32 create_finish(backend_ctx *ctx, const create_txn &txn, propr_keyhandle **keyhandle, u32 flags, const char *op)
{
    proprhandle *handle = ctx->propb_ctx;
    propr_keyhandle *kh = *keyhandle;
    if (txn.begun_here) {
        if (u32 rc = proprutfsu(handle); rc != PROP_OK) {
            propr_keyhandle_free(handle->metactx, kh);
            *keyhandle = nullptr;
            return keys_rollback(ctx, op, rc);
        }
    }
    u32 addr = kh->propr_keyhandle_kdesc->kd_tnode;
    trace_print(keys_raw(), 4, "%s: Insert addr [%d] for key [%s] in cache", op, static_cast<int>(addr),
                kh->propr_keyhandle_keyname);
    proprch_set_addr(handle->proprhandle_cache, kh->propr_keyhandle_keyname, addr, kh->propr_keyhandle_depth,
                     flags & PROP_FLAG_IN_BATCH);
    return PROP_OK;
}

bool parent_ok(const propr_keyhandle *parent)
{
    return propr_keyhandle_valid(parent) && parent->propr_keyhandle_kdesc != nullptr;
}

}  // namespace

u32 prcreatei(backend_ctx *ctx, propr_keyhandle *parent, const char *subkey, const sec_attr *sec,
              propr_keyhandle **keyhandle, u32 *disposition, u32 own_txn, u32 flags)
{
    create_txn txn{PROP_BATCH_CREATE_KEY, own_txn == 0 || in_batch(flags), false, "prcreatei: problem in begin log",
                   flags & PROP_FLAG_IN_BATCH};
    if (!ctx_valid(ctx)) {
        if (keyhandle != nullptr) *keyhandle = nullptr;
        trace_print(keys_raw(), 0, "prcreatei: NULL context passed");
        return PROP_E_CTX;
    }
    if (ctx->propb_ctx == nullptr) {
        trace_print(keys_raw(), 0, "prcreatei: Backend context passed is null");
        return PROP_E_CTX;
    }
    if (!parent_ok(parent)) {
        if (keyhandle != nullptr) *keyhandle = nullptr;
        trace_print(keys_raw(), 0, "prcreatei: NULL keyhandle passed");
        return txn.fail(ctx, PROP_E_KEYH);
    }
    if (subkey == nullptr || sec == nullptr || keyhandle == nullptr || disposition == nullptr) {
        trace_print(keys_raw(), 0, "prcreatei: NULL subkey, security, keyhandle or disposition passed");
        return txn.fail(ctx, PROP_E_NULL);
    }
    if (u32 rc = create_key(ctx, parent, subkey, sec, keyhandle, disposition, txn); rc != PROP_OK) return rc;
    if (own_txn == 0) return PROP_OK;
    return create_finish(ctx, txn, keyhandle, flags, "prcreatei");
}

u32 proprcreate(backend_ctx *ctx, propr_keyhandle *parent, const char *subkey, const sec_attr *sec,
                propr_keyhandle **keyhandle, u32 *disposition, u32 flags)
{
    if (ctx == nullptr) {
        if (keyhandle != nullptr) *keyhandle = nullptr;
        trace_print(keys_raw(), 0, "\n proprcreate: NULL context passed");
        return PROP_E_CTX;
    }
    if (ctx->propb_ctx == nullptr) {
        trace_print(keys_raw(), 0, "proprcreate: Backend context passed is null");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, ctx_lock_mode(flags));
    sec_attr copy{};
    if (sec != nullptr) copy = *sec;
    return prcreatei(ctx, parent, subkey, sec != nullptr ? &copy : nullptr, keyhandle, disposition, 1, flags);
}

u32 prcnskey(backend_ctx *ctx, propr_keyhandle *parent, const char *subkey, const sec_attr *sec,
             propr_keyhandle **keyhandle, u32 *disposition, u32 dtype, const void *value, u32 size, u32 flags)
{
    if (!ctx_valid(ctx)) {
        trace_print(keys_raw(), 0, "prnskey: Null context passed ");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, ctx_lock_mode(flags));
    proprhandle *handle = ctx->propb_ctx;
    if (handle == nullptr) {
        trace_print(keys_raw(), 0, "prnskey: Backend context passed is null");
        return PROP_E_CTX;
    }
    trace_print(keys_raw(), 4, "prcnskey: Inside proprcnskey with flags %x", flags);
    if (!parent_ok(parent)) {
        trace_print(keys_raw(), 0, "prnskey: NULL keyhandle passed");
        return PROP_E_KEYH;
    }
    if (subkey == nullptr || sec == nullptr || keyhandle == nullptr || disposition == nullptr ||
        (value == nullptr && size > 0)) {
        trace_print(keys_raw(), 0, "prnskey: NULL subkey, security, keyhandle, disposition or value passed");
        return PROP_E_NULL;
    }
    // Refused before anything is made, so there is no creation to undo.
    if (size > PROPR_MAX_VALUE_SIZE) {
        trace_print(keys_raw(), 4, "prcnskey: Value too big");
        return PROP_E_TOOBIG;
    }
    if (dtype > PROPR_MAX_DATA_TYPE) {
        trace_print(keys_raw(), 0, "prcnskey: Data type [%u] does not fit in one byte", dtype);
        return PROP_E_ARG;
    }
    create_txn txn{PROP_BATCH_CREATE_SET, in_batch(flags), false, "prnskey: Problem in begin log",
                   flags & PROP_FLAG_IN_BATCH};
    sec_attr copy = *sec;
    if (u32 rc = create_key(ctx, parent, subkey, &copy, keyhandle, disposition, txn); rc != PROP_OK) return rc;
    trace_print(keys_raw(), 4, "prcnskey: returned after creating the key");
    if ((flags & PRZKV_FLAGS_NO_OVERWRITE) != 0) {
        trace_print(keys_raw(), 4, "prcnskey: the PRZKV_FLAGS_NO_OVERWRITE flag is set");
        // Nothing was made, so no transaction was begun: the existing key's
        // handle goes back with the refusal.
        if (*disposition == PROP_DISP_EXISTED) {
            trace_print(keys_raw(), 0, "prcnskey: key exists for the operation");
            return PROP_E_EXISTS;
        }
    }
    u32 rc = txn.ensure(handle);
    if (rc == PROP_OK) rc = proprsetvali(ctx, *keyhandle, dtype, value, size, 0, flags);
    if (rc != PROP_OK) {
        // proprsetvali has rolled back the creation with the value.
        propr_keyhandle_free(handle->metactx, *keyhandle);
        *keyhandle = nullptr;
        return rc;
    }
    rc = create_finish(ctx, txn, keyhandle, flags, "rcnskey");
    trace_print(keys_raw(), 4, "prcnskey: returned after creating and setting the key");
    return rc;
}

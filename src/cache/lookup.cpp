#include <atomic>
#include <cstring>

#include "cache/internal.h"

using namespace propreg;

u32 proprch_keycached(proprch_ctx *cache, const char *keyname, proprch_hashelement **element, u32)
{
    if (cache == nullptr || element == nullptr) return PROP_E_STORAGE;
    if (keyname == nullptr || *keyname == '\0') {
        trace_print(cache_trace(cache), 0, "proprch_keycached: THE KEY IS EMPTY");
        return PROP_E_STORAGE;
    }
    if (cache_is_off(cache)) return PROP_R_NOTCACHED;
    proprch_hashelement *e = nullptr;
    keyparts kp;
    u32 rc = find(cache, keyname, std::strlen(keyname), &e, &kp);
    *element = rc == PROP_OK ? e : nullptr;
    return rc;
}

bool proprch_is_on(const proprch_ctx *cache)
{
    return cache != nullptr && !cache_is_off(cache);
}

// The path every key operation takes: one shared lock, a hash key on the
// stack, one bucket walk, no allocation.
u32 proprch_get_addr(proprch_ctx *cache, const char *keyname, u32 *addr, u32, u32 flags)
{
    if (cache == nullptr || cache_is_off(cache)) return PROP_R_NOTCACHED;
    trace_print(cache_trace(cache), 4,
                "proprch_get_addr: The parameters are : cachectx = [%p] keyname = [%s] flags = [0x%x]",
                static_cast<void *>(cache), keyname != nullptr ? keyname : "", flags);
    if (keyname == nullptr || *keyname == '\0' || addr == nullptr) {
        trace_print(cache_trace(cache), 0, "proprch_get_value: EMPTY or NULL keyname.");
        return PROP_E_STORAGE;
    }
    size_t len = std::strlen(keyname);
    RwGuard lock(&cache->proprch_ctx_rwlock, lock_mode(flags, RwGuard::Shared));
    proprch_hashelement *e = nullptr;
    keyparts kp;
    // A name the cache cannot hold is simply not cached.
    if (find(cache, keyname, len, &e, &kp) != PROP_OK) return PROP_R_NOTCACHED;
    // A key the open batch deleted or moved away is absent for every later
    // operation of the batch: the element stays only so that a rollback
    // can make it permanent again.  Its tnode may already be freed.
    if (e->status == PROPRCH_DELETE_TRANSIENT) {
        trace_print(cache_trace(cache), 4, "proprch_get_addr: key [%s] deleted in this batch", keyname);
        return PROP_R_NOTCACHED;
    }
    // The address fields are written under the element mutex; the release
    // store of addr_cached publishes addr.
    if (std::atomic_ref<u32>(e->addr_cached).load(std::memory_order_acquire) == 0) {
        trace_print(cache_trace(cache), 4, "proprch_get_addr: key [%s] addr not cached", keyname);
        return PROP_R_NOADDR;
    }
    *addr = std::atomic_ref<u32>(e->addr).load(std::memory_order_relaxed);
    trace_print(cache_trace(cache), 4, "proprch_get_addr: key [%s] addr [%d]", keyname, static_cast<int>(*addr));
    return PROP_OK;
}

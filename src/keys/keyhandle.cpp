#include "keys/keyhandle.h"

#include <cstring>

#include "cache/cache.h"
#include "core/alloc.h"
#include "keys/common.h"

using namespace propreg;

bool propr_keyhandle_valid(const propr_keyhandle *kh)
{
    return kh != nullptr && u_check_tag(kh->propr_keyhandle_tag, PROPR_KEYHANDLE_TAG) != 0;
}

propr_keyhandle *propr_keyhandle_make(prop_metactx *meta, const char *keyname, key_desc *kd)
{
    auto kh = MetaPtr<propr_keyhandle>::alloc(meta);
    size_t len = std::strlen(keyname);
    auto name = MetaPtr<char>::alloc(meta, len + 1);
    if (!kh || !name) return nullptr;
    std::memcpy(name.get(), keyname, len + 1);
    kh->propr_keyhandle_keyname = name.release();
    kh->propr_keyhandle_kdesc = kd;
    return kh.release();
}

void propr_keyhandle_free(prop_metactx *meta, propr_keyhandle *kh)
{
    if (kh == nullptr) return;
    key_desc_free(meta, kh->propr_keyhandle_kdesc);
    kh->propr_keyhandle_kdesc = nullptr;
    if (kh->propr_keyhandle_keyname != nullptr) u_freem(meta, kh->propr_keyhandle_keyname);
    kh->propr_keyhandle_keyname = nullptr;
    u_freem(meta, kh);
}

u32 propr_keyhandle_addr(proprhandle *handle, const propr_keyhandle *kh, const char *op, u32 notcached_rc,
                         u32 *addr)
{
    const char *name = kh->propr_keyhandle_keyname;
    u32 own = kh->propr_keyhandle_kdesc->kd_tnode;
    u32 cached = 0;
    if (proprch_get_addr(handle->proprhandle_cache, name, &cached, kh->propr_keyhandle_depth, 0) == PROP_OK) {
        if (cached != own) {
            trace_print(keys_raw(), 0,
                        "%s: Addr for [%s] retrieved from cache [%d] did not match the one from the handle [%d]. "
                        "Keyhandle passed is invalid. Return [%d].",
                        op, name, static_cast<int>(cached), static_cast<int>(own), PROP_E_KEYH);
            return PROP_E_KEYH;
        }
        *addr = cached;
        return PROP_OK;
    }
    u32 level = handle->proprhandle_bootlevel;
    if (level != PROP_LEVEL_CACHING && level != PROP_LEVEL_READONLY) {
        trace_print(keys_raw(), 0,
                    "%s: Could not find addr for [%s] in backend cache. Keyhandle passed is invalid. Return [%d].",
                    op, name, static_cast<int>(notcached_rc));
        return notcached_rc;
    }
    trace_print(keys_raw(), 3, "%s: Could not find addr for [%s] in backend cache. Using the one in the keyhandle [%d].",
                op, name, static_cast<int>(own));
    *addr = own;
    return PROP_OK;
}

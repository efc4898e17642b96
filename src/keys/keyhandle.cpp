#include "keys/keyhandle.h"

#include <cstring>

#include "core/alloc.h"
#include "keys/common.h"
#include "keys/keyplace.h"

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

u32 propr_keyhandle_addr(proprhandle *handle, const propr_keyhandle *kh, const char *op, u32 notcached_rc, u32 *addr)
{
    key_place place{};
    u32 rc = propr_keyhandle_place(handle, kh, keycheck_texts_of(op), notcached_rc, false, &place);
    if (rc == PROP_OK) *addr = place.addr;
    return rc;
}

#include "keys/keyhandle.h"

#include <cstring>
#include <utility>

#include "core/alloc.h"
#include "keys/common.h"
#include "keys/keyplace.h"
#include "platform/thread.h"

using namespace propreg;

bool propr_keyhandle_valid(const propr_keyhandle *kh)
{
    return kh != nullptr && u_check_tag(kh->propr_keyhandle_tag, PROPR_KEYHANDLE_TAG) != 0;
}

namespace {

// The oldest closed record, once more than the kept number wait; null
// otherwise.  The record comes back zeroed.
propr_keyhandle *reuse_closed(proprhandle *handle)
{
    if (handle->proprhandle_mutex_created == 0) return nullptr;
    MutexGuard guard(&handle->proprhandle_mutex);
    if (handle->proprhandle_closed_count <= PROPR_KEYHANDLE_KEPT_CLOSED) return nullptr;
    propr_keyhandle *kh = handle->proprhandle_closed_first;
    handle->proprhandle_closed_first = kh->propr_keyhandle_next_closed;
    if (handle->proprhandle_closed_first == nullptr) handle->proprhandle_closed_last = nullptr;
    handle->proprhandle_closed_count--;
    *kh = propr_keyhandle{};
    return kh;
}

}  // namespace

propr_keyhandle *propr_keyhandle_make(proprhandle *handle, const char *keyname, key_desc *kd)
{
    prop_metactx *meta = handle->metactx;
    size_t len = std::strlen(keyname);
    auto name = MetaPtr<char>::alloc(meta, len + 1);
    if (!name) return nullptr;
    propr_keyhandle *kh = reuse_closed(handle);
    if (kh == nullptr) kh = u_alloc_array<propr_keyhandle>(meta, 1);
    if (kh == nullptr) return nullptr;
    std::memcpy(name.get(), keyname, len + 1);
    kh->propr_keyhandle_keyname = name.release();
    kh->propr_keyhandle_kdesc = kd;
    return kh;
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

u32 propr_keyhandle_close(proprhandle *handle, propr_keyhandle *kh)
{
    prop_metactx *meta = handle->metactx;
    if (handle->proprhandle_mutex_created == 0) {
        if (!propr_keyhandle_valid(kh)) return PROP_E_KEYH;
        propr_keyhandle_free(meta, kh);
        return PROP_OK;
    }
    key_desc *kd = nullptr;
    char *name = nullptr;
    {
        // The check and the death are one step, so that of two closes of
        // one record exactly one frees what it owns.
        MutexGuard guard(&handle->proprhandle_mutex);
        if (!propr_keyhandle_valid(kh)) return PROP_E_KEYH;
        u_set_tag(kh->propr_keyhandle_tag, PROPR_KEYHANDLE_CLOSED_TAG);
        kd = std::exchange(kh->propr_keyhandle_kdesc, nullptr);
        name = std::exchange(kh->propr_keyhandle_keyname, nullptr);
        kh->propr_keyhandle_next_closed = nullptr;
        if (handle->proprhandle_closed_last != nullptr)
            handle->proprhandle_closed_last->propr_keyhandle_next_closed = kh;
        else
            handle->proprhandle_closed_first = kh;
        handle->proprhandle_closed_last = kh;
        handle->proprhandle_closed_count++;
    }
    key_desc_free(meta, kd);
    if (name != nullptr) u_freem(meta, name);
    return PROP_OK;
}

void propr_keyhandle_drop_closed(proprhandle *handle)
{
    for (propr_keyhandle *kh = handle->proprhandle_closed_first; kh != nullptr;)
        u_freem(handle->metactx, std::exchange(kh, kh->propr_keyhandle_next_closed));
    handle->proprhandle_closed_first = nullptr;
    handle->proprhandle_closed_last = nullptr;
    handle->proprhandle_closed_count = 0;
}

u32 propr_keyhandle_addr(proprhandle *handle, const propr_keyhandle *kh, const char *op, u32 notcached_rc, u32 *addr)
{
    key_place place{};
    u32 rc = propr_keyhandle_place(handle, kh, keycheck_texts_of(op), notcached_rc, false, &place);
    if (rc == PROP_OK) *addr = place.addr;
    return rc;
}

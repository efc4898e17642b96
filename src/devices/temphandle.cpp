#include "devices/temphandle.h"

#include <cstring>

#include "core/alloc.h"
#include "io/io.h"
#include "storage/config.h"

namespace propreg {

TempHandle::TempHandle(prop_metactx *meta, u32 location_flags) : meta_(meta)
{
    const bool nkv = (location_flags & PROP_KIND_NKV) != 0;
    handle_ = u_alloc_array<proprhandle>(meta, 1);
    zkv_ = u_alloc_array<przkv_ctx>(meta, 1);
    if (handle_ == nullptr || zkv_ == nullptr) {
        failure_ = PROP_E_NOMEM;
        return;
    }
    zkv_->registry_kind = nkv ? PROP_KIND_NKV : PROP_KIND_ZKV;
    zkv_->location_flags = location_flags;
    zkv_->alert_base = nkv ? 2100 : 1000;
    zkv_->boot_level = ~0u;
    zkv_->developer_mode = prop_developer_mode_env() ? 1 : 0;
    zkv_->metactx = meta;
    // The node-local registry's configuration is found by the host name.
    if (nkv && ut_hostname(nullptr, zkv_->hostname, sizeof zkv_->hostname) != 0) {
        failure_ = PROP_E_CLUSTER;
        u_freem(meta_, zkv_);
        zkv_ = nullptr;
    }
    proprut_compreg(handle_);
    handle_->metactx = meta;
    handle_->proprhandle_bootlevel = PROP_LEVEL_RW;
    handle_->proprhandle_zkvctx = zkv_;
}

TempHandle::~TempHandle()
{
    if (handle_ != nullptr) {
        proprio_term(handle_);
        if (handle_->bootbuf != nullptr) u_freem(meta_, handle_->bootbuf);
        u_freem(meta_, handle_);
    }
    if (zkv_ != nullptr) u_freem(meta_, zkv_);
}

u32 TempHandle::start_io()
{
    return proprio_mutex_init(handle_) == 0 ? 0 : PROP_E_STORAGE;
}

}  // namespace propreg

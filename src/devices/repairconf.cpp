// proprio_repairconf: the open's own repair.  A node that was down while
// the cluster changed its locations finds its configuration refused by the
// store's device history; at the CACHING level it takes the configuration
// the Cache Writer published instead, and the open tries again.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "devices/devices.h"
#include "devices/temphandle.h"
#include "platform/groupdata.h"
#include "platform/version.h"

using namespace propreg;

namespace {

constexpr u32 kFirstBuffer = 1288;
constexpr size_t kGroupNameMax = 255;

// The published record of the node's group, into *data (allocated from the
// handle's meta context).  0, 23 when the service fails, 26 when nothing
// was published.
u32 fetch_published(proprhandle *h, const char *group, MetaPtr<u8> *data, u32 *size)
{
    trace_comp tc = dev_trace(h);
    u32 want = kFirstBuffer;
    for (int attempt = 0; attempt < 3; attempt++) {
        *data = MetaPtr<u8>::alloc(h->metactx, want);
        if (!*data) return PROP_E_NOMEM;
        u32 needed = 0;
        const int rc = grpdata_read_public(group, data->get(), want, &needed);
        if (rc == 0) {
            *size = needed;
            return 0;
        }
        if (rc == ENOENT) break;
        if (rc != EOVERFLOW) {
            trace_print(tc, 0, "proprio_repairconf: Failed to retrieve the group public data. QYN ret code [%d]", rc);
            return PROP_E_CLUSTER;
        }
        trace_print(tc, 1,
                    "proprio_repairconf: Buffer is too short. Buffer provided:[%d] Buffer requested:[%d] Retrying "
                    "the operation with requested buffer size.",
                    static_cast<int>(want), static_cast<int>(needed));
        want = needed;
    }
    *size = 0;
    return 0;
}

// Steps 2 to 5, on a ZKV handle at the CACHING level.
u32 repair_from_published(proprhandle *h)
{
    trace_comp tc = dev_trace(h);
    const przkv_ctx *zkv = h->proprhandle_zkvctx;
    u32 version = 0;
    if (!version_to_number(zkv->active_version, &version)) {
        trace_print(tc, 0, "proprio_repairconf: Failed to get the cluster active version [%.60s]", zkv->active_version);
        return PROP_E_STORAGE;
    }
    if (version < DEV_REPAIR_MIN_VERSION) {
        trace_print(tc, 1,
                    "proprio_repairconf: Active Version %s[%d] is less then the minimum version [%d] which is "
                    "required for the node to automatically repair the local configuration.",
                    zkv->active_version, static_cast<int>(version), static_cast<int>(DEV_REPAIR_MIN_VERSION));
        return 0;
    }
    char group[kGroupNameMax + 1];
    if (std::snprintf(group, sizeof group, "zkv_%s", zkv->group_name) > static_cast<int>(kGroupNameMax)) {
        trace_print(tc, 0, "proprio_repairconf: the group name [%.256s] is too long", zkv->group_name);
        return PROP_E_STORAGE;
    }
    MetaPtr<u8> data;
    u32 size = 0;
    if (u32 rc = fetch_published(h, group, &data, &size); rc != 0) return rc;
    if (size <= GRPDATA_PUBLIC_HEADER || data[GRPDATA_PUBLIC_HEADER] == 0) {
        trace_print(tc, 0, "proprio_repairconf: Group public data is not yet published by Cache Writer.");
        return PROP_E_STORAGE;
    }
    MetaPtr<char> names = MetaPtr<char>::alloc(h->metactx, sizeof(dev_names));
    if (!names) return PROP_E_NOMEM;
    auto *published = reinterpret_cast<char(*)[PROP_LOCNAME_SIZE]>(names.get());
    const char *text = reinterpret_cast<const char *>(data.get() + GRPDATA_PUBLIC_HEADER);
    if (dev_split_published(text, size - GRPDATA_PUBLIC_HEADER, published) != 0) {
        trace_print(tc, 0,
                    "proprrepauto: Failed to tokenize the configuration published by ZKV Cache Writer. Retval [%d]",
                    static_cast<int>(PROP_E_STORAGE));
        return PROP_E_STORAGE;
    }
    const u32 rc = proprrepauto(h, published);
    if (rc == PROP_R_REPAIRED) {
        trace_print(tc, 0, "proprio_repairconf: Successfully auto repaired the local configuration.");
        return rc;
    }
    if (rc != 0) {
        trace_print(tc, 0, "proprio_repairconf: Failed to auto repairthe local configuration. Retval: [%d]",
                    static_cast<int>(rc));
        return PROP_E_STORAGE;
    }
    return 0;
}

}  // namespace

u32 proprio_repairconf(proprhandle *h)
{
    if (h == nullptr) {
        trace_print(dev_trace(nullptr), 0, "proprio_repairconf: Backend handle passed is NULL");
        return PROP_E_NULL;
    }
    trace_comp tc = dev_trace(h);
    const przkv_ctx *zkv = h->proprhandle_zkvctx;
    if (zkv == nullptr || zkv->location_flags == PROP_KIND_NKV || zkv->registry_kind == PROP_KIND_NKV) {
        trace_print(tc, 0,
                    "proprio_repairconf: Context passed is NKV context. Auto repair of NKV configuration is not "
                    "supported.");
        return PROP_E_ARG;
    }
    if (h->proprhandle_bootlevel != PROP_LEVEL_CACHING) {
        trace_print(tc, 0,
                    "proprio_repairconf: Auto repair of ZKV confiuration is only supported in CACHING level. Boot "
                    "level in ZKV context is [%d]",
                    static_cast<int>(h->proprhandle_bootlevel));
        return PROP_E_ARG;
    }
    return repair_from_published(h);
}

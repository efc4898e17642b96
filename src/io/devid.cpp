#include "io/devid.h"

#include <strings.h>

#include <cstring>

#include "core/handle.h"
#include "core/lookup2.h"
#include "storage/config.h"
#include "vld/vldname.h"

namespace {

constexpr u32 DEV_CONF_LEGACY = 0x20000000;
constexpr u32 DEV_ID_MASK = 0x7fffffff;

trace_comp dev_trace(const proprhandle *handle)
{
    return handle != nullptr ? handle->proprhandle_trace_raw : trace_component_named(TRACE_RAW);
}

// The configuration flags and host name to read the locations with.
u32 conf_source(const proprhandle *handle, u32 flags, char *host, size_t host_size,
                const char **hostname)
{
    const przkv_ctx *zkv = handle != nullptr ? handle->proprhandle_zkvctx : nullptr;
    if (zkv != nullptr) {
        u32 conf = zkv->location_flags;
        if ((conf & (PROP_KIND_ZKV | PROP_KIND_NKV)) == 0) conf |= zkv->registry_kind;
        if (zkv->boot_level == PROP_LEVEL_LEGACY5) conf |= DEV_CONF_LEGACY;
        *hostname = zkv->hostname;
        return conf;
    }
    *hostname = nullptr;
    if (handle == nullptr && (flags & PROP_KIND_NKV) != 0) {
        if (ut_hostname(nullptr, host, host_size) != 0) return 0;
        *hostname = host;
        return PROP_KIND_NKV;
    }
    return PROP_KIND_ZKV;
}

bool is_vld_name(const char *name)
{
    return name[0] == '+';
}

}  // namespace

u32 proprdev_id_of_name(const char *name)
{
    char local[PROP_LOCNAME_SIZE];
    size_t len = 0;
    for (; name[len] != '\0' && len < PROP_LOCNAME_SIZE - 1; len++)
        local[len] = (name[len] == '/' || name[len] == '\\') ? '_' : name[len];
    local[len] = '\0';
    return lookup2_hash(local, len, 0) & DEV_ID_MASK;
}

void proprdev_ids_of(const char (*names)[PROP_LOCNAME_SIZE], u32 dev[PROP_MAX_LOCATIONS])
{
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++)
        dev[i] = (names[i][0] == '\0' && i >= 2) ? 0 : proprdev_id_of_name(names[i]);
}

u32 proprdev_get(proprhandle *handle, u32 dev[PROP_MAX_LOCATIONS], char *errbuf, u64 *errbuf_sz,
                 u32 flags)
{
    trace_comp tc = dev_trace(handle);
    if (dev == nullptr) {
        trace_print(tc, 0, "proprdev_get: NULL dev passed");
        return PROP_E_NULL;
    }
    if (errbuf == nullptr) {
        trace_print(tc, 0, "proprdev_get: NULL errorbuf passed");
        return PROP_E_NULL;
    }
    if (errbuf_sz == nullptr) {
        trace_print(tc, 0, "proprdev_get: NULL errorbuf_sz passed");
        return PROP_E_NULL;
    }
    static_assert(sizeof(prop_locations) == PROP_NUM_SLOTS * PROP_LOCNAME_SIZE);
    prop_locations names{};
    char hwk_home[PROP_LOCNAME_SIZE]{};
    char host[256]{};
    const char *hostname = nullptr;
    const u32 conf = conf_source(handle, flags, host, sizeof host, &hostname);
    if (conf == 0) {
        trace_print(tc, 0, "proprdev_get: could not get the host name");
        return PROP_E_CLUSTER;
    }
    u32 local_only = 0;
    const u32 rc = utgdv(names, &local_only, hwk_home, errbuf, errbuf_sz, hostname, conf);
    if (rc != 0) return rc;
    if (handle != nullptr) handle->proprhandle_islocal_only = local_only;

    proprdev_ids_of(names, dev);
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        if (handle != nullptr) {
            std::memset(handle->proprhandle_filename[i], 0, PROP_LOCNAME_SIZE);
            std::memcpy(handle->proprhandle_filename[i], names[i], PROP_LOCNAME_SIZE - 1);
        }
        trace_print(tc, 2, "gdv: dev id [%d] is %d", static_cast<int>(i), static_cast<int>(dev[i]));
    }
    return 0;
}

u32 proprdev_compare(const u32 *dev1, const u32 *dev2)
{
    trace_comp tc = trace_component_named(TRACE_RAW);
    if (dev1 == nullptr) {
        trace_print(tc, 0, "proprdev_compare: NULL dev1 passed");
        return PROP_E_NULL;
    }
    if (dev2 == nullptr) {
        trace_print(tc, 0, "proprdev_compare: NULL dev2 passed");
        return PROP_E_NULL;
    }
    return std::memcmp(dev1, dev2, PROP_MAX_LOCATIONS * sizeof(u32)) == 0 ? 0 : PROP_E_DEVDIFF;
}

u32 proprdev_check(backend_ctx *ctx, u32 devnum, const char *newdev)
{
    trace_comp tc = trace_component_named(TRACE_RAW);
    if (ctx == nullptr) {
        trace_print(tc, 0, "proprdev_check: Null context passed ");
        return PROP_E_CTX;
    }
    proprhandle *handle = ctx->propb_ctx;
    if (handle == nullptr) {
        trace_print(tc, 0, "proprdev_check: Backend context passed is null");
        return PROP_E_CTX;
    }
    tc = handle->proprhandle_trace_raw;
    if (newdev == nullptr) {
        trace_print(tc, 0, "proprdev_check: newdev is null");
        return PROP_E_ARG;
    }
    if (devnum >= PROP_NUM_SLOTS) {
        trace_print(tc, 1, "proas_replace_disk: Incorrect disk type (%d, %s) in disk replacment request",
                    static_cast<int>(devnum), newdev);
        return PROP_E_STORAGE;
    }
    const bool vld = is_vld_name(newdev);
    u32 open = 0;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        if (i == devnum) continue;
        if (handle->proprhandle_native_state[i] == PROP_SLOT_OPEN) open++;
        if (newdev[0] == '\0') continue;
        const char *slot_name = handle->proprhandle_filename[i];
        const char *compare = slot_name;
        char dg[32];
        char fname[PROP_LOCNAME_SIZE];
        if (is_vld_name(slot_name)) {
            u32 dgsz = sizeof dg;
            u32 fnamesz = sizeof fname;
            const u32 rc = prou_parse_vldfname(slot_name, dg, &dgsz, fname, &fnamesz);
            if (rc != 0) {
                trace_print(tc, 0, "proprdev_check: Failed in prou_parse_vldfname. prou_ret:[%d].",
                            static_cast<int>(rc));
                return PROP_E_STORAGE;
            }
            compare = dg;
        }
        // A disk group is the same whatever its letter case.
        const bool same = vld ? strcasecmp(newdev, compare) == 0 : std::strcmp(newdev, compare) == 0;
        if (same) {
            trace_print(tc, 0, "proprdev_check: New File/device [%s] is same as existing device [%s] at loc [%d]",
                        newdev, slot_name, static_cast<int>(i));
            return PROP_E_ARG;
        }
    }
    if (open > 0) return 0;
    trace_print(tc, 0, "proprdev_check: Cannot replace (%d, %s) because no other disks are open",
                static_cast<int>(devnum), newdev);
    return PROP_E_STORAGE;
}

u32 proprdev_get_op(backend_ctx *ctx, u32 dev[PROP_MAX_LOCATIONS], char *errbuf, u64 *errbuf_sz,
                    u32 flags)
{
    return proprdev_get(ctx != nullptr ? ctx->propb_ctx : nullptr, dev, errbuf, errbuf_sz, flags);
}

u32 proprdev_compare_op(const u32 dev1[PROP_MAX_LOCATIONS], const u32 dev2[PROP_MAX_LOCATIONS],
                        char *, u32 *)
{
    return proprdev_compare(dev1, dev2);
}

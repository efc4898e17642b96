// Repairing a node's local configuration: one slot by hand (proprrep), or
// every slot from the configuration the Cache Writer publishes
// (proprrepauto, and proprrepauto_rim for a node without an open store);
// after each change the storage resource's dependencies follow it.
#include <cstring>

#include "core/error.h"
#include "devices/devices.h"
#include "devices/temphandle.h"
#include "devices/vldcalls.h"
#include "io/devhist.h"
#include "io/devid.h"
#include "io/io.h"
#include "platform/resource.h"
#include "storage/config.h"
#include "storage/device.h"

using namespace propreg;

namespace {

constexpr u32 kQuietFlag = 0x400;  // the node is starting: the services must not wait for the cluster
constexpr u32 kVldModeLegacy = 1;
constexpr u32 kVldModeNone = 3;

u32 alert_base(const proprhandle *h)
{
    return prop_alert_base(h != nullptr ? h->proprhandle_zkvctx : nullptr);
}

// Reads the configuration into the handle's table (an absent value is no
// failure here).  33 with the reader's text recorded otherwise.
u32 read_local(proprhandle *h, const char *who, const char *what)
{
    char errbuf[1024] = {};
    u64 errsz = sizeof errbuf;
    u32 dev[PROP_NUM_SLOTS];
    for (auto &name : h->proprhandle_filename) name[0] = '\0';
    const u32 rc = proprdev_get(h, dev, errbuf, &errsz, 0);
    if (rc == 0 || rc == PROP_E_CONF) return 0;
    trace_print(dev_trace(h), 0, "%s: failed to %s local ZKV configuration (%d)", who, what, static_cast<int>(rc));
    u_set_comp_error(h->proprhandle_zkvctx, nullptr, PROP_COMPMSG_TEXT, rc, PROP_COMPTYPE_OS, errbuf);
    return PROP_E_NOCONF;
}

bool has_vld_location(const proprhandle *h)
{
    for (const auto &name : h->proprhandle_filename)
        if (name[0] == '+') return true;
    return false;
}

// Puts the published names into the slots that differ, in order; the
// first slot that changes closes the locations first.  *changed counts
// the slots written.
u32 take_published(proprhandle *h, const dev_names published, bool close_first, const char *who, u32 *changed)
{
    trace_comp tc = dev_trace(h);
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        char *slot = h->proprhandle_filename[i];
        if (std::strcmp(slot, published[i]) == 0) continue;
        if (*changed == 0 && close_first && propriocl(h, 0) != 0)
            trace_print(tc, 0, "%s: Failed to close handles to native storage.", who);
        char previous[PROP_LOCNAME_SIZE];
        std::memcpy(previous, slot, PROP_LOCNAME_SIZE);
        trace_print(tc, 1, "%s: Replacing configuration [%d] with device [%s]. Previous configuration [%s]", who,
                    static_cast<int>(i), published[i], previous);
        std::memcpy(slot, published[i], PROP_LOCNAME_SIZE);
        (*changed)++;
    }
    if (*changed == 0) return 0;
    // All slots are written in one step, so no failure leaves part of them.
    const u32 rc = utdvrp(h, 0);
    if (rc != 0) trace_print(tc, 0, "%s: Failed to change configuration [%d] Retval [%d]", who, 0, static_cast<int>(rc));
    return rc;
}

}  // namespace

u32 dev_check_published(const dev_names names)
{
    trace_comp tc = dev_trace(nullptr);
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        if (strnlen(names[i], PROP_LOCNAME_SIZE) > DEV_NAME_MAX) {
            trace_print(tc, 0, "dev_check_published: name [%d] is too long to be configured", static_cast<int>(i));
            return PROP_E_STORAGE;
        }
    }
    u32 count = 0;
    if (dev_verify_names(tc, names, &count) != 0) {
        trace_print(tc, 0, "dev_check_published: the published configuration has a gap or a duplicate");
        return PROP_E_STORAGE;
    }
    return 0;
}

u32 dev_split_published(const char *text, size_t length, dev_names names)
{
    std::memset(names, 0, sizeof(dev_names));
    if (text == nullptr) return PROP_E_STORAGE;
    u32 slot = 0;
    size_t at = 0;
    for (size_t i = 0; i <= length; i++) {
        const bool end = i == length || text[i] == '\0';
        if (!end && text[i] != DEV_PUBLISHED_SEP) continue;
        const size_t n = i - at;
        if (slot >= PROP_NUM_SLOTS || n > DEV_NAME_MAX) return PROP_E_STORAGE;
        std::memcpy(names[slot++], text + at, n);
        at = i + 1;
        if (end) break;
    }
    return dev_check_published(names);
}

u32 proprrep_modify_dependency(proprhandle *h, u32 flags)
{
    if (h == nullptr) {
        trace_print(dev_trace(nullptr), 0, "proprrep_modify_dependency: Backend context passed is null");
        return PROP_E_CTX;
    }
    trace_comp tc = dev_trace(h);
    u32 on_vld = has_vld_location(h) ? 1 : 0;
    u32 mode = kVldModeLegacy;
    if (on_vld != 0) {
        const u32 rc = dev_vld_mode((flags & kQuietFlag) != 0, &mode);
        if (rc != 0) {
            trace_print(tc, 1,
                        "proprrep_modify_dependency: Failed [%d] to get the VLD mode. Not fatal: assuming the "
                        "LEGACY mode.",
                        static_cast<int>(rc));
            mode = kVldModeLegacy;
        }
        if (mode == kVldModeNone) on_vld = 0;
    }
    if (u_masmd(on_vld, mode, flags) != RES_OK) {
        trace_print(tc, 0, "proprrep_modify_dependency: Failed [%d] to update dependencies in KWTP.",
                    static_cast<int>(RES_FAILED));
        return PROP_E_DEPEND;
    }
    return 0;
}

u32 proprrep(prop_metactx *meta, u32 devnum, const char *newdev, u32 flags)
{
    TempHandle temp(meta, (flags & PROP_KIND_NKV) != 0 ? PROP_KIND_NKV : PROP_KIND_ZKV);
    if (!temp.ok()) {
        trace_print(dev_trace(nullptr), 0, "proprrep: could not allocate memory for zkvctx");
        return temp.failure();
    }
    proprhandle *h = temp.get();
    trace_comp tc = dev_trace(h);
    if (newdev == nullptr) {
        trace_print(tc, 0, "proprrep: newdev is null");
        return PROP_E_NULL;
    }
    if (devnum >= PROP_NUM_SLOTS) {
        trace_print(tc, 0,
                    "proprrep: Invalid cfg[%d]. The device to be deleted/replaced should be less than max no of "
                    "devices[%d]",
                    static_cast<int>(devnum), static_cast<int>(PROP_NUM_SLOTS));
        return PROP_E_ARG;
    }
    if (std::strlen(newdev) > DEV_NAME_MAX) {
        trace_print(tc, 0, "proprrep: the new location name is longer than %d", static_cast<int>(DEV_NAME_MAX));
        return PROP_E_ARG;
    }
    if (u32 rc = read_local(h, "proprrep", "retreive"); rc != 0) return rc;
    if (h->proprhandle_islocal_only != 0 && (newdev[0] == '\0' || h->proprhandle_filename[devnum][0] == '\0')) {
        trace_print(tc, 0,
                    "proprrep: ZKV is local only. '-repair -add' and '-repair -delete' is not supported for "
                    "local-only ZKV.");
        return PROP_E_MINORITY;
    }
    if (newdev[0] != '\0') {
        if (u32 rc = propriodvch(h, newdev, 0, 0, h->proprhandle_zkvctx->location_flags); rc != 0) {
            trace_print(tc, 0, "proprrep: could not verify the new device (%d)", static_cast<int>(rc));
            return rc;
        }
    }
    if (u32 rc = dev_update(h, devnum, newdev); rc != 0) {
        trace_print(tc, 0, "proprrep: could not change config (%d)", static_cast<int>(rc));
        return PROP_E_ARG;
    }
    if (h->proprhandle_islocal_only != 0) return 0;
    if (u32 rc = read_local(h, "proprrep", "re retreive"); rc != 0) return rc;
    if (u32 rc = proprrep_modify_dependency(h, 0); rc != 0) {
        trace_print(tc, 0, "proprrep: Failed to update the KWTPD dependencies. Retval:[%d]", static_cast<int>(rc));
        return rc;
    }
    return 0;
}

u32 proprrepauto(proprhandle *h, const dev_names published)
{
    if (h == nullptr) return PROP_E_CTX;
    if (published == nullptr) return PROP_E_NULL;
    trace_comp tc = dev_trace(h);
    // A list that is no configuration is refused before anything is closed.
    if (dev_check_published(published) != 0) {
        trace_print(tc, 0,
                    "proprrepauto: Failed to tokenize the configuration published by ZKV Cache Writer. Retval [%d]",
                    static_cast<int>(PROP_E_STORAGE));
        return PROP_E_STORAGE;
    }
    u32 changed = 0;
    if (u32 rc = take_published(h, published, true, "proprrepauto", &changed); rc != 0) return rc;
    if (changed == 0) {
        trace_print(tc, 1,
                    "proprrepauto: The local ZKV configuration matches with the configuration published by ZKV "
                    "Cache Writer. No repair required.");
        return 0;
    }
    if (u32 rc = proprrep_modify_dependency(h, kQuietFlag); rc != 0) {
        trace_print(tc, 0, "proprrepauto: Failed to update the KWTPD dependencies. Retval:[%d]", static_cast<int>(rc));
        return PROP_E_DEPEND;
    }
    trace_print(tc, 0,
                "(:PRZKV00005:)proprrepauto: Successfully retrieved the ZKV configuration published by Cache Writer "
                "and automatically updated the local ZKV configuration.");
    const przkv_ctx *zkv = h->proprhandle_zkvctx;
    alert_print(alert_base(h) + 18, "%s %s", "(:PRZKV00005:)", zkv != nullptr ? zkv->group_name : "");
    return PROP_R_REPAIRED;
}

u32 proprrepauto_rim(prop_metactx *meta, dev_names local, const dev_names published)
{
    TempHandle temp(meta, PROP_KIND_ZKV);
    if (!temp.ok()) {
        trace_print(dev_trace(nullptr), 0, "proprrepauto_rim: Failed to allocate memory for backend handle");
        return temp.failure();
    }
    proprhandle *h = temp.get();
    trace_comp tc = dev_trace(h);
    if (local == nullptr || published == nullptr) return PROP_E_NULL;
    if (dev_check_published(published) != 0) {
        trace_print(tc, 0, "proprrepauto_rim: the published configuration is not valid");
        return PROP_E_STORAGE;
    }
    std::memcpy(h->proprhandle_filename, local, sizeof(dev_names));
    u32 changed = 0;
    if (u32 rc = take_published(h, published, false, "proprrepauto_rim", &changed); rc != 0) return rc;
    std::memcpy(local, h->proprhandle_filename, sizeof(dev_names));
    if (u32 rc = proprrep_modify_dependency(h, 0); rc != 0) {
        trace_print(tc, 0, "proprrepauto_rim: Failed to update the KWTPD dependencies. Retval:[%d]",
                    static_cast<int>(rc));
        return rc;
    }
    return 0;
}

u32 proprrepauto_op(backend_ctx *ctx, const char published[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE])
{
    return proprrepauto(ctx->propb_ctx, published);
}

u32 proprrepauto_rim_op(prop_metactx *meta, char local[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE],
                        const char published[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE])
{
    return proprrepauto_rim(meta, local, published);
}

#include "storage/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/handle.h"
#include "platform/cfgstore.h"
#include "platform/sysinfo.h"
#include "storage/report.h"
#include "vld/vldname.h"

namespace {

constexpr const char *kZkvKey = "SOFTWARE\\Korvex\\zkv";
constexpr const char *kNkvKey = "SOFTWARE\\Korvex\\nkv";
constexpr const char *kZkvValues[PROP_NUM_SLOTS] = {"zkvconfig_loc", "zkvmirrorconfig_loc", "zkvconfig_loc3",
                                                    "zkvconfig_loc4", "zkvconfig_loc5"};
// The list a change of locations started from, kept until the change is
// recorded in the store.
constexpr const char *kPreviousValues[PROP_NUM_SLOTS] = {"zkvprevious_loc", "zkvprevious_loc2", "zkvprevious_loc3",
                                                         "zkvprevious_loc4", "zkvprevious_loc5"};
constexpr const char *kNkvValue = "nkvconfig_loc";
constexpr const char *kLocalOnly = "Local_Only";
constexpr const char *kHwkHome = "hwk_home";
constexpr size_t kLocalOnlySize = 6;
constexpr size_t kEnvPathMax = 4096;
constexpr size_t kDeveloperEnvMax = 15;
constexpr u32 kDgBufSize = PROU_VLD_DGNAME_MAX + 2;  // '+', the name, the zero

// Checks that exactly one registry kind is set; logs with the caller's prefix.
u32 check_kind_flags(trace_comp comp, const char *op, u32 flags)
{
    bool zkv = (flags & PROP_KIND_ZKV) != 0, nkv = (flags & PROP_KIND_NKV) != 0;
    if (!zkv && !nkv) {
        trace_print(comp, 0, "%s: Invalid flags [%x].", op, flags);
        return PROP_E_ARG;
    }
    if (zkv && nkv) {
        trace_print(comp, 0, "%s: Invalid flags combination [%x].", op, flags);
        return PROP_E_ARG;
    }
    return PROP_OK;
}

// Reads Local_Only; none of its failures is an error.
void read_local_only(trace_comp comp, const cfg_key *key, u32 *local_only)
{
    char value[kLocalOnlySize];
    int oserr = 0;
    cfg_result r = cfg_read_sz(key, kLocalOnly, value, sizeof value, nullptr, nullptr, &oserr);
    if (r == CFG_OK) {
        if (std::strcmp(value, "true") == 0) {
            trace_print(comp, 2, "ut_read_reg:5:Local Only ZKV detected");
            *local_only = 1;
        }
    } else if (r == CFG_WRONG_TYPE) {
        trace_print(comp, 0, "ut_read_reg:4:the registry key does not have the right data type.. REG_SZ expected");
    } else {
        char text[256];
        cfg_syserr_text(cfg_syserr(r, oserr), text, sizeof text);
        trace_print(comp, 2, "ut_read_reg:2:could not read reg value %s os error= %s", kLocalOnly, text);
    }
}

// Reads hwk_home into the caller's 4096-byte buffer.
u32 read_hwk_home(trace_comp comp, const cfg_key *key, char *hwk_home, char *errorbuf, u64 *errorbuf_sz)
{
    size_t len = 0;
    u32 type = 0;
    int oserr = 0;
    cfg_result r = cfg_read_sz(key, kHwkHome, hwk_home, UT_HWK_HOME_SIZE, &len, &type, &oserr);
    if (r == CFG_WRONG_TYPE) {
        trace_print(comp, 0,
                    "ut_read_reg:14: [%s]registry value data type [%d] does not match expected [%d] ie REG_SZ. ",
                    kHwkHome, static_cast<int>(type), static_cast<int>(CFG_REG_SZ));
        hwk_home[0] = '\0';
        return PROP_E_CONF;
    }
    if (r != CFG_OK) {
        int syserr = cfg_syserr(r, oserr);
        char text[256];
        cfg_syserr_text(syserr, text, sizeof text);
        trace_print(comp, 0, "ut_read_reg:13: [%s] registry value cannot be opened. OS error [%d] [%s]", kHwkHome,
                    syserr, text);
        hwk_home[0] = '\0';
        if (syserr == CFG_SYSERR_NOT_FOUND) {
            ut_errbuf_set(errorbuf, errorbuf_sz, "hwk_home registry value does not exist. %s", text);
            return PROP_E_CONF;
        }
        if (syserr == CFG_SYSERR_MORE_DATA) {
            trace_print(comp, 0, "utgdv: [%s] registry value [%s] is too long [%d]", kHwkHome, key->dir,
                        static_cast<int>(len));
            ut_errbuf_set(errorbuf, errorbuf_sz, "hwk_home registry value too long %s", text);
            return PROP_E_CONF;
        }
        ut_errbuf_set(errorbuf, errorbuf_sz, "Error accessing hwk_home registry value. %s", text);
        return PROP_E_CONFREAD;
    }
    if (len == 0) {
        ut_errbuf_set(errorbuf, errorbuf_sz, "hwk_home registry value is empty");
        trace_print(comp, 0, "utgdv: [%s] registry value is empty", kHwkHome);
        return PROP_E_CONF;
    }
    trace_print(comp, 2, "utgdv: HWK HOME is [%s]", hwk_home);
    return PROP_OK;
}

// Reads one location value into its slot; a bad or missing one leaves the
// slot empty and is only logged.  Returns the system error of a value that
// exists but cannot be read (out of file descriptors, say), 0 otherwise.
int read_location(trace_comp comp, const cfg_key *key, const char *value, char *slot)
{
    char buf[UT_LOCVALUE_SIZE];
    size_t len = 0;
    int oserr = 0;
    slot[0] = '\0';
    cfg_result r = cfg_read_sz(key, value, buf, sizeof buf, &len, nullptr, &oserr);
    switch (r) {
    case CFG_OK:
        if (len != 0) {
            std::memcpy(slot, buf, len + 1);
            trace_print(comp, 2, "ut_read_reg:10:ZKV location is %s", slot);
            return 0;
        }
        [[fallthrough]];
    case CFG_TOO_LONG:
        trace_print(comp, 0, "ut_read_reg:8:size of file path name for [%s] is too big or zero %d", value,
                    static_cast<int>(len));
        return 0;
    case CFG_WRONG_TYPE:
        trace_print(comp, 0, "ut_read_reg:9:the registry key [%s] does not have the right data type.. REG_SZ expected",
                    value);
        return 0;
    case CFG_NO_VALUE:
        return 0;
    default: {
        const int syserr = cfg_syserr(r, oserr);
        char text[256];
        cfg_syserr_text(syserr, text, sizeof text);
        trace_print(comp, 0, "ut_read_reg:2:could not read reg value %s os error= %s", value, text);
        return syserr;
    }
    }
}

trace_comp conf_comp(const backend_ctx *ctx)
{
    return ut_osd(ctx != nullptr ? ctx->propb_ctx : nullptr);
}

}  // namespace

bool prop_developer_mode_env()
{
    const char *v = std::getenv("ZKV_DEVELOPER_ENV");
    if (v == nullptr) return false;
    char value[kDeveloperEnvMax + 1];
    std::snprintf(value, sizeof value, "%s", v);
    return std::strcmp(value, "TRUE") == 0 || std::strcmp(value, "true") == 0;
}

bool prop_developer_mode(const proprhandle *handle)
{
    if (handle != nullptr && handle->proprhandle_zkvctx != nullptr)
        return handle->proprhandle_zkvctx->developer_mode != 0;
    return prop_developer_mode_env();
}

u32 ut_registry_kind(const proprhandle *handle)
{
    if (handle != nullptr && handle->proprhandle_zkvctx != nullptr &&
        handle->proprhandle_zkvctx->registry_kind == PROP_KIND_NKV)
        return PROP_KIND_NKV;
    return PROP_KIND_ZKV;
}

u32 ut_hostname(const przkv_ctx *zkv, char *buf, size_t size)
{
    if (buf == nullptr || size == 0) return PROP_E_CLUSTER;
    if (zkv != nullptr && zkv->hostname[0] != '\0') {
        std::snprintf(buf, size, "%s", zkv->hostname);
        return PROP_OK;
    }
    return plat_hostname(buf, size) == 0 && buf[0] != '\0' ? PROP_OK : PROP_E_CLUSTER;
}

const char *ut_previous_value_name(u32 slot)
{
    return slot < PROP_NUM_SLOTS ? kPreviousValues[slot] : nullptr;
}

u32 ut_read_previous_locations(const proprhandle *handle, prop_locations previous, bool *pending)
{
    trace_comp comp = ut_osd(nullptr);
    *pending = false;
    if (ut_registry_kind(handle) == PROP_KIND_NKV) return PROP_OK;
    char key_path[PROP_LOCNAME_SIZE];
    u32 rc = ut_get_loc_path(0, nullptr, key_path, sizeof key_path);
    if (rc != PROP_OK) return rc;
    cfg_key key;
    int oserr = 0;
    if (cfg_open_key(key_path, false, &key, &oserr) != CFG_OK) return PROP_OK;
    cfg_hold hold;
    cfg_hold_key(&key, &hold, &oserr);
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) read_location(comp, &key, kPreviousValues[i], previous[i]);
    cfg_release_key(&hold);
    *pending = previous[0][0] != '\0';
    if (*pending) trace_print(comp, 1, "ut_read_reg: a change of locations from [%s] ... is not finished", previous[0]);
    return PROP_OK;
}

const char *ut_location_value_name(u32 is_nkv, u32 slot)
{
    if (is_nkv != 0) return slot == 0 ? kNkvValue : nullptr;
    return slot < PROP_NUM_SLOTS ? kZkvValues[slot] : nullptr;
}

u32 ut_get_loc_path(u32 is_nkv, const char *hostname, char *path, size_t size)
{
    trace_comp comp = ut_osd(nullptr);
    if (path == nullptr) return PROP_E_STORAGE;
    const char *fallback = is_nkv != 0 ? kNkvKey : kZkvKey;
    if (size <= std::strlen(fallback)) {
        trace_print(comp, 2, "ut_get_loc_path: buffer is too small (%d, %d)", static_cast<int>(size),
                    static_cast<int>(std::strlen(fallback)));
        return PROP_E_STORAGE;
    }
    bool developer = prop_developer_mode_env();
    char chosen[kEnvPathMax + 1] = "";
    if (developer) {
        const char *env = std::getenv(is_nkv != 0 ? "NKV_LOC" : "ZKV_LOC");
        if (env != nullptr) std::snprintf(chosen, sizeof chosen, "%s", env);
    }
    if (chosen[0] == '\0') std::snprintf(chosen, sizeof chosen, "%s", fallback);
    const char *host = hostname != nullptr ? hostname : "";
    size_t need = std::strlen(chosen) + (developer && is_nkv != 0 ? 1 + std::strlen(host) : 0);
    if (need >= size) {
        trace_print(comp, 2, "ut_get_loc_path: buffer is not big enought (%d, %d)", static_cast<int>(size),
                    static_cast<int>(need + 1));
        return PROP_E_STORAGE;
    }
    if (developer && is_nkv != 0)
        std::snprintf(path, size, "%s\\%s", chosen, host);
    else
        std::snprintf(path, size, "%s", chosen);
    return PROP_OK;
}

u32 ut_read_reg(trace_comp comp, prop_locations locations, u32 *local_only, char *hwk_home, char *errorbuf,
                u64 *errorbuf_sz, const char *hostname, u32 flags)
{
    u32 is_nkv = (flags & PROP_KIND_NKV) != 0 ? 1 : 0;
    if (locations == nullptr || (is_nkv != 0 && hwk_home == nullptr) || (is_nkv == 0 && local_only == nullptr))
        return PROP_E_NULL;
    char key_path[PROP_LOCNAME_SIZE];
    u32 rc = ut_get_loc_path(is_nkv, hostname, key_path, sizeof key_path);
    if (rc != PROP_OK) {
        trace_print(comp, 0, "sproprutgdv: Failed to retrieve location path [%d]", static_cast<int>(rc));
        return rc;
    }
    trace_print(comp, 2, "ut_read_reg: reading ZKV location from registry key [%s]", key_path);

    cfg_key key;
    int oserr = 0;
    cfg_result r = cfg_open_key(key_path, false, &key, &oserr);
    if (r != CFG_OK) {
        int syserr = cfg_syserr(r, oserr);
        char text[256];
        cfg_syserr_text(syserr, text, sizeof text);
        trace_print(comp, 0, "ut_read_reg:2:zkv registry key %s cannot be opened. error %d", key_path, syserr);
        ut_errbuf_set(errorbuf, errorbuf_sz, "Error opening %s registry key. %s", is_nkv != 0 ? "nkv" : "zkv", text);
        return syserr == CFG_SYSERR_NOT_FOUND ? PROP_E_NOCONF : PROP_E_CONFREAD;
    }
    // The values are read as one set: a replacement of them waits until
    // they are.  A key that cannot be held is still read.
    cfg_hold hold;
    cfg_hold_key(&key, &hold, &oserr);
    struct Release {
        cfg_hold *h;
        ~Release() { cfg_release_key(h); }
    } release{&hold};
    if (is_nkv == 0) {
        read_local_only(comp, &key, local_only);
    } else if ((rc = read_hwk_home(comp, &key, hwk_home, errorbuf, errorbuf_sz)) != PROP_OK) {
        return rc;
    }
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        const char *value = ut_location_value_name(is_nkv, i);
        if (value == nullptr) break;
        // A value that is there but cannot be read is not a missing one:
        // the set would be read without it.
        if (int syserr = read_location(comp, &key, value, locations[i]); syserr != 0) {
            char text[256];
            cfg_syserr_text(syserr, text, sizeof text);
            ut_errbuf_set(errorbuf, errorbuf_sz, "Error accessing %s registry value. %s", value, text);
            return PROP_E_CONFREAD;
        }
    }
    if (locations[0][0] == '\0') {
        const char *first = ut_location_value_name(is_nkv, 0);
        trace_print(comp, 2, "ut_read_reg:11: the first location value [%s] is missing or empty", first);
        ut_errbuf_set(errorbuf, errorbuf_sz, "Error retrieving %s property.", first);
        return PROP_E_CONF;
    }
    return PROP_OK;
}

u32 utgdv(prop_locations locations, u32 *local_only, char *hwk_home, char *errorbuf, u64 *errorbuf_sz,
          const char *hostname, u32 flags)
{
    trace_comp comp = ut_osd(nullptr);
    if (locations == nullptr || errorbuf == nullptr || errorbuf_sz == nullptr) {
        trace_print(comp, 0, "utgdv: Null parameter passed");
        return PROP_E_NULL;
    }
    if (local_only == nullptr && (flags & PROP_KIND_ZKV) != 0) {
        trace_print(comp, 0, "utgdv: Null local only parameter passed");
        return PROP_E_NULL;
    }
    if (hwk_home == nullptr && (flags & PROP_KIND_NKV) != 0) {
        trace_print(comp, 0, "utgdv: Null hwk home parameter passed");
        return PROP_E_NULL;
    }
    u32 rc = check_kind_flags(comp, "utgdv", flags);
    if (rc != PROP_OK) return rc;
    if (hostname == nullptr && (flags & PROP_KIND_NKV) != 0) {
        trace_print(comp, 0, "utgdv:4: NULL parameter hostname passed");
        return PROP_E_NULL;
    }
    if ((flags & PROP_KIND_ZKV) != 0) *local_only = 0;
    return ut_read_reg(comp, locations, local_only, hwk_home, errorbuf, errorbuf_sz, hostname, flags);
}

u32 proprgconf(backend_ctx *ctx, void *, u32 *configured, prop_locations locations, u32 *local_only,
               char hwk_home[4096], char *errorbuf, u64 *errorbuf_sz, u32 flags)
{
    trace_comp comp = conf_comp(ctx);
    if (configured == nullptr || errorbuf == nullptr || errorbuf_sz == nullptr || locations == nullptr) {
        trace_print(comp, 1,
                    "proprgconf: One of the parameters is NULL. configured [%p] local_only [%p] errorbuf [%p] errorbuf sz [%p]",
                    static_cast<void *>(configured), static_cast<void *>(local_only), static_cast<void *>(errorbuf),
                    static_cast<void *>(errorbuf_sz));
        return PROP_E_NULL;
    }
    if (local_only == nullptr && (flags & PROP_KIND_ZKV) != 0) {
        trace_print(comp, 1, "proprgconf: Local Only parameter is NULL.");
        return PROP_E_NULL;
    }
    if (hwk_home == nullptr && (flags & PROP_KIND_NKV) != 0) {
        trace_print(comp, 1, "proprgconf: HWK HOME parameter is NULL.");
        return PROP_E_NULL;
    }
    *configured = 0;
    u32 rc = check_kind_flags(comp, "proprgconf", flags);
    if (rc != PROP_OK) return rc;

    char host[PROP_HOSTNAME_SIZE] = "";
    if ((flags & PROP_KIND_NKV) != 0 &&
        ut_hostname(ctx != nullptr ? ctx->prop_ctx_zkvctx : nullptr, host, sizeof host) != PROP_OK) {
        trace_print(comp, 0, "proprgconf: Failed to get the host name.");
        return PROP_E_CLUSTER;
    }
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) locations[i][0] = '\0';
    rc = utgdv(locations, local_only, hwk_home, errorbuf, errorbuf_sz, host, flags);
    switch (rc) {
    case PROP_OK:
        break;
    case PROP_E_NOCONF:
        trace_print(comp, 1, "proprgconf: Failed to retrieve configuration [%d]. Error buffer [%s].",
                    static_cast<int>(rc), errorbuf);
        return PROP_OK;  // a node without configuration is not an error
    case PROP_E_CONFREAD:
        trace_print(comp, 0, "proprgconf: Failed to open configuration [%d]. Error buffer [%s].",
                    static_cast<int>(rc), errorbuf);
        return rc;
    case PROP_E_CONF:
        trace_print(comp, 0, "proprgconf: Invalid ZKV/NKV location retrieved from config.");
        return rc;
    default:
        trace_print(comp, 0, "proprgconf: Some other error from sproprutgdv");
        return rc;
    }

    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        if (locations[i][0] != PROU_VLD_PREFIX[0]) continue;
        char dg[kDgBufSize];
        char fname[PROP_LOCNAME_SIZE];
        u32 dgsz = sizeof dg, fnamesz = sizeof fname;
        u32 prc = prou_parse_vldfname(locations[i], dg, &dgsz, fname, &fnamesz);
        if (prc != PROU_NAME_OK) {
            trace_print(comp, 0, "proprgconf: Failed in prou_parse_vldfname. prou_ret:[%d].", static_cast<int>(prc));
            return PROP_E_ARG;
        }
        bool complete = (flags & PROP_CONF_COMPLETE_VLD_NAMES) != 0 && fname[0] != '\0';
        if (!complete) std::snprintf(locations[i], PROP_LOCNAME_SIZE, "%s", dg);
    }
    *configured = 1;
    trace_print(comp, 4, "proprgconf: Successfully retrieved configuration.");
    return PROP_OK;
}

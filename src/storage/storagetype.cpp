// Which storage each registry kind accepts, and the check of one path.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "core/handle.h"
#include "platform/env.h"
#include "storage/config.h"
#include "storage/device.h"
#include "storage/report.h"
#include "vld/vld.h"
#include "vld/vldname.h"

namespace {

constexpr const char *kRawDeviceMark = "\\\\.\\";
constexpr u32 kErrbufSize = 1024;

void put_os_text(char *buf, u32 *size, int err)
{
    char text[256];
    ut_os_text(err, text, sizeof text);
    ut_errbuf_set(buf, size, "%s", text);
}

u32 check_backup_location(trace_comp comp, const char *path, u32 *savedoserr, char *errbuf, u32 *errbuf_sz,
                          u32 flags)
{
    trace_print(comp, 2,
                "utstoragetypecommon: BACKUPLOC flag is passed. Checking if the location %s is a valid backup location.",
                path);
    struct stat st;
    int err = env_current()->stat(path, &st);
    if (err != 0) {
        *savedoserr = static_cast<u32>(err);
        put_os_text(errbuf, errbuf_sz, err);
        trace_print(comp, 0,
                    "utstoragetypecommon:failed in stat ZKV file/disk %s, os error=%d, os err string=%s. Returns [%d]",
                    path, err, errbuf, static_cast<int>(PROP_E_ARG));
        return PROP_E_ARG;
    }
    if (!S_ISDIR(st.st_mode)) {
        ut_errbuf_set(errbuf, errbuf_sz, "The backup location %s is not a valid Korvex %s Registry backup location",
                   path, (flags & PROP_KIND_NKV) != 0 ? "Local" : "Cluster");
        trace_print(comp, 0, "utstoragetypecommon: %s", errbuf);
        return PROP_E_STYPE;
    }
    trace_print(comp, 2, "utstoragetypecommon: The location %s is a valid backup location.", path);
    return PROP_OK;
}

}  // namespace

u32 utstoragetypecommon(trace_comp comp, u32, const char *path, u32 *filetype, u32 *savedoserr, char *errbuf,
                        u32 *errbuf_sz, u32 flags)
{
    if (errbuf != nullptr && errbuf_sz != nullptr && *errbuf_sz != 0) std::memset(errbuf, 0, *errbuf_sz);
    if (filetype != nullptr) *filetype = 0;
    if (savedoserr != nullptr) *savedoserr = 0;
    if (path == nullptr || filetype == nullptr || savedoserr == nullptr || errbuf == nullptr || errbuf_sz == nullptr) {
        trace_print(comp, 0,
                    "utstoragetypecommon: NULL parameters passed. pathname [%p] filetype [%p] savedoserr [%p] errbuf [%p] errbuf_sz [%p]",
                    static_cast<const void *>(path), static_cast<void *>(filetype), static_cast<void *>(savedoserr),
                    static_cast<void *>(errbuf), static_cast<void *>(errbuf_sz));
        return PROP_E_NULL;
    }
    if (*errbuf_sz < 1) {
        trace_print(comp, 0, "utstoragetypecommon: Invalid parameter passed: errbuf_sz is less than 1.");
        return PROP_E_ARG;
    }
    bool zkv = (flags & PROP_KIND_ZKV) != 0, nkv = (flags & PROP_KIND_NKV) != 0;
    if (zkv == nkv) {
        trace_print(comp, 0, "utstoragetypecommon: Invalid flags [0x%x].", flags);
        return PROP_E_ARG;
    }
    if ((flags & PROP_CONF_BACKUP_LOCATION) != 0)
        return check_backup_location(comp, path, savedoserr, errbuf, errbuf_sz, flags);
    if (std::strstr(path, kRawDeviceMark) != nullptr) {
        trace_print(comp, 2, "utstoragetypecommon: raw devices [%s] are no longer supported.", path);
        ut_errbuf_set(errbuf, errbuf_sz, "Korvex Cluster Registry does not support the storage type configured.");
        trace_print(comp, 0, "utstoragetypecommon: %s", errbuf);
        return PROP_E_STYPE;
    }
    env_file *f = nullptr;
    int err = ut_open_checked(path, O_RDONLY, &f);
    if (err != 0) {
        *savedoserr = static_cast<u32>(err);
        put_os_text(errbuf, errbuf_sz, err);
        trace_print(comp, 0,
                    "utstoragetypecommon:failed in creating ZKV file/disk %s, oserr=%d, os err string=%s. Returns [%d]",
                    path, err, errbuf, static_cast<int>(PROP_E_ARG));
        return PROP_E_ARG;
    }
    *filetype = PROP_LOCTYPE_FILE;
    trace_print(comp, 2, "utstoragetypecommon:ZKV is using file %s", path);
    env_current()->close(f);
    return PROP_OK;
}

u32 proprstcheckstorage(backend_ctx *ctx, const char *location, char *errorbuf, u32 *errorbuf_sz, u32 flags)
{
    trace_comp comp = ut_osd(ctx != nullptr ? ctx->propb_ctx : nullptr);
    if (location == nullptr || errorbuf == nullptr || errorbuf_sz == nullptr) {
        trace_print(comp, 0, "proprstcheckstorage: NULL parameter passed.");
        return PROP_E_NULL;
    }
    if (location[0] == PROU_VLD_PREFIX[0]) {
        if ((flags & PROP_KIND_NKV) != 0) {
            ut_errbuf_set(errorbuf, errorbuf_sz, "Korvex Local Registry(NKV) does not support VLD diskgroup.");
            trace_print(comp, 0,
                        "proprstcheckstorage: Korvex Local Registry(NKV) does not support VLD diskgroup. Returns [%d]",
                        static_cast<int>(PROP_E_STYPE));
            return PROP_E_STYPE;
        }
        u32 rc = proprvldvdg(location);
        if (rc != PROP_OK) {
            ut_errbuf_set(errorbuf, errorbuf_sz,
                       "The VLD disk group did not exist, was not mounted correctly, or did not have the required permissions.");
            trace_print(comp, 0,
                        "proprstcheckstorage: The VLD disk group did not exist, was not mounted correctly, or did not have the required permissions. Returns:[%d]",
                        static_cast<int>(rc));
            return rc;
        }
        trace_print(comp, 4,
                    "proprstcheckstoarge: The VLD disk group for ZKV storage/backup location is mounted correctly. Returns success [%d].",
                    static_cast<int>(rc));
        return PROP_OK;
    }
    bool developer = prop_developer_mode_env();
    if ((flags & PROP_KIND_ZKV) != 0 && !developer) {
        ut_errbuf_set(errorbuf, errorbuf_sz, "Korvex Cluster Registry(ZKV) does not support non-VLD location.");
        trace_print(comp, 0,
                    "proprstcheckstorage: Korvex Cluster Registry does not support non-VLD location. Returns [%d]",
                    static_cast<int>(PROP_E_STYPE));
        return PROP_E_STYPE;
    }
    u32 filetype = 0, oserr = 0;
    u32 rc = utstoragetypecommon(comp, developer ? 1 : 0, location, &filetype, &oserr, errorbuf, errorbuf_sz, flags);
    if (rc != PROP_OK)
        trace_print(comp, 0, "proprstcheckstoarge: sproprutstoragetypecommon Return [%d]. OS error [%d]. Error detail [%s]",
                    static_cast<int>(rc), static_cast<int>(oserr), errorbuf);
    return rc;
}

u32 utchkstoragetype(proprhandle *handle, const char *location, u32 *loctype, u32 flags)
{
    trace_comp comp = ut_osd(handle);
    if (handle == nullptr) {
        trace_print(comp, 0, "utchkstoragetype: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    u32 kind = flags & (PROP_KIND_ZKV | PROP_KIND_NKV);
    if (kind == 0) kind = ut_registry_kind(handle);
    if (kind == PROP_KIND_NKV || handle->proprhandle_bootlevel == PROP_LEVEL_BACKUP) return PROP_OK;
    char errbuf[kErrbufSize];
    u32 errbuf_sz = sizeof errbuf, oserr = 0, filetype = 0;
    u32 rc = utstoragetypecommon(comp, prop_developer_mode(handle) ? 1 : 0, location, &filetype, &oserr, errbuf,
                                 &errbuf_sz, flags | kind);
    if (loctype != nullptr) *loctype = filetype;
    if (rc != PROP_OK) {
        if (oserr == 0)
            ut_comp_error(handle->proprhandle_zkvctx, UT_COMPMSG_TEXT, 0, errbuf);
        else
            ut_comp_error(handle->proprhandle_zkvctx, UT_COMPMSG_OS, oserr, errbuf);
    }
    return rc;
}

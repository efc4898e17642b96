// Location changes: a new location is checked (and with write_test
// written at both ends) before it joins, and the configured names are
// replaced in one step.
#include <cstddef>
#include <cstring>

#include "core/handle.h"
#include "format/block.h"
#include "platform/cfgstore.h"
#include "storage/config.h"
#include "storage/device.h"
#include "storage/report.h"

namespace {

// The page a new location is tested with: a zero page whose header says
// only "checksummed, magic, block number".
void make_test_page(u8 *page, u64 blkaddr)
{
    std::memset(page, 0, PROP_PAGE_SIZE);
    page[0] = 1;
    page[1] = PROPR_HDR_MAGIC;
    u32 blocknum = propr_blocknum(blkaddr);
    std::memcpy(page + offsetof(propr_hdr, propr_hdr_blocknum), &blocknum, sizeof blocknum);
    hdr_stamp_checksum(page, PROP_PAGE_SIZE);
}

}  // namespace

u32 utdvch(proprhandle *handle, const char *newdev, u64 lastpage_addr, u32 write_test, u32 flags)
{
    trace_comp comp = ut_osd(handle);
    if (handle == nullptr) {
        trace_print(comp, 0, "sproprutdvch: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    if (newdev == nullptr) {
        trace_print(comp, 0, "utdvch:0: newdev is null");
        return PROP_E_STORAGE;
    }
    u32 loctype = 0;
    u32 rc = utchkstoragetype(handle, newdev, &loctype, flags);
    if (rc != PROP_OK) {
        trace_print(comp, 0, "utdvch:8m: ZKV location [%s] configured is not a valid storage type. Rturn code [%d].",
                    newdev, static_cast<int>(rc));
        return rc;
    }
    ut_native holder{};
    int err = ut_open_location(handle, newdev, true, &holder);
    if (err != 0) {
        trace_print(comp, 0, "utdvch:9:failed to open new ZKV file/disk %s,  oserror=%d", newdev, err);
        ut_os_error(handle, err);
        return PROP_E_ARG;
    }
    u32 result = PROP_OK;
    if (write_test != 0) {
        alignas(4096) u8 page[PROP_PAGE_SIZE];
        make_test_page(page, 0);
        rc = utwrite(handle, page, PROP_PAGE_SIZE, 0, &holder);
        if (rc != PROP_OK) {
            trace_print(comp, 0, "utdvch: cannot write the boot block for the new dev [%s] (%d)", newdev,
                        static_cast<int>(rc));
            result = PROP_E_ARG;
        } else {
            make_test_page(page, lastpage_addr);
            rc = utwrite(handle, page, PROP_PAGE_SIZE, lastpage_addr, &holder);
            if (rc != PROP_OK) {
                trace_print(comp, 0, "utdvch: cannot write the new dev [%s] at offset %d (%d)", newdev,
                            static_cast<int>(lastpage_addr), static_cast<int>(rc));
                result = PROP_E_DEVSPACE;
            }
        }
    }
    ut_close_location(&holder);
    return result;
}

u32 utdvrp(proprhandle *handle, u32 slot)
{
    if (slot >= PROP_NUM_SLOTS) {
        trace_print(ut_osd(handle), 0, "utdvrp:0: cfg is not valid (%d)", static_cast<int>(slot));
        return PROP_E_ARG;
    }
    return ut_write_locations(handle, nullptr);
}

u32 ut_write_locations(proprhandle *handle, const prop_locations previous)
{
    trace_comp comp = ut_osd(handle);
    if (handle == nullptr) {
        trace_print(comp, 0, "sproprutdvrp: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    u32 is_nkv = ut_registry_kind(handle) == PROP_KIND_NKV ? 1 : 0;
    char host[PROP_HOSTNAME_SIZE];
    ut_hostname(handle->proprhandle_zkvctx, host, sizeof host);
    char key_path[PROP_LOCNAME_SIZE];
    u32 rc = ut_get_loc_path(is_nkv, host, key_path, sizeof key_path);
    if (rc != PROP_OK) {
        trace_print(comp, 0, "utdvrp: fail to get location path [%d]", static_cast<int>(rc));
        return rc;
    }
    cfg_key key;
    int oserr = 0;
    if (cfg_open_key(key_path, true, &key, &oserr) != CFG_OK) {
        trace_print(comp, 0, "utgdv:1:could not open registry key containing ZKV configuration %s os error %d",
                    key_path, oserr);
        return PROP_E_NOCONF;
    }
    // Every location value, and the list a change started from, is
    // replaced in one step: no reader, and no open after a crash, ever sees
    // some slots old and others new, or a change without its starting point.
    cfg_change changes[2 * PROP_NUM_SLOTS];
    size_t count = 0;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        const char *value = ut_location_value_name(is_nkv, i);
        if (value == nullptr) break;
        const char *name = handle->proprhandle_filename[i];
        changes[count++] = {value, name[0] != '\0' ? name : nullptr};
    }
    for (u32 i = 0; i < PROP_NUM_SLOTS && is_nkv == 0; i++) {
        const char *name = previous != nullptr ? previous[i] : "";
        changes[count++] = {ut_previous_value_name(i), name[0] != '\0' ? name : nullptr};
    }
    cfg_result r = cfg_replace_values(&key, changes, count, &oserr);
    if (r != CFG_OK) {
        trace_print(comp, 0, "utdvrp:9:failed to set value %s=%s,  oserror=%d, lRet=%d", changes[0].value,
                    handle->proprhandle_filename[0], oserr, static_cast<int>(r));
        ut_os_error(handle, oserr);
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

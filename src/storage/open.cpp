// Opening the file locations of a handle.
#include <fcntl.h>

#include "core/alloc.h"
#include "core/handle.h"
#include "core/slotstate.h"
#include "storage/config.h"
#include "storage/device.h"
#include "storage/report.h"
#include "vld/vldname.h"

namespace {

void reset_slots(proprhandle *handle)
{
    handle->proprhandle_os_min_block_size = 0;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        slot_set_state(handle, i, PROP_SLOT_UNCONFIGURED, "utopen");
        handle->proprhandle_native[i] = nullptr;
        handle->proprhandle_loctype[i] = PROP_LOCTYPE_NONE;
    }
}

// Opens file location i; 0 when it is open (state 3), else non-zero with
// the slot at state 1 and nothing held.
u32 open_file_slot(proprhandle *handle, u32 i, bool direct, u32 flags)
{
    trace_comp comp = ut_osd(handle);
    const char *name = handle->proprhandle_filename[i];
    slot_set_state(handle, i, PROP_SLOT_UNUSABLE, "utopen");  // until the open succeeds
    u32 loctype = 0;
    // Only the registry kind of the caller's flags concerns the check.
    u32 rc = utchkstoragetype(handle, name, &loctype, flags & (PROP_KIND_ZKV | PROP_KIND_NKV));
    if (rc != PROP_OK) {
        // The open below still decides whether the location is usable.
        trace_print(comp, 0, "utopen:8m: ZKV location [%s] configured is not a valid storage type. Return code [%d].",
                    name, static_cast<int>(rc));
    }
    trace_print(comp, 2, "utopen:8: ZKV location [%d] is %s", static_cast<int>(i), name);

    auto holder = MetaPtr<ut_native>::alloc(handle->metactx);
    if (!holder) {
        trace_print(comp, 0, "utopen:12: fail to allocate memory for %s", name);
        return PROP_E_NOMEM;
    }
    int err = ut_open_location(handle, name, direct, holder.get());
    if (err != 0) {
        trace_print(comp, 0, "utopen:9:failed to open ZKV file/disk %s,  oserror=%d", name, err);
        ut_os_error(handle, err);
        return PROP_E_STORAGE;
    }
    u32 blocksize = 0, pages = 0;
    if (utosmbsz(handle, &blocksize, holder.get()) != PROP_OK) {
        trace_print(comp, 0, "utopen:10.1: Failied to retrieve %s os min block size", name);
        ut_close_location(holder.get());
        return PROP_E_STORAGE;
    }
    if (utsz(handle, &pages, holder.get()) != PROP_OK) {
        trace_print(comp, 0, "utopen:11: Could not get geometry of device %s", name);
        ut_close_location(holder.get());
        return PROP_E_STORAGE;
    }
    handle->proprhandle_native_numpage[i] = pages;
    if (pages < UT_MIN_PAGES) {
        trace_print(comp, 0, "utopen:12:Not enough space in the backing store %s", name);
        ut_close_location(holder.get());
        return PROP_E_DEVSPACE;
    }
    if (blocksize != 0 &&
        (handle->proprhandle_os_min_block_size == 0 || blocksize < handle->proprhandle_os_min_block_size))
        handle->proprhandle_os_min_block_size = blocksize;
    handle->proprhandle_loctype[i] = PROP_LOCTYPE_FILE;
    handle->proprhandle_native[i] = holder.release();
    slot_set_state(handle, i, PROP_SLOT_OPEN, "utopen");
    return PROP_OK;
}

}  // namespace

u32 utopen(proprhandle *handle, u32 flags)
{
    if (handle == nullptr) {
        trace_print(ut_osd(nullptr), 0, "utopen: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    trace_comp comp = ut_osd(handle);
    reset_slots(handle);
    bool direct = !prop_developer_mode(handle);
    trace_print(comp, 2, "utopen:4: Flag and Attribute passed will be [%d]",
                O_RDWR | (direct ? O_DIRECT : 0));

    u32 opened = 0;
    u32 count = handle->proprhandle_configured_device_count;
    if (count > PROP_NUM_SLOTS) count = PROP_NUM_SLOTS;
    for (u32 i = 0; i < count; i++) {
        const char *name = handle->proprhandle_filename[i];
        if (name[0] == '\0') {
            trace_print(comp, 2, "utopen:5': Empty or NULL device/file name[%d]", static_cast<int>(i));
            continue;
        }
        if (name[0] == PROU_VLD_PREFIX[0]) {
            // The I/O layer opens volume-manager files itself.
            trace_print(comp, 2, "utopen:7:ZKV is using VLD %s.", name);
            handle->proprhandle_loctype[i] = PROP_LOCTYPE_VLD;
            opened++;
            continue;
        }
        if (open_file_slot(handle, i, direct, flags) == PROP_OK) opened++;
    }
    if (opened == 0) {
        trace_print(comp, 0, "utopen:Could not open any of the devices");
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

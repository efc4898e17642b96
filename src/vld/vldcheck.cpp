// Checking a new location and a disk group.
#include <cstring>

#include "format/block.h"
#include "vld/vldint.h"
#include "vld/vldname.h"

using namespace vldops;

namespace {

constexpr u8 kChecksumOn = 1;

// The smallest page count of the open locations, or 0.
u32 smallest_open(const proprhandle *handle)
{
    u32 pages = 0;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        const u32 n = handle->proprhandle_native_numpage[i];
        if (handle->proprhandle_native_state[i] == PROP_SLOT_OPEN && n != 0 && (pages == 0 || n < pages)) pages = n;
    }
    return pages;
}

// A zero block whose header only numbers it: a location prepared for a
// store, which no open mistakes for one.
u32 write_marker(proprhandle *handle, vld_file *f, const char *location, u64 addr)
{
    alignas(8) u8 block[PROPRVLD_BLOCK] = {};
    propr_hdr hdr{};
    hdr.propr_hdr_checksum_enabled = kChecksumOn;
    hdr.propr_hdr_size_magic_num = PROPR_HDR_MAGIC;
    hdr.propr_hdr_blocknum = propr_blocknum(addr);
    std::memcpy(block, &hdr, sizeof hdr);
    hdr_stamp_checksum(block, sizeof block);
    return proprvldw(handle, block, sizeof block, addr, f, location, 0);
}

// A disk group given for a new location is recorded by the complete name
// of the file prepared in it.
void name_completely(proprhandle *handle, char *location)
{
    Name n;
    u32 use = 0;
    if (split(location, &n) != 0 || n.fname[0] != '\0' || proprvld_use_cfname(handle, &use, 0) != 0 || use == 0)
        return;
    char complete[PROP_LOCNAME_SIZE];
    if (proprvld_get_completefname(handle, n.dg, complete, sizeof complete) == 0)
        std::memcpy(location, complete, sizeof complete);
}

}  // namespace

u32 proprvlddvch(proprhandle *handle, char *location, u64 size, u32 create)
{
    if (handle == nullptr) return PROP_E_CTX;
    if (location == nullptr) return PROP_E_ARG;
    trace_comp tc = vt(handle);
    u32 numpage = 0;
    if (create != 0) {
        numpage = smallest_open(handle);
        if (numpage == 0) {
            trace_print(tc, 0, "proprvlddvch: Numpage is [%d]. Expected non zero value.", 0);
            return PROP_E_ARG;
        }
    }
    trace_print(tc, 2, "proprvlddvch: Numpage passed [%d]", static_cast<int>(numpage));
    vld_file *f = nullptr;
    if (u32 rc = proprvldo(handle, location, numpage, &f, create != 0 ? PROPRVLD_FLAGS_CREATE : 0); rc != 0) {
        trace_print(tc, 0, "proprvlddvch: Failed to open ZKV location [%s] error [%d]", location, static_cast<int>(rc));
        return PROP_E_ARG;
    }
    name_completely(handle, location);
    u32 rc = 0;
    if (create != 0) {
        if (write_marker(handle, f, location, 0) != 0) {
            trace_print(tc, 0, "proprvlddvch: Cannot write the boot block for the new location [%s] Error [%d]",
                        location, PROP_E_ARG);
            rc = PROP_E_ARG;
        }
        u32 reduced = 1;
        proprvld_is_rsz(handle, f, location, &reduced, 0);
        // The older format takes its whole size at once.
        if (rc == 0 && reduced == 0 && write_marker(handle, f, location, size) != 0) {
            trace_print(tc, 0, "proprvlddvch: Cannot write at offset [%d] for the new location [%s] Error [%d]",
                        static_cast<int>(size), location, PROP_E_DEVSPACE);
            rc = PROP_E_DEVSPACE;
        }
    }
    if (u32 crc = proprvldcl(handle, f, 1); crc != 0)
        trace_print(tc, 0, "proprvlddvch: Error [%d] closing vld handle", static_cast<int>(crc));
    return rc;
}

u32 proprvldvdg(const char *diskgroup)
{
    trace_comp tc = trace_component_named(TRACE_VLD);
    if (diskgroup == nullptr || diskgroup[0] != PROU_VLD_PREFIX[0]) {
        trace_print(tc, 0, "proprvldvdg: dgname [%s] doesn't begin with VLD prefix [%s].",
                    diskgroup != nullptr ? diskgroup : "", PROU_VLD_PREFIX);
        return PROP_E_ARG;
    }
    Name n;
    if (split(diskgroup, &n) != 0) return PROP_E_ARG;
    vld_callbacks callbacks{};
    vld_error err{};
    vld_context *ctx = vld_create_context(&err, trace_get_level(tc), &callbacks, tc);
    if (ctx == nullptr) {
        trace_print(tc, 0, "proprvldvdg: Failed to create vld context");
        return PROP_E_STORAGE;
    }
    u32 rc = 0;
    const u32 st = vld_check_mount(&err, ctx, n.dg_bare);
    if (st != VLD_OK) {
        trace_print(tc, 0, "proprvldvdg: vld_check_mount returned [%d]", static_cast<int>(st));
        if (st == VLD_EDOWN) trace_print(tc, 0, "proprvldvdg: The VLD instance is down");
        if (st == VLD_ENODG) trace_print(tc, 0, "proprvldvdg: The VLD disk group %s is not found or not mounted", n.dg_bare);
        rc = PROP_E_VLDCREATE;
    } else {
        trace_print(tc, 2, "proprvldvdg: The disk group [%s] is mounted.", n.dg);
    }
    if (vld_destroy_context(&err, ctx, 1) != VLD_OK)
        trace_print(tc, 0, "proprvldvdg: Failed in vld_destroy_context [%d]", static_cast<int>(err.status));
    return rc;
}

// Backup files inside disk groups: created at their whole size or opened
// for reading, deleted, renamed, sized and shrunk.  Their blocks are
// numbered from 0 (PROPRVLD_FLAGS_BACKUP on reads and writes).
#include <cstring>

#include "core/zkvctx.h"
#include "vld/vldint.h"
#include "vld/vldname.h"

using namespace vldops;

namespace {

// A disk group the caller names must carry its '+'.
bool dg_ok(proprhandle *handle, const char *who, const char *diskgroup)
{
    if (diskgroup != nullptr && diskgroup[0] == PROU_VLD_PREFIX[0]) return true;
    trace_print(vt(handle), 0, "%s: dgname [%s] doesn't begin with VLD prefix [%s].", who,
                diskgroup != nullptr ? diskgroup : "", PROU_VLD_PREFIX);
    return false;
}

// The client context of a backup-file operation on a disk group.
u32 begin(proprhandle *handle, const char *who, const char *diskgroup)
{
    if (u32 rc = proprvldini(handle, PROPRVLD_MODE_BACKUP); rc != 0) {
        trace_print(vt(handle), 0, "%s: Failed to initialize the VLD module. Retval: [%d]", who, static_cast<int>(rc));
        return rc;
    }
    return dg_ok(handle, who, diskgroup) ? 0 : u32{PROP_E_ARG};
}

// The backup operation's name, for the alert that says it failed.
void alert_failed(proprhandle *handle, const char *operation)
{
    const przkv_ctx *zkv = handle->proprhandle_zkvctx;
    alert_print(alert_base(handle) + 31,
                "(:PRZKV00014:)proprvldo_bkp: The backup file related operation '%s' failed %s", operation,
                zkv != nullptr && zkv->facility != nullptr ? zkv->facility : "");
}

}  // namespace

u32 proprvld_bkp_code(u32 diagnosis, u32 otherwise)
{
    if (diagnosis == VLD_ENODG) return PROP_E_VLDCREATE;
    if (diagnosis == VLD_EDOWN) return PROP_E_STORAGE;
    return otherwise;
}

u32 proprvldo_bkp(proprhandle *handle, vld_file **vldhdl, const char *diskgroup, char *fname, u32 size, u32 flags)
{
    if (handle == nullptr) return PROP_E_CTX;
    trace_comp tc = vt(handle);
    if (diskgroup == nullptr || fname == nullptr) {
        trace_print(tc, 0, "proprvldo_bkp: dgname or fname is NULL.");
        return PROP_E_NULL;
    }
    if (vldhdl == nullptr) {
        trace_print(tc, 0, "proprvldo_bkp: vldhandle is NULL.");
        return PROP_E_ARG;
    }
    if (client(handle) == nullptr) return PROP_E_CTX;
    if (!dg_ok(handle, "proprvldo_bkp", diskgroup)) return PROP_E_ARG;
    const char *dg = diskgroup + 1;
    const bool create = (flags & PROPRVLD_FLAGS_CREATE) != 0;
    char complete[PROP_LOCNAME_SIZE];
    vld_error err{};
    vld_file *f = nullptr;
    const u32 st = create ? vld_create_file(&err, client(handle), dg, fname, PROPRVLD_BLOCK, size, VLD_KIND_BACKUP,
                                            complete, sizeof complete, &f)
                          : vld_open_file(&err, client(handle), dg, fname, PROPRVLD_BLOCK, VLD_MODE_READ,
                                          VLD_KIND_ANY, complete, sizeof complete, &f);
    if (st != VLD_OK) {
        trace_print(tc, 0,
                    create ? "proprvldo_bkp: Failed in function vld_create_file while trying to create the backup file "
                             "%s in disk group %s"
                           : "proprvldo_bkp: Failed in function vld_open_file while trying to open the backup file %s "
                             "in disk group %s",
                    fname, diskgroup);
        const u32 found = diagnose(handle, &err, "proprvldo_bkp", nullptr, dg, true);
        alert_failed(handle, create ? "CreateFile" : "OpenFile");
        return proprvld_bkp_code(found, PROP_E_BKPFILE);
    }
    // The file part of the complete name: what follows "+DG/".
    const char *part = complete + std::strlen(diskgroup) + 1;
    std::memmove(fname, part, std::strlen(part) + 1);
    trace_print(tc, 2, "proprvldo_bkp: Successfully opened/created ZKV backup file %s in VLD DG %s", fname, diskgroup);
    *vldhdl = f;
    return 0;
}

u32 proprvlddel_bkp(proprhandle *handle, const char *diskgroup, const char *fname, u32)
{
    if (handle == nullptr) return PROP_E_CTX;
    trace_comp tc = vt(handle);
    if (u32 rc = begin(handle, "proprvlddel_bkp", diskgroup); rc != 0) return rc;
    vld_error err{};
    if (vld_delete_file(&err, client(handle), diskgroup + 1, fname) != VLD_OK) {
        trace_print(tc, 0,
                    "proprvlddel_bkp: Failed in function vld_delete_file while deleting the backup file. DG:[%s] "
                    "Filename:[%s] vldret:[%d]",
                    diskgroup, fname, static_cast<int>(err.status));
        return proprvld_bkp_code(diagnose(handle, &err, "proprvlddel_bkp", nullptr, diskgroup + 1, true),
                                 PROP_E_BKPFILE);
    }
    trace_print(tc, 1, "proprvlddel_bkp: Successfully deleted ZKV backup file [%s] in VLD DG [%s]", fname, diskgroup);
    return 0;
}

u32 proprvldren_bkp(proprhandle *handle, const char *diskgroup, const char *from, const char *to, u32)
{
    if (handle == nullptr) return PROP_E_CTX;
    trace_comp tc = vt(handle);
    if (u32 rc = begin(handle, "proprvldren_bkp", diskgroup); rc != 0) return rc;
    vld_error err{};
    if (vld_rename_file(&err, client(handle), diskgroup + 1, from, to) != VLD_OK) {
        trace_print(tc, 0,
                    "proprvldren_bkp: Failed in function vld_rename_file while renaming the backup file. DG:[%s] "
                    "Filename:[%s] Dst filename:[%s] vldret:[%d]",
                    diskgroup, from, to, static_cast<int>(err.status));
        return proprvld_bkp_code(diagnose(handle, &err, "proprvldren_bkp", nullptr, diskgroup + 1, true),
                                 PROP_E_BKPFILE);
    }
    trace_print(tc, 1, "proprvldren_bkp: Successfully renamed ZKV backup file [%s] in VLD DG [%s] New filename:[%s]",
                from, diskgroup, to);
    return 0;
}

u32 proprvldsz_bkp(proprhandle *handle, vld_file *vldhdl, u32 *blocksize, u32 *numblocks)
{
    if (handle == nullptr || client(handle) == nullptr) return PROP_E_CTX;
    trace_comp tc = vt(handle);
    if (vldhdl == nullptr || blocksize == nullptr || numblocks == nullptr) {
        trace_print(tc, 0, "proprvldsz_bkp: Backupfile handle or blocksize or numblocks is NULL.");
        return PROP_E_NULL;
    }
    vld_error err{};
    u64 blocks = 0;
    if (vld_get_size(&err, client(handle), vldhdl, &blocks, blocksize) != VLD_OK || blocks > 0xffffffffu) {
        trace_print(tc, 0, "proprvldsz_bkp: vld_get_size returned error [%d]", static_cast<int>(err.status));
        vld_file_status s{};
        vld_file_describe(vldhdl, &s);
        return proprvld_bkp_code(diagnose(handle, &err, "proprvldsz_bkp", vldhdl, s.dg, true), PROP_E_BKPFILE);
    }
    *numblocks = static_cast<u32>(blocks);
    trace_print(tc, 2, "proprvldsz_bkp: Block size:[%d] Number of blocks returned:[%d]", static_cast<int>(*blocksize),
                static_cast<int>(*numblocks));
    return 0;
}

u32 proprvld_shrink_bkp(proprhandle *handle, vld_file *vldhdl, const char *location, u32 pages)
{
    if (handle == nullptr || client(handle) == nullptr) return PROP_E_CTX;
    if (vldhdl == nullptr) return PROP_E_ARG;
    trace_comp tc = vt(handle);
    vld_error err{};
    if (vld_shrink_file(&err, client(handle), vldhdl, pages) != VLD_OK) {
        trace_print(tc, 0, "proprvld_shrink_bkp: Failed to shrink the backup file to [%d] pages. vldret:[%d]",
                    static_cast<int>(pages), static_cast<int>(err.status));
        vld_file_status s{};
        vld_file_describe(vldhdl, &s);
        return proprvld_bkp_code(diagnose(handle, &err, "proprvld_shrink_bkp", vldhdl, s.dg, true), PROP_E_BKPFILE);
    }
    trace_print(tc, 2, "proprvld_shrink_bkp: Successfully shrunk the backup file [%s] to [%d] pages",
                location != nullptr ? location : "", static_cast<int>(pages));
    return 0;
}

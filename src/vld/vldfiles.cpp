// Files of the disk groups by name: complete names, existence, deletion,
// record files, and which locations are in a disk group.
#include <cstring>

#include "vld/vldint.h"
#include "vld/vldname.h"

using namespace vldops;

namespace {

// "+DG/NAME", "+DG:NAME" (a backup name) or "+DG" (its registry file).
u32 split_any(const char *name, Name *n)
{
    if (std::strchr(name, ':') == nullptr) return split(name, n);
    u32 dgsz = sizeof n->dg, fsz = sizeof n->fname;
    n->dg_bare = n->dg + 1;
    return prou_split_vldbkpfname(name, n->dg, &dgsz, n->fname, &fsz);
}

u32 set_file_limits(proprhandle *handle, vld_file *f, u32 maxsize, u32 incrsize)
{
    vld_error err{};
    const bool max_ok = vld_control(&err, client(handle), f, VLD_CTL_MAX_BLOCKS, maxsize) == VLD_OK;
    if (!max_ok)
        trace_print(vt(handle), 0, "proprvldo_cbkp: vld_control returned error [%d] while setting the maxsize to [%d] pages",
                    static_cast<int>(err.status), static_cast<int>(maxsize));
    if (max_ok && vld_control(&err, client(handle), f, VLD_CTL_GROWTH, incrsize) == VLD_OK) return 0;
    if (max_ok)
        trace_print(vt(handle), 0,
                    "proprvldo_cbkp: vld_control returned error [%d] while setting the incremental size to [%d] pages",
                    static_cast<int>(err.status), static_cast<int>(incrsize));
    char stack[VLD_MESSAGE_SIZE];
    record(handle, &err, stack);
    return PROP_E_STORAGE;
}

}  // namespace

u32 proprvld_get_completefname(proprhandle *handle, const char *diskgroup, char *name, u32 namesz)
{
    trace_comp tc = vt(handle);
    if (handle == nullptr || client(handle) == nullptr) return PROP_E_CTX;
    if (diskgroup == nullptr || name == nullptr) return PROP_E_ARG;
    if (diskgroup[0] != PROU_VLD_PREFIX[0]) {
        trace_print(tc, 0, "proprvld_get_completefname: dgname [%s] doesn't begin with VLD prefix [%s].", diskgroup,
                    PROU_VLD_PREFIX);
        return PROP_E_ARG;
    }
    vld_error err{};
    if (vld_get_registry_name(&err, client(handle), diskgroup + 1, name, namesz) != VLD_OK) {
        trace_print(tc, 0, "proprvld_get_completefname: Failed in function vld_get_registry_name. DG:[%s] vldret:[%d]",
                    diskgroup, static_cast<int>(err.status));
        diagnose(handle, &err, "proprvld_get_completefname", nullptr, diskgroup + 1, false);
        return PROP_E_STORAGE;
    }
    return 0;
}

u32 proprvld_get_dgname_wp(proprhandle *handle, const char *location, char *dgname)
{
    if (location == nullptr || dgname == nullptr) return PROP_E_ARG;
    Name n;
    if (split_any(location, &n) != 0 || n.dg[0] != PROU_VLD_PREFIX[0]) {
        trace_print(vt(handle), 0, "proprvld_get_dgname_wp: dgname [%s] doesn't begin with VLD prefix [%s].", location,
                    PROU_VLD_PREFIX);
        return PROP_E_ARG;
    }
    std::memcpy(dgname, n.dg_bare, std::strlen(n.dg_bare) + 1);
    return 0;
}

u32 proprvldo_cbkp(proprhandle *handle, const char *diskgroup, const char *fname, vld_file **vldhdl, u32 maxsize,
                   u32 startsize, u32 incrsize, u32 flags)
{
    if (handle == nullptr || client(handle) == nullptr) return PROP_E_CTX;
    trace_comp tc = vt(handle);
    if (diskgroup == nullptr || fname == nullptr || vldhdl == nullptr) return PROP_E_ARG;
    if (diskgroup[0] != PROU_VLD_PREFIX[0]) {
        trace_print(tc, 0, "proprvldo_cbkp: dgname [%s] doesn't begin with VLD prefix [%s].", diskgroup,
                    PROU_VLD_PREFIX);
        return PROP_E_ARG;
    }
    const char *dg = diskgroup + 1;
    vld_error err{};
    vld_file *f = nullptr;
    if ((flags & PROPRVLD_FLAGS_CREATE) != 0) {
        if (vld_create_file(&err, client(handle), dg, fname, PROPRVLD_BLOCK, startsize, VLD_KIND_BACKUP, nullptr, 0,
                            &f) != VLD_OK) {
            trace_print(tc, 0,
                        "proprvldo_cbkp: Failed in function vld_create_file while trying to create the export file %s "
                        "in disk group %s",
                        fname, diskgroup);
            return proprvld_bkp_code(diagnose(handle, &err, "proprvldo_cbkp", nullptr, dg, true), PROP_E_STORAGE);
        }
        if (u32 rc = set_file_limits(handle, f, maxsize, incrsize); rc != 0) {
            vld_close_file(&err, client(handle), f, 1);
            vld_delete_file(&err, client(handle), dg, fname);
            return rc;
        }
    } else {
        const u32 mode = (flags & PROPRVLD_FLAGS_READ_ONLY) != 0 ? VLD_MODE_READ : VLD_MODE_RW;
        const u32 st =
            vld_open_file(&err, client(handle), dg, fname, PROPRVLD_BLOCK, mode, VLD_KIND_ANY, nullptr, 0, &f);
        if (st == VLD_ENOFILE) return PROP_E_EXPORTFILE;
        if (st != VLD_OK) {
            trace_print(tc, 0,
                        "proprvldo_cbkp: Failed in function vld_open_file while trying to open the export file %s in "
                        "disk group %s",
                        fname, diskgroup);
            return proprvld_bkp_code(diagnose(handle, &err, "proprvldo_cbkp", nullptr, dg, true), PROP_E_STORAGE);
        }
    }
    trace_print(tc, 2, "proprvldo_cbkp: Successfully opened/created ZKV export file %s in VLD DG %s", fname, diskgroup);
    *vldhdl = f;
    return 0;
}

u32 proprvld_file_exists(proprhandle *handle, const char *name, u32 *exists)
{
    if (handle == nullptr) return PROP_E_CTX;
    if (name == nullptr || exists == nullptr) return PROP_E_NULL;
    trace_comp tc = vt(handle);
    Name n;
    if (split_any(name, &n) != 0) {
        trace_print(tc, 0, "proprvld_file_exists: Failed to retrieve the diskgroup name from VLD complete filename %s",
                    name);
        return PROP_E_STORAGE;
    }
    // A disk group alone names its registry file, as a location does.
    if (n.fname[0] == '\0') {
        char complete[PROP_LOCNAME_SIZE];
        vld_error err{};
        const u32 st = vld_get_registry_name(&err, client(handle), n.dg_bare, complete, sizeof complete);
        if (st == VLD_ENOFILE) {
            *exists = 0;
            return 0;
        }
        if (st != VLD_OK) return proprvld_get_completefname(handle, n.dg, complete, sizeof complete);
        split(complete, &n);
    }
    vld_file *f = nullptr;
    const u32 rc = proprvldo_cbkp(handle, n.dg, n.fname, &f, 0, 0, 0, PROPRVLD_FLAGS_READ_ONLY);
    if (rc == PROP_E_EXPORTFILE) {
        trace_print(tc, 2, "proprvld_file_exists: Backup file [%s] dg:[%s] does not exist.", n.fname, n.dg);
        *exists = 0;
        return 0;
    }
    if (rc != 0) {
        trace_print(tc, 0, "proprvld_file_exists: Failed to open [%s]. Retval:[%d]", name, static_cast<int>(rc));
        return rc;
    }
    *exists = 1;
    vld_error err{};
    vld_close_file(&err, client(handle), f, PROPRVLD_FLAGS_BACKUP);
    return 0;
}

u32 proprvlddel(proprhandle *handle, const char *location, u32 flags)
{
    if (handle == nullptr) return PROP_E_CTX;
    trace_comp tc = vt(handle);
    if (location == nullptr || location[0] != PROU_VLD_PREFIX[0]) {
        trace_print(tc, 0, "proprvlddel: dgname [%s] doesn't begin with VLD prefix [%s].",
                    location != nullptr ? location : "", PROU_VLD_PREFIX);
        return PROP_E_ARG;
    }
    if (u32 rc = proprvldini(handle, flags); rc != 0) return rc;
    Name n;
    if (split(location, &n) != 0) return PROP_E_ARG;
    char complete[PROP_LOCNAME_SIZE];
    if (n.fname[0] == '\0') {
        if (u32 rc = proprvld_get_completefname(handle, n.dg, complete, sizeof complete); rc != 0) return rc;
        split(complete, &n);
    }
    vld_error err{};
    if (vld_delete_file(&err, client(handle), n.dg_bare, n.fname) != VLD_OK) {
        trace_print(tc, 0,
                    "proprvlddel: Failed in function vld_delete_file while deleting the ZKV file. DG:[%s] Filename:[%s] "
                    "vldret:[%d]",
                    n.dg, n.fname, static_cast<int>(err.status));
        diagnose(handle, &err, "proprvlddel", nullptr, n.dg_bare, false);
        return err.status == VLD_ENOFILE ? PROP_E_ARG : PROP_E_STORAGE;
    }
    trace_print(tc, 1, "proprvlddel: Successfully deleted the ZKV file [%s] in VLD DG [%s]", n.fname, n.dg);
    return 0;
}

u32 proprvld_is_zkvonvld(proprhandle *handle, u32 *result)
{
    if (handle == nullptr) {
        trace_print(vt(nullptr), 0, "proprvld_is_zkvonvld: Backend handle passed is NULL.");
        return PROP_E_CTX;
    }
    if (result == nullptr) return PROP_E_NULL;
    *result = 0;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++)
        if (handle->proprhandle_filename[i][0] == PROU_VLD_PREFIX[0]) *result = 1;
    return 0;
}

#include "backup/bkpvld.h"

#include "io/vldbridge.h"
#include "vld/vldname.h"

namespace propreg {

bool bkp_split_vld_name(const char *name, char (&dg)[32], char (&file)[PROP_LOCNAME_SIZE])
{
    u32 dgsz = sizeof dg;
    u32 filesz = sizeof file;
    return prou_split_vldbkpfname(name, dg, &dgsz, file, &filesz) == PROU_NAME_OK;
}

u32 bkp_vld_begin(proprhandle *handle, const char *who)
{
    trace_comp tc = trace_component_named(TRACE_VLD);
    u32 rc = io_vld_init(handle);
    // Opening, reading and writing backup files inside a disk group are not
    // among the bridge's calls: nothing may be started that cannot be
    // finished.
    if (rc == 0) rc = PROP_E_STORAGE;
    trace_print(tc, 0, "%s: Failed to initialize the VLD module. Retval: [%d]", who, static_cast<int>(rc));
    return rc;
}

}  // namespace propreg

// The volume-manager operations behind the exports.
#include <cstring>

#include "core/alloc.h"
#include "platform/thread.h"
#include "vld/vldint.h"
#include "vld/vldname.h"

using namespace vldops;

namespace {

// The complete name of a "+" name that may be a disk group alone; the name
// itself when it cannot be had.
void complete_of(proprhandle *handle, const char *name, char *out)
{
    std::snprintf(out, PROP_LOCNAME_SIZE, "%s", name);
    Name n;
    if (split(name, &n) != 0 || n.fname[0] != '\0') return;
    vld_error err{};
    char complete[PROP_LOCNAME_SIZE];
    if (vld_get_registry_name(&err, client(handle), n.dg_bare, complete, sizeof complete) == VLD_OK)
        std::memcpy(out, complete, sizeof complete);
}

// Is name the file of one of the store's configured locations?
bool in_use(proprhandle *handle, const char *name)
{
    char target[PROP_LOCNAME_SIZE], slot[PROP_LOCNAME_SIZE];
    complete_of(handle, name, target);
    for (u32 i = 0; i < handle->proprhandle_configured_device_count && i < PROP_NUM_SLOTS; i++) {
        const char *loc = handle->proprhandle_filename[i];
        if (loc[0] != PROU_VLD_PREFIX[0]) continue;
        complete_of(handle, loc, slot);
        if (std::strcmp(loc, name) == 0 || std::strcmp(slot, target) == 0) return true;
    }
    return false;
}

}  // namespace

u32 proprvld_zkvonvld_op(backend_ctx *ctx, const char *location, u32 *answer, u32)
{
    // A location given is answered for; without one, the open store is.
    if (location != nullptr && location[0] != '\0') {
        *answer = location[0] == PROU_VLD_PREFIX[0] ? 1 : 0;
        return 0;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Shared);
    return proprvld_is_zkvonvld(ctx->propb_ctx, answer);
}

u32 proprvld_delete_op(backend_ctx *ctx, const char *filename, u32 flags)
{
    proprhandle *handle = ctx->propb_ctx;
    trace_comp tc = vt(handle);
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Shared);
    if (u32 rc = proprvldini(handle, flags); rc != 0) {
        trace_print(tc, 0, "propr_delete_vldfile: Failed to initialize the VLD module. Retval: [%d]",
                    static_cast<int>(rc));
        return rc;
    }
    // Deleting a file the store lives in would take a mirror away under it.
    if (in_use(handle, filename)) {
        trace_print(tc, 0, "propr_delete_vldfile: [%s] is a configured location of the store; it is not deleted",
                    filename);
        return PROP_E_ARG;
    }
    return proprvlddel(handle, filename, flags);
}

u32 proprvld_directconn_one(proprhandle *handle, void *vldhdl, const char *location, u32 flags)
{
    return proprvlddirectconn(handle, static_cast<vld_file *>(vldhdl), location, flags);
}

u32 proprvld_file_exists_name(prop_metactx *metactx, const char *name, u32 *exists)
{
    trace_comp tc = vt(nullptr);
    MetaPtr<proprhandle> handle = MetaPtr<proprhandle>::alloc(metactx);
    if (!handle) {
        trace_print(tc, 0, "propr_file_exists: Failed to allocate memory for handle.");
        return PROP_E_NOMEM;
    }
    std::memset(handle.get(), 0, sizeof(proprhandle));
    proprut_compreg(handle.get());
    handle->metactx = metactx;
    handle->proprhandle_bootlevel = ~0u;  // no level: files open for reading
    u32 rc = proprvldini(handle.get(), 0);
    if (rc != 0) {
        trace_print(tc, 0, "propr_file_exists: Failed to initialize the VLD module. Retval: [%d]", static_cast<int>(rc));
        return rc;
    }
    rc = proprvld_file_exists(handle.get(), name, exists);
    proprvldterm(handle.get());
    return rc;
}

// proprinit: turns a caller's request into a working backend context over
// an existing store.
#include "lifecycle/init.h"

#include <cstring>

#include "cache/cache.h"
#include "core/alloc.h"
#include "format/layout.h"
#include "io/io.h"
#include "lifecycle/newhandle.h"
#include "lifecycle/terminate.h"

using namespace propreg;

namespace {

constexpr size_t kBackupNameMax = PROP_LOCNAME_SIZE - 1;

// Level 8 opens the one backup file the caller names.
u32 take_backup_name(proprhandle *h, const char *name)
{
    trace_comp tc = lc_trace(h);
    if (name == nullptr) {
        trace_print(tc, 0, "proprinit: for przkv_backup_level, arg cannot be null");
        return PROP_E_STORAGE;
    }
    if (strnlen(name, kBackupNameMax + 1) > kBackupNameMax) {
        trace_print(tc, 0, "proprinit: the string passed by arg is too long [%.256s]", name);
        return PROP_E_STORAGE;
    }
    std::memcpy(h->proprhandle_filename[0], name, std::strlen(name) + 1);
    h->proprhandle_loctype[0] = name[0] == '+' ? PROP_LOCTYPE_VLD : PROP_LOCTYPE_FILE;
    h->proprhandle_configured_device_count = 1;
    return 0;
}

// What the level argument means at each level; *open_flag receives the
// flag levels 0 and 2 pass to the I/O layer.
u32 take_levelarg(proprhandle *h, u32 level, void *levelarg, u32 *open_flag)
{
    *open_flag = 0;
    switch (level) {
    case PROP_LEVEL_BACKUP:
        return take_backup_name(h, static_cast<const char *>(levelarg));
    case PROP_LEVEL_CACHING:
        // The node-local registry publishes no votes.
        if (h->proprhandle_zkvctx->registry_kind != PROP_KIND_NKV) h->proprhandle_levelarg = levelarg;
        return 0;
    case PROP_LEVEL_RW:
    case PROP_LEVEL_READONLY:
        if (levelarg != nullptr) *open_flag = *static_cast<const u32 *>(levelarg);
        return 0;
    default:
        return 0;
    }
}

// A store half-way through an upgrade may only be opened by the importer
// (level 4) and by the caching daemon, which must keep the cluster going.
bool importing_refused(const proprhandle *h, u32 level)
{
    if (h->proprhandle_zkvctx->registry_kind == PROP_KIND_NKV) return false;
    if (level != PROP_LEVEL_RW && level != PROP_LEVEL_READONLY && level != PROP_LEVEL_BACKUP) return false;
    return h->proprhandle_upgrade_state == PROPR_UPGRADE_IMPORTING;
}

// Steps 3 to 9: everything the handle needs before a context can hold it.
u32 open_store(proprhandle *h, u32 level, void *levelarg)
{
    trace_comp tc = lc_trace(h);
    const u32 init_level = h->proprhandle_zkvctx->init_log_level;
    u32 open_flag = 0;
    if (u32 rc = take_levelarg(h, level, levelarg, &open_flag); rc != 0) return rc;

    if (u32 rc = proprioini(h, open_flag); rc != 0) {
        trace_print(tc, 0, "proprinit: Could not open raw device ");
        return rc;
    }
    trace_print(tc, init_level, "proprinit: Successfully initialized the I/O module (proprioini).");

    if (u32 rc = propribctx(h, 0, open_flag); rc != 0) {
        trace_print(tc, 0, "proprinit:problem reading the bootblock or superbloc %d\n", static_cast<int>(rc));
        return rc;
    }
    trace_print(tc, init_level, "proprinit: Successfully initialized the backend handle (propribctx).");

    if (importing_refused(h, level)) {
        trace_print(tc, 0,
                    "proprinit: Bootlevel[%d] is REBOOT/INSTALL/BACKUP and ZKV format upgrade is in IMPORTING "
                    "state. Cannot proceed further. Exiting..",
                    static_cast<int>(level));
        return PROP_E_IMPORTING;
    }

    if (proprch_init(h, &h->proprhandle_cache) != 0) {
        trace_print(tc, 0, "proprinit: Could not inititalize backend cache context");
        return PROP_E_STORAGE;
    }
    trace_print(tc, 4, "proprinit: Successfully initialized the backend cache context (proprch_init).");
    return 0;
}

// Steps 10 and 11: the caller's record, or a new one, now holds the handle.
u32 hand_over(backend_ctx **ctx, proprhandle *h, const lc_callers &callers, u32 level)
{
    MetaPtr<backend_ctx> created;
    backend_ctx *record = *ctx;
    if (record == nullptr) {
        created = MetaPtr<backend_ctx>::alloc(callers.meta);
        if (!created) {
            trace_print(lc_trace(h), 0, "proprinit: Could not allocate memory2 ");
            return PROP_E_NOMEM;
        }
        record = created.get();
    }
    std::memset(record, 0, sizeof *record);
    if (u32 rc = lc_ctx_fill(record, h, callers, level); rc != 0) return rc;
    created.release();
    *ctx = record;
    return 0;
}

}  // namespace

u32 proprinit(backend_ctx **ctx, prop_metactx *meta, prop_secctx *sctx, void *clsctx, u32 level,
              przkv_ctx *zkv, void *levelarg)
{
    trace_comp tc = lc_trace(nullptr);
    if (ctx == nullptr) {
        trace_print(tc, 0, "proprinit: Null context passed.");
        return PROP_E_NULL;
    }
    if (zkv == nullptr) {
        trace_print(tc, 0, "proprinit: Null ZKV context passed.");
        return PROP_E_NULL;
    }
    trace_print(tc, 4, "proprinit: Initializing the backend context (proprinit).");

    proprhandle *h = lc_handle_new(meta, sctx, zkv, level);
    if (h == nullptr) {
        trace_print(tc, 0, "proprinit: Could not allocate memory");
        return PROP_E_NOMEM;
    }
    u32 rc = open_store(h, level, levelarg);
    if (rc == 0) rc = hand_over(ctx, h, {meta, sctx, clsctx, zkv}, level);
    if (rc != 0) {
        proprhandleterminate(h);
        return rc;
    }
    trace_print(lc_trace(h), 4, "proprinit: Backend context initialization (proprinit) completed.");
    return 0;
}

// Opening, creating, sizing and closing the store file of a location.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/alloc.h"
#include "format/block.h"
#include "platform/version.h"
#include "vld/vldname.h"
#include "vld/vldint.h"

using namespace vldops;

namespace {

// Active versions from this one on name locations by complete file names.
constexpr u32 kCompleteNamesVersion = 0x0c100200;
constexpr u64 kRszUncountedBytes = 0x5029000;
constexpr u64 kOldUncountedBytes = 0x41f000;
constexpr u32 kHdrVersionAt = 10;  // header byte holding the store version
constexpr u32 kReducedSizeVersion = 4;

u32 close_quietly(proprhandle *handle, vld_file *f)
{
    vld_error err{};
    return vld_close_file(&err, client(handle), f, 1);
}

bool at_caching(const proprhandle *handle)
{
    return handle->proprhandle_bootlevel == PROP_LEVEL_CACHING;
}

// Step 5: a file past the largest store is cut back to it.  A smaller one
// is left alone, since a store of the reduced-size format may have grown
// into all of it.
u32 cap_size(proprhandle *handle, vld_file *f, const Name &n)
{
    trace_comp tc = vt(handle);
    vld_error err{};
    u64 blocks = 0;
    u32 bs = 0;
    if (vld_get_size(&err, client(handle), f, &blocks, &bs) != VLD_OK) {
        diagnose(handle, &err, "proprvldo", f, n.dg_bare, false);
        return PROP_E_STORAGE;
    }
    if (blocks <= PROPRVLD_MAX_BLOCKS) return 0;
    if (vld_shrink_file(&err, client(handle), f, PROPRVLD_MAX_BLOCKS) != VLD_OK) {
        trace_print(tc, 0,
                    "proprvldo: Failed in function vld_shrink_file while shrinking the ZKV file to [%d] pages. DG:[%s] "
                    "vldret:[%d]",
                    static_cast<int>(PROPRVLD_MAX_BLOCKS), n.dg, static_cast<int>(err.status));
        diagnose(handle, &err, "proprvldo", f, n.dg_bare, false);
        return PROP_E_STORAGE;
    }
    trace_print(tc, at_caching(handle) ? 1 : 4, "proprvldo: Successfully Shrinked the ZKV file in DG [%s] to [%d] pages",
                n.dg, static_cast<int>(PROPRVLD_MAX_BLOCKS));
    return 0;
}

// Step 5, the name: a disk-group location becomes the file's complete name.
u32 take_complete_name(proprhandle *handle, char *location, const Name &n)
{
    u32 use = 0;
    if (n.fname[0] != '\0' || proprvld_use_cfname(handle, &use, 0) != 0 || use == 0) return 0;
    char complete[PROP_LOCNAME_SIZE];
    vld_error err{};
    if (vld_get_registry_name(&err, client(handle), n.dg_bare, complete, sizeof complete) != VLD_OK) {
        trace_print(vt(handle), 0, "proprvldo: Failed in function vld_get_registry_name. DG:[%s] vldret:[%d]", n.dg,
                    static_cast<int>(err.status));
        diagnose(handle, &err, "proprvldo", nullptr, n.dg_bare, false);
        return PROP_E_STORAGE;
    }
    trace_print(vt(handle), 2, "proprvldo: Successfully retrieved the complete file name [%s].", complete);
    std::memcpy(location, complete, sizeof complete);
    return 0;
}

// Step 9: a reduced-size store grows in steps up to its largest size.
u32 set_growth(proprhandle *handle, vld_file *f, const Name &n)
{
    trace_comp tc = vt(handle);
    vld_error err{};
    char stack[VLD_MESSAGE_SIZE];
    if (vld_control(&err, client(handle), f, VLD_CTL_MAX_BLOCKS, PROPRVLD_MAX_BLOCKS) != VLD_OK) {
        trace_print(tc, 0, "proprvldo: vld_control returned error [%d] while setting the maxsize to [%d] pages",
                    static_cast<int>(err.status), static_cast<int>(PROPRVLD_MAX_BLOCKS));
        record(handle, &err, stack);
        return PROP_E_STORAGE;
    }
    trace_print(tc, 4, "proprvldo: Successfully set the maxsize to [%d] pages for ZKV file in VLD DG [%s]",
                static_cast<int>(PROPRVLD_MAX_BLOCKS), n.dg);
    if (vld_control(&err, client(handle), f, VLD_CTL_GROWTH, PROPRVLD_RSZ_GROWTH) != VLD_OK) {
        trace_print(tc, 0, "proprvldo: vld_control returned error [%d] while setting the incremental size to [%d] pages",
                    static_cast<int>(err.status), static_cast<int>(PROPRVLD_RSZ_GROWTH));
        record(handle, &err, stack);
        return PROP_E_STORAGE;
    }
    trace_print(tc, 4, "proprvldo: Successfully set the incremental size to [%d] pages for ZKV file in VLD dg [%s]",
                static_cast<int>(PROPRVLD_RSZ_GROWTH), n.dg);
    return 0;
}

// Step 6: no file yet where one may be made.
u32 create_missing(proprhandle *handle, char *location, u32 size, vld_file **out, const Name &n,
                   const vld_error &open_err, u32 mode)
{
    char stack[VLD_MESSAGE_SIZE];
    vld_error_message(&open_err, stack, sizeof stack);
    trace_print(vt(handle), 1,
                "proprvldo: ZKV file doesn't exist in DG [%s]. VLD error stack:[%s]. Attempting to create the file.",
                n.dg, stack);
    u32 rc = proprvldcr(handle, location, size, out, mode);
    if (rc == PROP_E_VLDCREATE) {
        trace_print(vt(handle), 0, "proprvldo:  Error [%d] creating the file in VLD dg [%s]", static_cast<int>(rc), n.dg);
        rc = PROP_E_STORAGE;
    }
    return rc;
}

// Only a location that names a disk group alone may get a new file: the
// disk group's registry file is whatever file it makes.  A location that
// names one file names that file only; when it is missing, a new file
// would carry another name, take the registry-file mark from the store's
// own file and be made again at every open.
bool may_create(u32 level, const Name &n)
{
    const bool level_writes = level == PROP_LEVEL_RW || level == PROP_LEVEL_CACHING || level == PROP_LEVEL_UPGRADE;
    return level_writes && n.fname[0] == '\0';
}

// The file a location names: at the backup level a backup file, "+DG:NAME"
// or "+DG/NAME"; otherwise a store file.
u32 split_for_level(proprhandle *handle, const char *location, Name *n, u32 *kind)
{
    *kind = VLD_KIND_REGISTRY;
    if (handle->proprhandle_bootlevel == PROP_LEVEL_BACKUP && std::strchr(location, ':') != nullptr) {
        *kind = VLD_KIND_BACKUP;
        u32 dgsz = sizeof n->dg, fsz = sizeof n->fname;
        n->dg_bare = n->dg + 1;
        return prou_split_vldbkpfname(location, n->dg, &dgsz, n->fname, &fsz);
    }
    if (handle->proprhandle_bootlevel == PROP_LEVEL_BACKUP) *kind = VLD_KIND_BACKUP;
    return split(location, n);
}

// The file settings an open asks for: the client cache, its size from
// ZKV_VLD_CACHE_SIZE (MB), and a direct connection to the instance.
constexpr u32 kDefaultCacheMb = 5;
constexpr u32 kMaxCacheMb = 100;

u32 cache_size_mb()
{
    const char *env = std::getenv("ZKV_VLD_CACHE_SIZE");
    if (env == nullptr) return kDefaultCacheMb;
    char text[11];
    std::snprintf(text, sizeof text, "%s", env);
    char *end = nullptr;
    const unsigned long mb = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || mb > kMaxCacheMb) return kDefaultCacheMb;
    return static_cast<u32>(mb);
}

}  // namespace

u32 proprvldo(proprhandle *handle, char *location, u32 size, vld_file **vldhdl, u32 flags)
{
    if (handle == nullptr) return PROP_E_CTX;
    trace_comp tc = vt(handle);
    if (location == nullptr || vldhdl == nullptr) return PROP_E_ARG;
    if (client(handle) == nullptr) return PROP_E_CTX;
    Name n;
    u32 kind = 0;
    if (u32 prc = split_for_level(handle, location, &n, &kind); prc != 0) {
        trace_print(tc, 0, "proprvldo: Failed in prou_parse_vldfname. prou_ret:[%d].", static_cast<int>(prc));
        return PROP_E_ARG;
    }
    if (n.dg[0] != PROU_VLD_PREFIX[0]) {
        trace_print(tc, 0, "proprvldo: dgname [%s] doesn't begin with VLD prefix [%s].", n.dg, PROU_VLD_PREFIX);
        return PROP_E_ARG;
    }
    const u32 level = handle->proprhandle_bootlevel;
    u32 mode = 0;
    if (access_mode(level, &mode) != 0) {
        trace_print(tc, 0, "proprvldo: Invalid bootlevel [%d]", static_cast<int>(level));
        return PROP_E_CTX;
    }
    vld_error err{};
    vld_file *f = nullptr;
    const u32 st = vld_open_file(&err, client(handle), n.dg_bare, n.fname, PROPRVLD_BLOCK, mode, kind, nullptr, 0, &f);
    const bool create = (flags & PROPRVLD_FLAGS_CREATE) != 0;
    const bool store = kind == VLD_KIND_REGISTRY;
    if (st == VLD_OK && create && (level == PROP_LEVEL_CACHING || level == PROP_LEVEL_UPGRADE) && store) {
        u32 rc = cap_size(handle, f, n);
        if (rc == 0) rc = take_complete_name(handle, location, n);
        if (rc != 0) {
            close_quietly(handle, f);
            return rc;
        }
    }
    if (st == VLD_ENOFILE && create && may_create(level, n) && store) {
        if (u32 rc = create_missing(handle, location, size, &f, n, err, mode); rc != 0) return rc;
    } else if (st != VLD_OK) {
        trace_print(tc, 0, "proprvldo: Failed to open the file in DG [%s]", n.dg);
        trace_print(tc, 0, "proprvldo: Error in open/create file in dg [%s]", n.dg);
        diagnose(handle, &err, "proprvldo", nullptr, n.dg_bare, !store);
        return PROP_E_STORAGE;
    }
    if ((flags & PROPRVLD_FLAGS_CACHE) != 0 && level == PROP_LEVEL_CACHING) {
        // Direct connection is never switched on here: prop_vld_directconn
        // asks for it, once the caller knows the local instance serves it.
        if (u32 rc = proprvldcache(handle, f, location, flags); rc != 0) {
            trace_print(tc, 0, "proprvldo: proprvldcache returned error [%d]", static_cast<int>(rc));
            close_quietly(handle, f);
            return rc;
        }
    }
    u32 reduced = 0;
    if (mode == VLD_MODE_RW && store && proprvld_is_rsz(handle, f, location, &reduced, 0) == 0 && reduced != 0) {
        if (u32 rc = set_growth(handle, f, n); rc != 0) {
            close_quietly(handle, f);
            return rc;
        }
    }
    trace_print(tc, 2, "proprvldo: Successfully opened/created ZKV file in VLD DG [%s]", n.dg);
    *vldhdl = f;
    return 0;
}

u32 proprvldcr(proprhandle *handle, char *location, u32 numpage, vld_file **vldhdl, u32 mode)
{
    if (handle == nullptr) return PROP_E_CTX;
    trace_comp tc = vt(handle);
    Name n;
    if (location == nullptr || vldhdl == nullptr || split(location, &n) != 0 || n.dg[0] != PROU_VLD_PREFIX[0]) {
        trace_print(tc, 0, "proprvldcr: dgname [%s] doesn't begin with VLD prefix [%s].",
                    location != nullptr ? location : "", PROU_VLD_PREFIX);
        return PROP_E_ARG;
    }
    u32 reduced = 1;
    proprvld_is_rsz(handle, nullptr, location, &reduced, 0);
    const u64 blocks = reduced != 0 ? PROPRVLD_RSZ_START : u64{PROPRVLD_UNCOUNTED_BLOCKS} + numpage;
    trace_print(tc, at_caching(handle) ? 1 : 4,
                "proprvldcr: Creating ZKV file in VLD dg [%s] with pages [%d]. reducedsz:[%d]", n.dg,
                static_cast<int>(blocks), static_cast<int>(reduced));
    vld_context *ctx = client(handle);
    vld_error err{};
    vld_file *f = nullptr;
    char complete[PROP_LOCNAME_SIZE];
    if (vld_create_file_2p(&err, ctx, n.dg_bare, PROPRVLD_BLOCK, blocks, VLD_KIND_REGISTRY, complete, sizeof complete,
                           &f) != VLD_OK) {
        trace_print(tc, 0, "proprvldcr:  Error creating zkv file in dg [%s]", n.dg);
        diagnose(handle, &err, "proprvldcr", nullptr, n.dg_bare, false);
        return PROP_E_VLDCREATE;
    }
    trace_print(tc, 2, "proprvldcr: Create issued for zkv file in dg [%s]. Complete VLD filename:[%s]", n.dg, complete);
    Name made;
    split(complete, &made);
    // A new file must never read as a store, whatever its blocks held.
    if (u32 rc = proprvldsync(handle, f, complete, PROPRVLD_FLAGS_WRITE_ONLY); rc != 0) {
        trace_print(tc, 0, "proprvldcr:  Error [%d] clearing boot block for newly created ZKV file in DG [%s].",
                    static_cast<int>(rc), n.dg);
        close_quietly(handle, f);
        vld_delete_file(&err, ctx, n.dg_bare, made.fname);
        return PROP_E_STORAGE;
    }
    if (vld_commit_file_2p(&err, ctx, f) != VLD_OK) {
        trace_print(tc, 0, "proprvldcr:  Error commiting create zkv file in dg [%s]", n.dg);
        diagnose(handle, &err, "proprvldcr", f, n.dg_bare, false);
        close_quietly(handle, f);
        vld_delete_file(&err, ctx, n.dg_bare, made.fname);
        return PROP_E_VLDCREATE;
    }
    trace_print(tc, 2, "proprvldcr: Create committed for zkv file in dg [%s]", n.dg);
    close_quietly(handle, f);
    if (vld_open_file(&err, ctx, n.dg_bare, made.fname, PROPRVLD_BLOCK, mode, VLD_KIND_REGISTRY, nullptr, 0, &f) !=
        VLD_OK) {
        trace_print(tc, 0, "proprvldcr:  Failed to open the file in dg [%s] after creating it successfully.", n.dg);
        diagnose(handle, &err, "proprvldcr", nullptr, n.dg_bare, false);
        return PROP_E_VLDCREATE;
    }
    u32 use = 0;
    if (proprvld_use_cfname(handle, &use, 0) == 0 && use != 0) std::memcpy(location, complete, sizeof complete);
    *vldhdl = f;
    return 0;
}

u32 proprvldcl(proprhandle *handle, vld_file *vldhdl, u32 flags)
{
    if (handle == nullptr) return PROP_E_CTX;
    if (vldhdl == nullptr) return PROP_E_ARG;
    vld_file_status s{};
    vld_file_describe(vldhdl, &s);
    char dg[VLD_DG_MAX + 1];
    std::snprintf(dg, sizeof dg, "%s", s.dg);
    vld_error err{};
    if (vld_close_file(&err, client(handle), vldhdl, flags) != VLD_OK) {
        trace_print(vt(handle), 0, "proprvldcl: Failed to close the file in DG [+%s]", dg);
        diagnose(handle, &err, "proprvldcl", nullptr, dg, false);
        return PROP_E_STORAGE;
    }
    return 0;
}

u32 proprvldfill(proprhandle *handle, vld_file *vldhdl, const char *location, u32 *numpage)
{
    if (handle == nullptr || vldhdl == nullptr || location == nullptr || numpage == nullptr) {
        trace_print(vt(handle), 0, "proprvldfill: Backend context passed [%p], VLD handle [%p], numpage pointer [%p]",
                    static_cast<void *>(handle), static_cast<void *>(vldhdl), static_cast<void *>(numpage));
        return PROP_E_NULL;
    }
    trace_comp tc = vt(handle);
    if (handle->proprhandle_os_min_block_size < PROPRVLD_BLOCK) handle->proprhandle_os_min_block_size = PROPRVLD_BLOCK;
    vld_error err{};
    u64 blocks = 0;
    u32 bs = 0;
    const u32 level = handle->proprhandle_bootlevel;
    if (vld_get_size(&err, client(handle), vldhdl, &blocks, &bs) != VLD_OK ||
        (bs != PROPRVLD_BLOCK && level != PROP_LEVEL_READONLY)) {
        trace_print(tc, 0, "proprvldfill: Error in vld_get_size. Num Page [%d] Page Size [%d]", static_cast<int>(blocks),
                    static_cast<int>(bs));
        Name n;
        const char *dg = split(location, &n) == 0 ? n.dg_bare : nullptr;
        if (err.status != VLD_OK) diagnose(handle, &err, "proprvldfill", vldhdl, dg, false);
        return PROP_E_STORAGE;
    }
    u32 reduced = 0;
    proprvld_is_rsz(handle, vldhdl, location, &reduced, 0);
    const u64 usable = reduced != 0 ? u64{PROPRVLD_MAX_BLOCKS} * PROPRVLD_BLOCK - kRszUncountedBytes
                       : blocks * bs > kOldUncountedBytes ? blocks * bs - kOldUncountedBytes
                                                           : 0;
    handle->totalsize = static_cast<i64>(usable);
    const u64 pages = usable / PROPRVLD_BLOCK;
    *numpage = static_cast<u32>(pages);
    if (pages < PROPRVLD_MIN_PAGES && level != PROP_LEVEL_BACKUP) {
        trace_print(tc, 0, "proprvldfill: Not enough space in the backing store");
        return PROP_E_DEVSPACE;
    }
    trace_print(tc, 2, "proprvldfill: Returned Num Page [%d] Total Size  [%d]", static_cast<int>(pages),
                static_cast<int>(usable));
    return 0;
}

u32 proprvld_is_rsz(proprhandle *handle, vld_file *vldhdl, const char *location, u32 *reduced, u32)
{
    if (handle == nullptr || reduced == nullptr) return PROP_E_CTX;
    const u32 level = handle->proprhandle_bootlevel;
    if (level == PROP_LEVEL_RW || level == PROP_LEVEL_UPGRADE) {
        *reduced = 1;
        return 0;
    }
    if (level != PROP_LEVEL_CACHING) {
        *reduced = 0;
        return 0;
    }
    // A file not made yet gets the format this build writes.
    if (handle->version[0] != 0 || vldhdl == nullptr) {
        *reduced = handle->version[0] == 0 || handle->version[0] >= kReducedSizeVersion ? 1 : 0;
        return 0;
    }
    trace_comp tc = vt(handle);
    MetaPtr<u8> boot = MetaPtr<u8>::alloc(handle->metactx, PROPRVLD_BLOCK);
    if (!boot) {
        trace_print(tc, 0, "proprvld_is_rsz: Failed to allocate memory to read boot block. Return:[%d]", PROP_E_NOMEM);
        return PROP_E_NOMEM;
    }
    u32 rc = proprvldr(handle, boot.get(), PROPRVLD_BLOCK, 0, vldhdl, location, 1);
    if (rc == 0 && proprut_isblk_valid_buf(boot.get(), PROPR_BLK_METADATA) == 0) {
        trace_print(tc, 1,
                    "proprvld_is_rsz: Boot block read is not a valid block. Retrying to read from another mirror for "
                    "location [%s].",
                    location);
        rc = proprvldres(handle, boot.get(), PROPRVLD_BLOCK, 0, vldhdl, location, 0);
    }
    if (rc != 0 || proprut_isblk_valid_buf(boot.get(), PROPR_BLK_METADATA) == 0) return PROP_E_FORMAT;
    handle->version[0] = boot[kHdrVersionAt];
    *reduced = handle->version[0] >= kReducedSizeVersion ? 1 : 0;
    return 0;
}

u32 proprvld_use_cfname(proprhandle *handle, u32 *use, u32)
{
    if (handle == nullptr || use == nullptr) return PROP_E_CTX;
    const u32 level = handle->proprhandle_bootlevel;
    if (level == PROP_LEVEL_RW || level == PROP_LEVEL_UPGRADE) {
        *use = 1;
        return 0;
    }
    if (level != PROP_LEVEL_CACHING) return PROP_E_CTX;
    const przkv_ctx *zkv = handle->proprhandle_zkvctx;
    u32 version = 0;
    if (zkv == nullptr || !version_to_number(zkv->active_version, &version)) {
        trace_print(vt(handle), 0, "proprvld_use_cfname: AV in context is invalid [%s]",
                    zkv != nullptr ? zkv->active_version : "");
        return PROP_E_CTX;
    }
    *use = version >= kCompleteNamesVersion ? 1 : 0;
    return 0;
}

u32 proprvldcache(proprhandle *handle, vld_file *vldhdl, const char *location, u32 flags)
{
    if (handle == nullptr || client(handle) == nullptr) return PROP_E_CTX;
    trace_comp tc = vt(handle);
    if ((flags & PROPRVLD_FLAGS_CACHE) == 0) {
        trace_print(tc, 0, "proprvldcache: PROPRVLD_FLAGS_CACHE bit not set");
        return PROP_E_ARG;
    }
    const u32 mb = cache_size_mb();
    trace_print(tc, 2, "proprvldcache: VLD cache size is [%dMB]", static_cast<int>(mb));
    if (mb == 0) {
        trace_print(tc, 2, "proprvldcache: VLD cache disabled for disk group [%s].", location);
        return 0;
    }
    vld_error err{};
    if (vld_control(&err, client(handle), vldhdl, VLD_CTL_CACHE_MB, mb) != VLD_OK) {
        char stack[VLD_MESSAGE_SIZE];
        record(handle, &err, stack);
        trace_print(tc, 0, "proprvldcache: vld_control returned error [%d] for disk group [%s]",
                    static_cast<int>(err.status), location);
        return PROP_E_STORAGE;
    }
    trace_print(tc, 2, "proprvldcache: VLD cache [%dMB] enabled for disk group [%s].", static_cast<int>(mb), location);
    return 0;
}

u32 proprvlddirectconn(proprhandle *handle, vld_file *vldhdl, const char *location, u32)
{
    if (handle == nullptr || client(handle) == nullptr) return PROP_E_CTX;
    if (vldhdl == nullptr) return PROP_E_ARG;
    trace_comp tc = vt(handle);
    vld_error err{};
    const u32 st = vld_control(&err, client(handle), vldhdl, VLD_CTL_DIRECT, 1);
    if (st == VLD_ENOTOFFERED) {
        trace_print(tc, 1, "proprvlddirectconn: Direct Connection to VLD instance is not yet implemented.");
        return 0;
    }
    if (st != VLD_OK) {
        char stack[VLD_MESSAGE_SIZE];
        record(handle, &err, stack);
        trace_print(tc, 0, "proprvlddirectconn: vld_control returned error [%d] for diskgroup [%s]",
                    static_cast<int>(st), location);
        return PROP_E_STORAGE;
    }
    trace_print(tc, 1,
                "proprvlddirectconn: Direct Connection to VLD instance is enabled for ZKV file access in disk group [%s].",
                location);
    return 0;
}

// The store's upgrade state word, its ids, and what a location that is not
// configured yet holds.
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "diag/common.h"
#include "diag/diag.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "format/storemap.h"
#include "io/io.h"
#include "platform/env.h"
#include "platform/thread.h"
#include "txn/blockio.h"
#include "vld/vld.h"

using namespace diag;

namespace {

bool read_only_level(u32 level)
{
    return level == PROP_LEVEL_READONLY || level == PROP_LEVEL_BACKUP;
}

u32 load_state(u32 *word)
{
    return __atomic_load_n(word, __ATOMIC_RELAXED);
}

// Readers of the state share the context lock and may refresh the copy at
// the same moment.
void keep_state(u32 *word, u32 state)
{
    __atomic_store_n(word, state, __ATOMIC_RELAXED);
}

bool is_vld_name(const char *name)
{
    return name[0] == '+';
}

// Reads the first block of a file's store, behind its reserved area.
u32 read_head(const char *location, u8 *block)
{
    Env *env = env_current();
    env_file *f = nullptr;
    int err = env->open(location, O_RDONLY, 0, &f);
    if (err != 0) {
        trace_print(raw(nullptr), 0, "prgdevid: Failed to open the ZKV location to be added [%.256s]. Retval[%d]",
                    location, err);
        return PROP_E_STORAGE;
    }
    size_t done = 0;
    err = env->pread(f, block, PROP_PAGE_SIZE, PROPR_RESERVED_PREFIX, &done);
    env->close(f);
    if (err != 0 || done != PROP_PAGE_SIZE) {
        trace_print(raw(nullptr), 0, "prgdevid: Failed to read from the device [%.256s]. offset [%d]. Retval [%d]",
                    location, static_cast<int>(PROPR_RESERVED_PREFIX), err != 0 ? err : EIO);
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

}  // namespace

u32 proprgstate(backend_ctx *ctx, u32 *state, u32 flags)
{
    if (ctx == nullptr || ctx->propb_ctx == nullptr) {
        trace_print(raw(nullptr), 0, "proprgstate: Null context passed.");
        return PROP_E_CTX;
    }
    proprhandle *h = ctx->propb_ctx;
    if (state == nullptr) {
        trace_print(raw(h), 0, "proprgstate: Null state passed.");
        return PROP_E_NULL;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Shared);
    if ((flags & DIAG_STATE_IN_MEMORY) == 0) {
        alignas(8) u8 boot[PROP_PAGE_SIZE];
        if (u32 rc = proprior(h, boot, PROP_PAGE_SIZE, PROPR_BOOT_ADDR, 0, PROPRIO_ALL); rc != PROP_OK) {
            trace_print(raw(h), 0, "proprgstate: Problem reading the bootblock. Return[%d]", static_cast<int>(rc));
            return rc;
        }
        keep_state(&h->proprhandle_upgrade_state, be32_at(boot, BOOT_OFF_UPGRADE_STATE));
    }
    *state = load_state(&h->proprhandle_upgrade_state);
    return PROP_OK;
}

u32 proprsstate(backend_ctx *ctx, u32 state, u32 flags)
{
    if (ctx == nullptr || ctx->propb_ctx == nullptr) {
        trace_print(raw(nullptr), 0, "proprsstate: Null context passed.");
        return PROP_E_CTX;
    }
    proprhandle *h = ctx->propb_ctx;
    const bool in_memory = (flags & DIAG_STATE_IN_MEMORY) != 0;
    // A read-only context never writes the store, but may change its own
    // view: asking it to write is a request it cannot take.
    if (read_only_level(h->proprhandle_bootlevel) && !in_memory) {
        trace_print(raw(h), 0, "proprsstate: The store is open read-only; only its in-memory state can be set.");
        return PROP_E_ARG;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    if (!in_memory) {
        if (h->bootbuf == nullptr) return PROP_E_STORAGE;
        const u32 before = be32_at(h->bootbuf, BOOT_OFF_UPGRADE_STATE);
        be32_put(h->bootbuf, BOOT_OFF_UPGRADE_STATE, state);
        if (u32 rc = ut_stamp_write(h, h->bootbuf, PROPR_BOOT_ADDR); rc != PROP_OK) {
            trace_print(raw(h), 0, "proprsstate: Problem while writing back the bootbuf.");
            // The next commit writes the boot buffer everywhere: it must not
            // carry a state the caller was told did not take.
            be32_put(h->bootbuf, BOOT_OFF_UPGRADE_STATE, before);
            hdr_stamp_checksum(h->bootbuf, PROP_PAGE_SIZE);
            return rc;
        }
    }
    keep_state(&h->proprhandle_upgrade_state, state);
    return PROP_OK;
}

u32 prgid(backend_ctx *ctx, u32 *zkvid, u32 dev[PROP_MAX_LOCATIONS], u32)
{
    if (ctx == nullptr) {
        trace_print(raw(nullptr), 0, "prgid: Null context passed ");
        return PROP_E_CTX;
    }
    if (ctx->propb_ctx == nullptr) {
        trace_print(raw(nullptr), 0, "prgid: Backend context passed is null");
        return PROP_E_CTX;
    }
    const proprhandle *h = ctx->propb_ctx;
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Shared);
    if (zkvid != nullptr) *zkvid = h->proprhandle_zkvid;
    if (dev == nullptr) {
        trace_print(raw(h), 4, "prgid: dev is NULL");
        return PROP_OK;
    }
    std::memcpy(dev, h->proprhandle_devid, sizeof h->proprhandle_devid);
    trace_print(raw(h), 2, "%s (%d, %d, %d, %d, %d)", "prgid: printing dev hash id:", static_cast<int>(dev[0]),
                static_cast<int>(dev[1]), static_cast<int>(dev[2]), static_cast<int>(dev[3]), static_cast<int>(dev[4]));
    return PROP_OK;
}

u32 prgdevid(backend_ctx *, const char *location, u32 *zkvid)
{
    if (location == nullptr || zkvid == nullptr) {
        trace_print(raw(nullptr), 0, "prdevid: One of the parameter is NULL.");
        return PROP_E_STORAGE;
    }
    if (is_vld_name(location)) {
        trace_print(raw(nullptr), 0, "prgdevid: The device passed [%.256s] is an VLD diskgroup. Not supported.",
                    location);
        return PROP_E_ARG;
    }
    alignas(8) u8 boot[PROP_PAGE_SIZE];
    if (u32 rc = read_head(location, boot); rc != PROP_OK) return rc;
    // Without a boot block there is no store id to report, only noise.
    if (proprut_isblk_valid_buf(boot, PROPR_BLK_METADATA) == 0) {
        trace_print(raw(nullptr), 0, "prgdevid: [%.256s] holds no store", location);
        return PROP_E_FORMAT;
    }
    *zkvid = be32_at(boot, BOOT_OFF_ZKVID);
    return PROP_OK;
}

u32 proprfexists(prop_metactx *metactx, const char *filename, u32 *exists, u32)
{
    // Names in the volume manager are looked up through its client.
    if (is_vld_name(filename)) return proprvld_file_exists_name(metactx, filename, exists);
    Env *env = env_current();
    env_file *f = nullptr;
    int err = env->open(filename, O_RDONLY, 0, &f);
    if (err == ENOENT || err == ENOTDIR) {
        *exists = 0;
        return PROP_OK;
    }
    if (err != 0) {
        trace_print(raw(nullptr), 0, "propr_file_exists: cannot open [%.256s]: %d", filename, err);
        return PROP_E_STORAGE;
    }
    env->close(f);
    *exists = 1;
    return PROP_OK;
}

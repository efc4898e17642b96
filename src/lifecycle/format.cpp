// propriniconfig: lays a new, empty store over the configured locations and
// hands the caller a working context over it.
#include <cstring>

#include "cache/cache.h"
#include "core/alloc.h"
#include "format/layout.h"
#include "format/storemap.h"
#include "io/devhist.h"
#include "io/group.h"
#include "io/io.h"
#include "lifecycle/format.h"
#include "lifecycle/newhandle.h"
#include "lifecycle/terminate.h"
#include "space/fcl.h"
#include "storage/config.h"
#include "tree/security.h"
#include "txn/log.h"

using namespace propreg;

namespace {

// The level argument of a new store with an id of its own.
constexpr u32 kFormatFlag = 16;

// What the level argument asks of a new store.
struct format_request {
    u32 open_flag = 0;
    u32 grow_to = 0;  // pages the store may grow to without a new format
    const u32 *zkvid = nullptr;  // the id to keep, or nullptr for a new one
    u32 format_flag = 0;
};

// At level 4 the store is about to receive the keys of an older one: it
// is marked importing until the importer is done.
format_request take_levelarg(proprhandle *h, u32 level, const u32 *levelarg)
{
    format_request req;
    if (level == PROP_LEVEL_UPGRADE) {
        h->proprhandle_upgrade_state = PROPR_UPGRADE_IMPORTING;
        const bool nkv = h->proprhandle_zkvctx->registry_kind == PROP_KIND_NKV;
        if (levelarg != nullptr && nkv && *levelarg == kFormatFlag)
            req.format_flag = 1;
        else
            req.zkvid = levelarg;
    } else if (levelarg != nullptr) {
        req.open_flag = *levelarg & ~PROP_SETUP_GROW_TO;
        if ((*levelarg & PROP_SETUP_GROW_TO) != 0) req.grow_to = levelarg[1];
    }
    return req;
}

u32 size_store(proprhandle *h, u32 grow_to, propr_storemap *map)
{
    trace_comp tc = lc_trace(h);
    const u32 pages = h->numpage;
    if (propr_storemap_compute(pages, map, grow_to) != 0) {
        trace_print(tc, 0, "propriniconfig: Could not calculate numpage (%d)", static_cast<int>(pages));
        return PROP_E_STORAGE;
    }
    h->proprhandle_num_fcl = map->num_fcl;
    h->numpage = map->numpage;
    h->ndk_addr = map->ndk_addr;
    h->proprhandle_lsst = map->lsst;
    h->proprhandle_num_log = map->num_log;
    h->proprhandle_odbst = map->odbst;
    h->proprhandle_gdbst = map->gdbst;
    h->proprhandle_rtnst = map->rtnst;
    trace_print(tc, 2, "propriniconfig: NUMBER OF BIT MAP PAGES = %d, numpage=%d", static_cast<int>(map->num_fcl),
                static_cast<int>(map->numpage));
    if (u32 rc = proprutifcl(h); rc != 0) return rc;
    trace_print(tc, 4, "propriniconfig: ZKV NUM PAGE IS = %d", static_cast<int>(h->numpage));
    return 0;
}

// A volume-manager disk group becomes a complete file name when the file
// is created; the configuration must name the file from then on.
u32 record_new_name(proprhandle *h, u32 slot, const char *before)
{
    const char *now = h->proprhandle_filename[slot];
    if (h->proprhandle_loctype[slot] != PROP_LOCTYPE_VLD || std::strcmp(before, now) == 0 ||
        h->proprhandle_upgrade_state == PROPR_UPGRADE_IMPORTING)
        return 0;
    char name[PROP_LOCNAME_SIZE];
    std::memcpy(name, now, sizeof name);
    if (u32 rc = dev_update(h, slot, name); rc != 0) {
        trace_print(lc_trace(h), 0, "iniconf: could not change config. Retval:[%d]", static_cast<int>(rc));
        return rc;
    }
    trace_print(lc_trace(h), 4, "iniconf: Successfully updated the configuration [%d] with VLD complete filename [%s]",
                static_cast<int>(slot), name);
    return 0;
}

// Every open location must reach the store's last page.
u32 extend_locations(proprhandle *h, u64 last_page_addr)
{
    const u32 kind = ut_registry_kind(h);
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        if (h->proprhandle_native_state[i] != PROP_SLOT_OPEN) continue;
        char before[PROP_LOCNAME_SIZE];
        std::memcpy(before, h->proprhandle_filename[i], sizeof before);
        if (u32 rc = propriodvch(h, h->proprhandle_filename[i], last_page_addr, 1, kind); rc != 0) {
            trace_print(lc_trace(h), 0, "iniconf: failed trying to extend ZKV location [%s] to size [%d] with return [%d]",
                        before, static_cast<int>(last_page_addr), static_cast<int>(rc));
            return rc;
        }
        if (u32 rc = record_new_name(h, i, before); rc != 0) return rc;
    }
    return 0;
}

// The boot block goes first (a blank one) and last (the commit of the root
// key writes it): see proprinitb.  The fixed blocks between them need no
// order of their own: one group.
u32 write_blocks(proprhandle *h, const format_request &req)
{
    if (u32 rc = proprinitb(h, req.zkvid, req.format_flag); rc != 0) return rc;
    WriteGroup group(h);
    if (u32 rc = proprinits(h, group); rc != 0) return rc;
    if (u32 rc = proprinitf(h, group); rc != 0) return rc;
    if (u32 rc = proprinitl(h, group); rc != 0) return rc;
    if (u32 rc = proprinitd(h, group); rc != 0) return rc;
    if (group.flush() != 0) {
        trace_print(lc_trace(h), 0, "initb: problem writing the fixed blocks of the store");
        return PROP_E_STORAGE;
    }
    return 0;
}

// Steps 2 to 7: the store on disk and everything the handle keeps of it.
u32 format_store(proprhandle *h, const format_request &req, const sec_attr *topsec, prop_metactx *meta)
{
    trace_comp tc = lc_trace(h);
    if (u32 rc = proprioini(h, req.open_flag); rc != 0) {
        trace_print(tc, 0, "propriniconfig: Could not open the raw device");
        return rc;
    }
    propr_storemap map{};
    if (u32 rc = size_store(h, req.grow_to, &map); rc != 0) return rc;
    if (u32 rc = extend_locations(h, map.last_page_addr); rc != 0) return rc;
    if (u32 rc = write_blocks(h, req); rc != 0) return rc;
    if (u32 rc = proprutilog(h); rc != 0) return rc;
    if (proprch_init(h, &h->proprhandle_cache) != 0) {
        trace_print(tc, 0, "propriniconfig: Could not inititalize backend cache context");
        return PROP_E_STORAGE;
    }
    return proprinicreateroot(h, topsec, meta);
}

u32 hand_over(backend_ctx **ctx, proprhandle *h, const lc_callers &callers, u32 level)
{
    MetaPtr<backend_ctx> created = MetaPtr<backend_ctx>::alloc(callers.meta);
    if (!created) {
        trace_print(lc_trace(h), 2, "propriniconfig: Could not allocate memory2 ");
        return PROP_E_NOMEM;
    }
    if (u32 rc = lc_ctx_fill(created.get(), h, callers, level); rc != 0) return rc;
    *ctx = created.release();
    return 0;
}

}  // namespace

u32 propriniconfig(backend_ctx **ctx, prop_secctx *sctx, void *clsctx, const sec_attr *topsec,
                   prop_metactx *meta, przkv_ctx *zkv, i32 level, u32 *levelarg)
{
    trace_comp tc = lc_trace(nullptr);
    if (ctx == nullptr || zkv == nullptr || topsec == nullptr) {
        trace_print(tc, 0, "propriniconfig: Null context or security record passed.");
        return PROP_E_NULL;
    }
    // Every argument is checked before the first write: a refused format
    // leaves the store that was there as it was.
    if (u32 rc = proprssec_check(topsec); rc != 0) {
        trace_print(tc, 0, "propriniconfig: The security record of the top-level keys names no owner.");
        return rc;
    }
    const u32 ulevel = static_cast<u32>(level);
    proprhandle *h = lc_handle_new(meta, sctx, zkv, ulevel);
    if (h == nullptr) {
        trace_print(tc, 0, "propriniconfig: Could not allocate memory");
        return PROP_E_NOMEM;
    }
    const format_request req = take_levelarg(h, ulevel, levelarg);
    u32 rc = format_store(h, req, topsec, meta);
    if (rc == 0) rc = hand_over(ctx, h, {meta, sctx, clsctx, zkv}, ulevel);
    if (rc != 0) {
        proprhandleterminate(h);
        return rc;
    }
    return 0;
}

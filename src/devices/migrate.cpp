// dev_migrate: locations that name a volume-manager disk group ("+DG")
// become the complete names of the disk groups' registry files.  The names
// change, and so do their device ids: all of them are written in one step,
// and the Cache Writer records the new ids in the boot blocks.
#include <cstring>

#include "core/alloc.h"
#include "devices/devices.h"
#include "devices/temphandle.h"
#include "devices/vldcalls.h"
#include "format/block.h"
#include "io/devhist.h"
#include "io/devid.h"
#include "io/io.h"
#include "io/pagecache.h"
#include "storage/device.h"
#include "vld/vldname.h"

using namespace propreg;

namespace {

constexpr u32 kDgBufSize = PROU_VLD_DGNAME_MAX + 2;

// The complete file names of the disk-group locations, into planned (a copy
// of the table).  *changed counts the slots that change.
u32 plan_names(proprhandle *h, dev_names planned, u32 *changed)
{
    trace_comp tc = dev_trace(h);
    std::memcpy(planned, h->proprhandle_filename, sizeof(dev_names));
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        const char *name = h->proprhandle_filename[i];
        if (name[0] != '+') continue;
        char dg[kDgBufSize];
        char fname[PROP_LOCNAME_SIZE];
        u32 dgsz = sizeof dg, fnamesz = sizeof fname;
        if (u32 prc = prou_parse_vldfname(name, dg, &dgsz, fname, &fnamesz); prc != 0) {
            trace_print(tc, 0, "dev_migrate: Failed in prou_parse_vldfname. prou_ret:[%d].", static_cast<int>(prc));
            return PROP_E_STORAGE;
        }
        if (fname[0] != '\0') {
            trace_print(tc, 1, "dev_migrate: Location [%d] already contains the VLD complete file name:[%s]",
                        static_cast<int>(i), name);
            continue;
        }
        char complete[PROP_LOCNAME_SIZE] = {};
        if (u32 rc = dev_vld_complete_name(h, dg, complete, sizeof complete); rc != 0) {
            trace_print(tc, 0, "dev_migrate: Failed to get VLD complete file name for diskgroup [%s]. Retval:[%d]", dg,
                        static_cast<int>(rc));
            return rc;
        }
        trace_print(tc, 1, "dev_migrate: VLD complete filename retrieved for diskgroup [%s] is [%s]", dg, complete);
        std::memset(planned[i], 0, PROP_LOCNAME_SIZE);
        std::memcpy(planned[i], complete, strnlen(complete, DEV_NAME_MAX));
        (*changed)++;
    }
    return 0;
}

// The table takes the planned names in one configuration write.  The
// Cache Writer keeps the names it starts from beside them until the boot
// blocks record the new ids: an open after a cut in between finishes or
// undoes the change from what the boot blocks say.
u32 write_names(proprhandle *h, const dev_names planned, u32 master)
{
    trace_comp tc = dev_trace(h);
    u32 count = 0;
    u32 rc = dev_verify_names(tc, planned, &count);
    dev_names *saved = reinterpret_cast<dev_names *>(u_allocm(h->metactx, sizeof(dev_names)));
    if (saved == nullptr) return PROP_E_NOMEM;
    std::memcpy(*saved, h->proprhandle_filename, sizeof(dev_names));
    if (rc == 0) {
        std::memcpy(h->proprhandle_filename, planned, sizeof(dev_names));
        rc = ut_write_locations(h, master != 0 ? *saved : nullptr);
        if (rc != 0) std::memcpy(h->proprhandle_filename, *saved, sizeof(dev_names));
    }
    u_freem(h->metactx, saved);
    if (rc != 0) trace_print(tc, 0, "dev_migrate: Failed to update the local ZKV configuration [%d]. Retval:[%d]", 0,
                             static_cast<int>(rc));
    else
        trace_print(tc, 1, "dev_migrate: Successfully updated the ZKV configuration [%d] with VLD complete filename.", 0);
    return rc;
}

// The Cache Writer records the new ids in the boot blocks.
u32 record_ids(proprhandle *h, const u32 *prev, const u32 *next)
{
    trace_comp tc = dev_trace(h);
    trace_print(tc, 1, "dev_migrate: I am the Cache Writer. Updating the device identifiers in boot block.");
    if (h->bootbuf == nullptr || dev_whist(h->bootbuf, prev, next) != 0) {
        trace_print(tc, 0, "dev_migrate: could not write device replacement history");
        return PROP_E_STORAGE;
    }
    hdr_stamp_checksum(h->bootbuf, PROP_PAGE_SIZE);
    const u32 rc = propriow(h, h->bootbuf, PROP_PAGE_SIZE, 0, PROPRIO_ALL);
    if (rc == PROP_E_STORAGE) {
        trace_print(tc, 0, "dev_migrate: problem writing back the bootbuf. Retval:[%d]", static_cast<int>(rc));
        return rc;
    }
    trace_print(tc, 1, "dev_migrate: Successfully updated the device identifiers in boot block.");
    return 0;
}

u32 migrate_locked(proprhandle *h, u32 master)
{
    trace_comp tc = dev_trace(h);
    MetaPtr<char> buf = MetaPtr<char>::alloc(h->metactx, sizeof(dev_names));
    if (!buf) return PROP_E_NOMEM;
    auto *planned = reinterpret_cast<char(*)[PROP_LOCNAME_SIZE]>(buf.get());
    u32 changed = 0;
    if (u32 rc = plan_names(h, planned, &changed); rc != 0) return rc;
    if (changed == 0) {
        trace_print(tc, 1, "dev_migrate: No VLD location configured that needs migration. Returning SUCCESS");
        return 0;
    }
    u32 prev[PROP_NUM_SLOTS];
    std::memcpy(prev, h->proprhandle_devid, sizeof prev);
    if (u32 rc = write_names(h, planned, master); rc != 0) return rc;
    // The locations go by other names, so pages are read from another set.
    pagecache_clear(h);
    trace_print(tc, 1, "dev_migrate: Successfully updated one or more VLD locations with VLD complete file name.");
    u32 next[PROP_NUM_SLOTS] = {};
    char errbuf[1024] = {};
    u64 errsz = sizeof errbuf;
    if (proprdev_get(h, next, errbuf, &errsz, 0) != 0) {
        trace_print(tc, 0, "dev_migrate: cannot get current configuration");
        return PROP_E_STORAGE;
    }
    // The handle goes on as the new configuration names it.
    std::memcpy(h->proprhandle_devid, next, sizeof next);
    if (master == 0) {
        trace_print(tc, 1, "dev_migrate: I am not the Cache Writer. No need to update device identifier in boot block.");
        return 0;
    }
    // A failure leaves the old names kept: the next open settles the change.
    if (u32 rc = record_ids(h, prev, next); rc != 0) return rc;
    if (ut_write_locations(h, nullptr) != 0)
        trace_print(tc, 0, "dev_migrate: could not drop the names the change started from; the next open does");
    return 0;
}

}  // namespace

u32 dev_migrate(backend_ctx *ctx, u32 master)
{
    if (ctx == nullptr) {
        trace_print(dev_trace(nullptr), 0, "dev_migrate: Null context passed ");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    if (ctx->propb_ctx == nullptr) {
        trace_print(dev_trace(nullptr), 0, "dev_migrate: Backend context passed is null");
        return PROP_E_CTX;
    }
    return migrate_locked(ctx->propb_ctx, master);
}

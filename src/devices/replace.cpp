// dev_replace: a location of a running store is added, replaced or
// deleted.  Every node changes its own configuration; the Cache Writer
// (master) also records the change in the boot blocks of the locations
// that stay, so that the store itself says which set of locations it
// belongs to, and fills the new location.
//
// The order of the steps is what lets a crash anywhere leave a store that
// opens by itself:
//
//  1. The whole request is checked before anything changes.
//  2. The five location values are replaced in one atomic step, and the
//     list they replace is kept beside them in that same step.
//  3. The boot blocks get the new history.  This is the change's commit
//     point: an open that finds the list of step 2 still kept looks at the
//     boot blocks, and keeps the new list once any of them names it, or
//     puts the old one back when none does.  Should this step fail, the
//     old configuration and history are put back at once.
//  4. The kept list is dropped.
//  5. The old location's boot block is destroyed, now that the store no
//     longer names it.
//  6. The new location becomes a copy only when its boot block, written
//     last, is in place, so a copy cut short is simply done again at the
//     next open.
#include <cstring>

#include "core/alloc.h"
#include "core/error.h"
#include "devices/devices.h"
#include "devices/temphandle.h"
#include "format/block.h"
#include "io/devhist.h"
#include "io/devid.h"
#include "io/io.h"
#include "io/pagecache.h"
#include "io/slot.h"
#include "storage/device.h"

using namespace propreg;

namespace {

constexpr u32 kCheckFlags = PROP_KIND_ZKV;
// Bytes a new location needs besides the store's pages and bitmap copies.
constexpr u64 kLocationOverhead = 0x5010000;
constexpr u32 kAlertAdded = 1007;
constexpr u32 kAlertRemoved = 1010;

// What the change needs to know of the state before it, to put it back.
struct Before {
    dev_names table;
    u8 boot[PROP_PAGE_SIZE];
    u32 devid[PROP_NUM_SLOTS];
    u32 state;
    u32 configured;
};

// The location table after the change: newdev in slot devnum, or slot
// devnum removed and the later ones moved down.
void planned_table(const proprhandle *h, u32 devnum, const char *newdev, dev_names out)
{
    std::memcpy(out, h->proprhandle_filename, sizeof(dev_names));
    if (newdev[0] != '\0') {
        std::memset(out[devnum], 0, PROP_LOCNAME_SIZE);
        std::memcpy(out[devnum], newdev, std::strlen(newdev));
        return;
    }
    for (u32 i = devnum; i + 1 < PROP_NUM_SLOTS; i++) std::memcpy(out[i], out[i + 1], PROP_LOCNAME_SIZE);
    std::memset(out[PROP_NUM_SLOTS - 1], 0, PROP_LOCNAME_SIZE);
}

// Everything that can be refused is refused before anything changes.
u32 check_request(proprhandle *h, u32 devnum, const char *newdev, dev_names planned, u32 *count)
{
    trace_comp tc = dev_trace(h);
    const size_t len = std::strlen(newdev);
    // The configuration reader reads no longer name back.
    if (len > DEV_NAME_MAX) {
        trace_print(tc, 0, "dev_replace: the new location name (len=%d) is longer than %d", static_cast<int>(len),
                    static_cast<int>(DEV_NAME_MAX));
        return PROP_E_STORAGE;
    }
    if (devnum >= PROP_NUM_SLOTS) {
        trace_print(tc, 0, "dev_replace: cfg is not valid (%d)", static_cast<int>(devnum));
        return PROP_E_ARG;
    }
    const char *current = h->proprhandle_filename[devnum];
    if (newdev[0] == '\0' ? current[0] == '\0' : std::strcmp(newdev, current) == 0) {
        trace_print(tc, 0, "dev_replace: location %d already is [%s]", static_cast<int>(devnum), current);
        return PROP_E_ARG;
    }
    planned_table(h, devnum, newdev, planned);
    const u32 rc = dev_verify_names(tc, planned, count);
    if (rc != 0) trace_print(tc, 0, "dev_replace: the configuration after the change is not valid (%d)", static_cast<int>(rc));
    return rc;
}

// The store must stay readable from a location the change leaves alone.
bool another_open(const proprhandle *h, u32 devnum)
{
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++)
        if (i != devnum && h->proprhandle_native_state[i] == PROP_SLOT_OPEN) return true;
    return false;
}

// The new location must take the store: the Cache Writer writes its first
// and last page, which also sizes a file.
u32 check_location(proprhandle *h, const char *newdev, u32 master)
{
    trace_comp tc = dev_trace(h);
    if (master == 0) {
        const u32 rc = propriodvch(h, newdev, 0, 0, kCheckFlags);
        if (rc != 0) trace_print(tc, 0, "dev_replace: non-master could not verify the new disk (%d)", static_cast<int>(rc));
        return rc;
    }
    trace_print(tc, 4, "dev_replace: numpage is %u", h->numpage);
    if (h->numpage == 0) {
        trace_print(tc, 0, "dev_replace: numpage is corrupted (%u)", h->numpage);
        return PROP_E_STORAGE;
    }
    const u64 need = u64{h->numpage - 1} * PROP_PAGE_SIZE + u64{h->proprhandle_num_fcl} * 2 * PROP_PAGE_SIZE +
                     kLocationOverhead;
    trace_print(tc, 4, "dev_replace: offset is %llu", static_cast<unsigned long long>(need));
    const u32 rc = propriodvch(h, newdev, need, 1, kCheckFlags);
    if (rc != 0) trace_print(tc, 0, "dev_replace: master could not verify the new disk (%d)", static_cast<int>(rc));
    return rc;
}

// The boot block with the new history goes to every open location that
// stays.  A configuration of two locations runs on votes, and every state a
// crash can leave between these writes must still open: the first location
// written holds the store alone (2 of 2), a second one then shares it
// (1 of 2), which the open reads as "the second is behind" and copies it
// again.  One location at a time, then.
u32 write_history(proprhandle *h, u32 count)
{
    if (count != 2) {
        hdr_stamp_checksum(h->bootbuf, PROP_PAGE_SIZE);
        return propriow(h, h->bootbuf, PROP_PAGE_SIZE, 0, PROPRIO_ALL) == PROP_E_STORAGE ? PROP_E_STORAGE : 0;
    }
    u32 my = 2;
    for (u32 slot = 0; slot < PROP_NUM_SLOTS; slot++) {
        if (h->proprhandle_native_state[slot] != PROP_SLOT_OPEN) continue;
        dev_wvotes(h->bootbuf, my, 2);
        hdr_stamp_checksum(h->bootbuf, PROP_PAGE_SIZE);
        if (propriow(h, h->bootbuf, PROP_PAGE_SIZE, 0, slot) != 0) return PROP_E_STORAGE;
        h->proprhandle_my_votes[slot] = my;
        h->proprhandle_total_votes[slot] = 2;
        my = 1;
    }
    return my == 1 ? 0 : PROP_E_STORAGE;
}

// The configuration takes the planned table.  The Cache Writer keeps the
// list it starts from beside it, in the same write, until the boot blocks
// record the change: an open after a cut in between finishes the change
// or undoes it from what the boot blocks say.  Another node only follows
// a change the store already recorded.
u32 write_table(proprhandle *h, u32 devnum, const char *newdev, const dev_names planned, const Before &before,
                u32 master)
{
    if (master == 0) return dev_update(h, devnum, newdev);
    std::memcpy(h->proprhandle_filename, planned, sizeof(dev_names));
    const u32 rc = ut_write_locations(h, before.table);
    if (rc != 0) std::memcpy(h->proprhandle_filename, before.table, sizeof(dev_names));
    return rc;
}

// Puts the configuration and the boot block back as they were.
void undo(proprhandle *h, u32 devnum, const Before &before)
{
    std::memcpy(h->proprhandle_filename, before.table, sizeof(dev_names));
    if (utdvrp(h, devnum) != 0)
        trace_print(dev_trace(h), 0, "dev_replace: could not put the previous configuration back");
    std::memcpy(h->bootbuf, before.boot, PROP_PAGE_SIZE);
    std::memcpy(h->proprhandle_devid, before.devid, sizeof before.devid);
    slot_set_state(h, devnum, before.state, "dev_replace");
    h->proprhandle_configured_device_count = before.configured;
    // Locations that took the new history get the old one back.
    propriow(h, h->bootbuf, PROP_PAGE_SIZE, 0, PROPRIO_ALL);
}

// The Cache Writer records the change in the boot blocks of the locations
// that stay (the replaced one and a new one are no longer written).
u32 record_change(proprhandle *h, u32 devnum, u32 count, const Before &before)
{
    trace_comp tc = dev_trace(h);
    if (h->proprhandle_native_state[devnum] == PROP_SLOT_UNCONFIGURED) h->proprhandle_configured_device_count++;
    slot_set_state(h, devnum, PROP_SLOT_UNUSABLE, "dev_replace");
    u32 next[PROP_NUM_SLOTS] = {};
    char errbuf[1024] = {};
    u64 errsz = sizeof errbuf;
    u32 rc = proprdev_get(h, next, errbuf, &errsz, 0);
    if (rc != 0) {
        trace_print(tc, 0, "dev_replace: cannot get current configuration");
        if (errbuf[0] != '\0')
            u_set_comp_error(h->proprhandle_zkvctx, nullptr, PROP_COMPMSG_TEXT, rc, PROP_COMPTYPE_OS, errbuf);
        undo(h, devnum, before);
        return PROP_E_STORAGE;
    }
    if (dev_whist(h->bootbuf, before.devid, next) != 0) {
        trace_print(tc, 0, "dev_replace: could not write device replacement history");
        undo(h, devnum, before);
        return PROP_E_STORAGE;
    }
    if (write_history(h, count) != 0) {
        trace_print(tc, 0, "dev_replace:1:problem writing back the bootbuf");
        undo(h, devnum, before);
        return PROP_E_STORAGE;
    }
    return 0;
}

// The store no longer names the old location: its boot block goes, so
// that nothing ever opens it as a copy of this store again.
void destroy_old_boot(proprhandle *h, u32 devnum, const char *old_name)
{
    alignas(8) u8 block[PROP_PAGE_SIZE] = {};
    propr_hdr hdr;
    hdr_init(h, &hdr, 0, PROPR_BLK_DESTROYED);
    std::memcpy(block, &hdr, sizeof hdr);
    hdr_stamp_checksum(block, PROP_PAGE_SIZE);
    const u32 rc = propriow(h, block, PROP_PAGE_SIZE, 0, devnum);
    if (rc != 0)
        trace_print(dev_trace(h), 1,
                    "dev_replace: Failed to clear the bootbuf of the device to be deleted [%.256s]. Retval [%d]. "
                    "Manually clear the contents of the device before adding it again.",
                    old_name, static_cast<int>(rc));
}

// Steps 9 to 12: the locations are opened again as configured now, and
// the Cache Writer fills the new location from a current one.
u32 reopen(proprhandle *h, u32 devnum, u32 master, bool added)
{
    trace_comp tc = dev_trace(h);
    propriocl(h, 0);
    io_stat_reset(h, devnum);
    u32 flags = PROPRIO_OPEN_ZKV | PROPRIO_OPEN_NO_VLD_REREAD;
    // Only the CACHING level has a group to publish its votes to.
    const bool publishes = master != 0 && io_grpctx(h) != nullptr;
    if (master != 0) flags |= PROPRIO_OPEN_VLD_CREATE;
    if (publishes) {
        if (u32 rc = propriupdategrppridata(h); rc != 0) {
            trace_print(tc, 0, "dev_replace: failed zero out group private data (%d)", static_cast<int>(rc));
            return rc;
        }
    }
    if (u32 rc = proprioo(h, 1, 1, flags); rc != 0) {
        trace_print(tc, 0, "dev_replace: failed in calling proprioo (%d)", static_cast<int>(rc));
        return rc;
    }
    // The boot block in memory follows what the store holds now (another
    // node's Cache Writer may have changed its history).
    const proprio_hooks *hooks = h->proprhandle_io_hooks;
    if (hooks != nullptr && hooks->reread_boot != nullptr) {
        if (u32 rc = hooks->reread_boot(h); rc != 0) {
            trace_print(tc, 0, "dev_replace: could not read the boot block again (%d)", static_cast<int>(rc));
            return rc;
        }
    }
    if (master == 0) return 0;
    if (u32 rc = propriosync(h); rc != 0) {
        trace_print(tc, 0, "dev_replace: could not fill the new location (%d)", static_cast<int>(rc));
        return rc;
    }
    // The change stands, but a new location that could not be filled holds
    // nothing yet: the caller must hear it (the next start copies it again).
    if (added && io_slot_state(h, devnum) != PROP_SLOT_OPEN) {
        trace_print(tc, 0, "dev_replace: the new location [%s] could not be filled; it stays behind the others",
                    h->proprhandle_filename[devnum]);
        return PROP_E_DEVSPACE;
    }
    if (!publishes) return 0;
    if (u32 rc = propriupdategrppridata(h); rc != 0) {
        trace_print(tc, 0, "dev_replace: failed init group private data (%d)", static_cast<int>(rc));
        return rc;
    }
    return 0;
}

u32 replace_locked(proprhandle *h, u32 devnum, const char *newdev, u32 master)
{
    trace_comp tc = dev_trace(h);
    trace_print(tc, 4, "dev_replace: about to replace device (%d) with new device [%s]", static_cast<int>(devnum),
                newdev);
    MetaPtr<Before> before = MetaPtr<Before>::alloc(h->metactx);
    MetaPtr<char> planned = MetaPtr<char>::alloc(h->metactx, sizeof(dev_names));
    if (!before || !planned) return PROP_E_NOMEM;
    auto *table = reinterpret_cast<char(*)[PROP_LOCNAME_SIZE]>(planned.get());
    u32 count = 0;
    if (u32 rc = check_request(h, devnum, newdev, table, &count); rc != 0) return rc;
    if (master != 0 && h->bootbuf == nullptr) return PROP_E_STORAGE;
    if (master != 0 && !another_open(h, devnum)) {
        trace_print(tc, 0, "dev_replace: Cannot replace (%d, %s) because no other disks are open",
                    static_cast<int>(devnum), newdev);
        return PROP_E_MINORITY;
    }
    if (newdev[0] != '\0') {
        if (u32 rc = check_location(h, newdev, master); rc != 0) return rc;
    }
    std::memcpy(before->table, h->proprhandle_filename, sizeof(dev_names));
    if (h->bootbuf != nullptr) std::memcpy(before->boot, h->bootbuf, PROP_PAGE_SIZE);
    std::memcpy(before->devid, h->proprhandle_devid, sizeof before->devid);
    // The context is held exclusively: no other call moves a state while
    // the replace reads them directly.
    before->state = h->proprhandle_native_state[devnum];
    before->configured = h->proprhandle_configured_device_count;
    char old_name[PROP_LOCNAME_SIZE];
    std::memcpy(old_name, h->proprhandle_filename[devnum], sizeof old_name);

    if (u32 rc = write_table(h, devnum, newdev, table, *before, master); rc != 0) {
        trace_print(tc, 0, "dev_replace: could not change config (%d)", static_cast<int>(rc));
        return rc;
    }
    // Pages are read from another set of locations from now on.
    pagecache_clear(h);
    if (master != 0) {
        if (u32 rc = record_change(h, devnum, count, *before); rc != 0) return rc;
        // The store names the new list now: the list it started from is no
        // longer needed to undo the change.
        if (ut_write_locations(h, nullptr) != 0)
            trace_print(tc, 0, "dev_replace: could not drop the list the change started from; the next open does");
        if (old_name[0] != '\0') destroy_old_boot(h, devnum, old_name);
    }
    if (u32 rc = reopen(h, devnum, master, newdev[0] != '\0'); rc != 0) return rc;
    if (newdev[0] != '\0')
        alert_print(kAlertAdded, "%s", newdev);
    else
        alert_print(kAlertRemoved, "%s", old_name);
    return 0;
}

}  // namespace

u32 dev_replace(backend_ctx *ctx, u32 devnum, const char *newdev, u32 master)
{
    if (ctx == nullptr) {
        trace_print(dev_trace(nullptr), 0, "dev_replace: Null context passed ");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    proprhandle *h = ctx->propb_ctx;
    if (h == nullptr) {
        trace_print(dev_trace(nullptr), 0, "dev_replace: Backend context passed is null");
        return PROP_E_CTX;
    }
    if (newdev == nullptr) {
        trace_print(dev_trace(h), 0, "dev_replace: newdev is null");
        return PROP_E_STORAGE;
    }
    return replace_locked(h, devnum, newdev, master);
}

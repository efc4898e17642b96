// proprioo: open every configured location, read what each boot block says
// about the store, its history and its votes, and decide which locations
// are current.
#include "io/open.h"

#include <cstring>

#include "core/alloc.h"
#include "format/block.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "format/storemap.h"
#include "io/devhist.h"
#include "io/devid.h"
#include "io/io.h"
#include "io/slot.h"
#include "io/vldbridge.h"
#include "storage/config.h"
#include "storage/device.h"

using namespace propreg;

namespace {


// Product messages recorded for the front end.
constexpr u32 MSG_NO_QUORUM = 251;
constexpr u32 MSG_NO_VALID_CONFIG = 252;
constexpr u32 MSG_NOT_FORMATTED = 253;

constexpr u32 OPEN_DONE = ~0u;  // the open finished early with success

using prop_locations_ref = char (*)[PROP_LOCNAME_SIZE];

prop_locations_ref previous_table(MetaPtr<char> &buf)
{
    return reinterpret_cast<prop_locations_ref>(buf.get());
}

bool quiet(u32 flags)
{
    return (flags & PROPRIO_OPEN_QUIET) != 0;
}

// Step 1: an already open set is left alone.
bool already_open(proprhandle *handle)
{
    bool open = false;
    for (u32 i = 0; i < PROP_NUM_SLOTS && !open; i++) {
        if (handle->proprhandle_native_state[i] == PROP_SLOT_OPEN) {
            open = true;
        } else {
            handle->proprhandle_my_votes[i] = 0;
            handle->proprhandle_total_votes[i] = 0;
        }
    }
    handle->proprhandle_recover_dev_flag = 0;
    return open;
}

// Step 3: the configured locations and their id vector.  *repair tells
// whether a failure may be repaired from the published configuration.
u32 read_configuration(proprhandle *handle, bool *repair)
{
    trace_comp tc = io_trace(handle);
    char errbuf[1024] = {};
    u64 errsz = sizeof errbuf;
    u32 rc = proprdev_get(handle, handle->proprhandle_devid, errbuf, &errsz, 0);
    if (rc != 0) {
        trace_print(tc, 0, "proprioo: cannot get current configuration (%d)", static_cast<int>(rc));
        if (errbuf[0] != '\0') io_record_msg(handle, rc, errbuf);
        *repair = false;
        return rc;
    }
    u32 count = 0;
    rc = dev_verify(handle, &count);
    if (rc != 0) {
        trace_print(tc, 0, "proprioo: configuration is not valid (%d)", static_cast<int>(rc));
        *repair = true;
        return rc;
    }
    handle->proprhandle_configured_device_count = count;
    trace_print(tc, 4, "proprioo: Successfully retrieved and verified the ZKV configuration.");
    return 0;
}

// The smallest size of the open locations, or the default.
u32 smallest_open_pages(const proprhandle *handle)
{
    u32 pages = 0;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        if (handle->proprhandle_native_state[i] != PROP_SLOT_OPEN) continue;
        const u32 n = handle->proprhandle_native_numpage[i];
        if (n != 0 && (pages == 0 || n < pages)) pages = n;
    }
    return pages;
}

// Step 5: volume-manager files are opened here, not by utopen.
void open_vld_slots(proprhandle *handle, u32 open_flags)
{
    trace_comp tc = io_trace(handle);
    const u32 level = handle->proprhandle_bootlevel;
    for (u32 i = 0; i < handle->proprhandle_configured_device_count; i++) {
        if (handle->proprhandle_loctype[i] != PROP_LOCTYPE_VLD) continue;
        const char *name = handle->proprhandle_filename[i];
        trace_print(tc, 2, "proprioo: Operating on VLD location [%s] conf:[%d]", name, static_cast<int>(i));
        u32 rc = io_vld_init(handle);
        if (rc != 0) {
            trace_print(tc, 0, "proprioo:proprvldini failed [%d]. Marking location [%s] as UNAVAILABLE.",
                        static_cast<int>(rc), name);
            slot_set_state(handle, i, PROP_SLOT_UNUSABLE, "proprioo");
            continue;
        }
        u32 pages = smallest_open_pages(handle);
        if (pages == 0) pages = PROPR_DEFAULT_PAGES;
        trace_print(tc, 2, "proprioo: Numpage passed [%d]", static_cast<int>(pages));
        const bool create = level == PROP_LEVEL_RW || level == PROP_LEVEL_UPGRADE ||
                            (level == PROP_LEVEL_CACHING && (open_flags & PROPRIO_OPEN_VLD_CREATE) != 0);
        rc = io_vld_open(handle, i, pages, create ? 1 : 0);
        if (rc != 0) {
            trace_print(tc, 0,
                        "proprioo: Failed to open [%s]. Returned proprvldo() with [%d]. Marking "
                        "location as UNAVAILABLE.",
                        name, static_cast<int>(rc));
            slot_set_state(handle, i, PROP_SLOT_UNUSABLE, "proprioo");
            continue;
        }
        slot_set_state(handle, i, PROP_SLOT_OPEN, "proprioo");
    }
}

bool any_open(const proprhandle *handle)
{
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++)
        if (handle->proprhandle_native_state[i] == PROP_SLOT_OPEN) return true;
    return false;
}

void log_slot(proprhandle *handle, u32 slot, const proprio_scan *scan)
{
    const u32 level = handle->proprhandle_bootlevel == PROP_LEVEL_CACHING ? 0 : 2;
    trace_comp tc = io_trace(handle);
    if (!trace_enabled(tc, level)) return;
    const proprio_bootid &id = scan->id[slot];
    trace_print(tc, level,
                "proprioo: for disk %d (%s), id match (%d), total id sets, (%d) need recover (%d), "
                "my votes (%d), total votes (%d), commit_lsn (%d), lsn (%d)",
                static_cast<int>(slot), handle->proprhandle_filename[slot],
                static_cast<int>(scan->id_match[slot]), static_cast<int>(id.hist_count),
                static_cast<int>(scan->need_recover[slot]),
                static_cast<int>(handle->proprhandle_my_votes[slot]),
                static_cast<int>(handle->proprhandle_total_votes[slot]),
                static_cast<int>(id.commit_lsn), static_cast<int>(scan->lsn[slot]));
    const struct {
        const char *prefix;
        const u32 *set;
    } sets[] = {{"proprioo: my id set:", handle->proprhandle_devid},
                {"proprioo: 1st set:", id.prev},
                {"proprioo: 2nd set:", id.next}};
    for (const auto &s : sets)
        trace_print(tc, level, "%s (%d, %d, %d, %d, %d)", s.prefix, static_cast<int>(s.set[0]),
                    static_cast<int>(s.set[1]), static_cast<int>(s.set[2]), static_cast<int>(s.set[3]),
                    static_cast<int>(s.set[4]));
}

// Step 8: every configured slot's boot block, lsn and history.
void scan_slots(proprhandle *handle, u32 open_flags, proprio_scan *scan)
{
    trace_comp tc = io_trace(handle);
    for (u32 i = 0; i < handle->proprhandle_configured_device_count; i++) {
        if (handle->proprhandle_native_state[i] != PROP_SLOT_OPEN) {
            scan->result[i] = PROP_E_STORAGE;
            continue;
        }
        scan->result[i] = propriogid(handle, i, &scan->id[i], open_flags);
        if (scan->result[i] == PROP_E_FORMAT) {
            scan->num_unformatted++;
        } else if (scan->result[i] == 0) {
            if (scan->has_newest == 0 || scan->id[i].commit_lsn > scan->id[scan->newest_slot].commit_lsn)
                scan->newest_slot = i;
            scan->has_newest = 1;
            const u32 rc = proprioglsn(handle, i, scan->id[i].lsst, &scan->lsn[i]);
            if (rc == 0) {
                scan->has_lsn[i] = 1;
                scan->num_lsn++;
                trace_print(tc, 2, "proprioo: LSN on device %d is %d", static_cast<int>(i),
                            static_cast<int>(scan->lsn[i]));
            } else {
                trace_print(tc, 0, "proprioo: could not get LSN on device %d (%d)", static_cast<int>(i),
                            static_cast<int>(rc));
            }
            dev_chist(tc, &scan->id_match[i], &scan->need_recover[i], handle->proprhandle_devid,
                      scan->id[i].hist_count, scan->id[i].prev, scan->id[i].next, open_flags);
            if (scan->need_recover[i] != 0) handle->proprhandle_recover_dev_flag = 1;
        }
        log_slot(handle, i, scan);
    }
}

// Step 11a: a formatted location whose history does not name this
// configuration is treated as unformatted, so the votes make it stale.
u32 check_configuration(proprhandle *handle, proprio_scan *scan)
{
    trace_comp tc = io_trace(handle);
    u32 valid = 0;
    for (u32 i = 0; i < handle->proprhandle_configured_device_count; i++) {
        if (handle->proprhandle_native_state[i] != PROP_SLOT_OPEN || scan->result[i] != 0) continue;
        if (scan->id_match[i] == 0) {
            trace_print(tc, 0, "proprioo: ZKV/NKV configuration on disk[%d] is not valid", static_cast<int>(i));
            alert_print(prop_alert_base(handle->proprhandle_zkvctx) + 9, "%s", handle->proprhandle_filename[i]);
            scan->result[i] = PROP_E_FORMAT;
            continue;
        }
        trace_print(tc, 2, "proprioini: ZKV configuration on disk [%d] is valid", static_cast<int>(i));
        valid++;
    }
    if (valid != 0) return 0;
    trace_print(tc, 0, "proprioo: ZKV configuration on none of disks is valid");
    return PROP_E_STORAGE;
}

// Step 11b.
u32 check_votes(proprhandle *handle, const proprio_scan *scan)
{
    trace_comp tc = io_trace(handle);
    const u32 configured = handle->proprhandle_configured_device_count;
    if (configured == 2) {
        const u32 rc = propriovck(handle, scan);
        if (rc != 0) {
            trace_print(tc, 0, "proprioo: Not enough quorum to open the disks (%d)", static_cast<int>(rc));
            io_record_msg(handle, MSG_NO_QUORUM);
            return rc;
        }
    } else {
        bool wide = false;
        for (u32 i = 0; i < configured; i++) {
            if (scan->result[i] != 0) continue;
            trace_print(tc, 4, "proprioo: hdr_version[%d] = %d", static_cast<int>(i),
                        static_cast<int>(scan->id[i].hdr_version));
            if (scan->id[i].hdr_version >= DEV_HIST_WIDE_VERSION) wide = true;
        }
        if (!wide) {
            trace_print(tc, 0, "proprioo: none of the devices can support %d-way mirroring",
                        static_cast<int>(configured));
            return PROP_E_STORAGE;
        }
    }
    const u32 rc = propriomck(handle, scan);
    if (rc != 0) {
        trace_print(tc, 0, "proprioo: Quorum is not achieved to open the disks (%d)", static_cast<int>(rc));
        io_record_msg(handle, MSG_NO_QUORUM);
    }
    return rc;
}

// A copy whose history names other locations is never read from nor
// copied over the others; when no copy holding the newest commit names
// this configuration, the configuration is behind the store, and the open
// refuses (34) before the votes may write anything.  (Between copies that
// both name it, the votes and commit lsns decide: with two locations a
// copy holding 2 of 2 wins even over a higher commit lsn, which the other
// copy can only hold from a commit that reached it alone, failed, and was
// undone on the survivor.)
u32 newest_names_this_configuration(proprhandle *handle, const proprio_scan *scan)
{
    if (scan->has_newest == 0) return 0;
    const u32 s = scan->newest_slot;
    const u32 newest = scan->id[s].commit_lsn;
    for (u32 i = 0; i < handle->proprhandle_configured_device_count; i++)
        if (scan->result[i] == 0 && scan->id_match[i] != 0 && scan->id[i].commit_lsn == newest) return 0;
    trace_print(io_trace(handle), 0,
                "proprioo: location %d (%s) holds the newest commit (%u) and its history names other "
                "locations than this configuration: the configuration is behind the store",
                static_cast<int>(s), handle->proprhandle_filename[s], newest);
    io_record_msg(handle, MSG_NO_VALID_CONFIG);
    return PROP_E_DEVDIFF;
}

// Steps 4 to 10, after the configuration was read.  OPEN_DONE when the
// open ends early with success; any other non-zero result is a failure
// that step 12 may repair.
u32 open_and_scan(proprhandle *handle, u32 open_flags, proprio_scan *scan)
{
    trace_comp tc = io_trace(handle);
    const u32 level = handle->proprhandle_bootlevel;
    utopen(handle, open_flags);
    trace_print(tc, 4, "proprioo: Successfully opened the non-VLD locations if configured.");
    open_vld_slots(handle, open_flags);
    if (!any_open(handle)) {
        trace_print(tc, 0, "proprioo: No ZKV/NKV devices are usable");
        io_record_msg(handle, MSG_NO_QUORUM);
        return PROP_E_STORAGE;
    }
    const u32 pages = smallest_open_pages(handle);
    // Formatting sizes the store from it; an open store keeps its boot block's.
    if (handle->bootbuf == nullptr) handle->numpage = pages;
    trace_print(tc, 4, "proprioo: the ZKV/NKV device/file[s] fine. numpage = %d", static_cast<int>(pages));
    if (level == PROP_LEVEL_UPGRADE || level == PROP_LEVEL_BACKUP) return OPEN_DONE;

    scan_slots(handle, open_flags, scan);
    if (scan->num_lsn == 0 && scan->num_unformatted == 0) {
        trace_print(tc, 0, "proprioo: cannot retrieve bootblock meta data from any disk");
        io_record_msg(handle, MSG_NO_QUORUM);
        return PROP_E_STORAGE;
    }
    if (scan->num_unformatted == handle->proprhandle_configured_device_count) {
        if (level != PROP_LEVEL_CACHING && level != PROP_LEVEL_READONLY) return OPEN_DONE;
        trace_print(tc, 0, "proprioini: all disks are not ZKV/NKV formatted");
        io_record_msg(handle, MSG_NOT_FORMATTED);
        return PROP_E_STORAGE;
    }
    return 0;
}

// Step 12: at the CACHING level a ZKV store may repair its configuration
// from the published one.
u32 fail_open(proprhandle *handle, u32 rc, bool repair, u32 open_flags)
{
    trace_comp tc = io_trace(handle);
    const proprio_hooks *hooks = handle->proprhandle_io_hooks;
    if (!repair || handle->proprhandle_bootlevel != PROP_LEVEL_CACHING ||
        (open_flags & PROPRIO_OPEN_ZKV) == 0 || hooks == nullptr || hooks->repair_config == nullptr)
        return rc;
    const u32 rrc = hooks->repair_config(handle);
    if (rrc == PROP_R_REPAIRED) {
        trace_print(tc, 1, "proprioo: Successfully auto repaired the ZKV configuration.");
        return PROP_R_REPAIRED;
    }
    if (rrc != 0) trace_print(tc, 0, "proprioo: Failed to auto repair the ZKV configuration.");
    return rc;
}

// An open refused after the locations were opened lets go of all of them:
// none may stay "open" in a set the caller was told it cannot use.
u32 refuse_open(proprhandle *handle, u32 rc, bool repair, u32 open_flags)
{
    propriocl(handle, 0);
    return fail_open(handle, rc, repair, open_flags);
}

bool may_write_configuration(const proprhandle *handle)
{
    const u32 level = handle->proprhandle_bootlevel;
    return level == PROP_LEVEL_RW || level == PROP_LEVEL_CACHING;
}

// A location change this node began was cut short: the list it started
// from is kept beside the new one.  Once any copy's history names the new
// list, the store took the change and it stands (a copy still naming the
// old list is behind and is copied again); until then nothing in the store
// moved, and the old list is put back.  At a level that may write, the
// configuration is settled for good; at one that may not, only in memory.
u32 settle_change(proprhandle *handle, u32 open_flags, proprio_scan *scan, const prop_locations previous)
{
    trace_comp tc = io_trace(handle);
    bool taken = false;
    for (u32 i = 0; i < handle->proprhandle_configured_device_count; i++)
        if (scan->result[i] == 0 && scan->id_match[i] != 0) taken = true;
    if (!taken) {
        trace_print(tc, 1, "proprioo: the store did not take the change of locations that was cut short; "
                           "the locations before it are used again");
        propriocl(handle, 0);
        std::memcpy(handle->proprhandle_filename, previous, sizeof(prop_locations));
        proprdev_ids_of(previous, handle->proprhandle_devid);
        u32 count = 0;
        if (u32 rc = dev_verify(handle, &count); rc != 0) return rc;
        handle->proprhandle_configured_device_count = count;
    } else {
        trace_print(tc, 1, "proprioo: the store took the change of locations that was cut short; it stands");
    }
    if (may_write_configuration(handle) && ut_write_locations(handle, nullptr) != 0)
        trace_print(tc, 0, "proprioo: could not settle the configuration; the next open tries again");
    if (taken) return 0;
    *scan = proprio_scan{};
    return open_and_scan(handle, open_flags, scan);
}

}  // namespace

u32 proprioo(proprhandle *handle, u32 check_config, u32 check_votes_flag, u32 open_flags)
{
    if (handle == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0, "proprioo: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    trace_comp tc = io_trace(handle);
    const przkv_ctx *zkv = handle->proprhandle_zkvctx;
    trace_print(tc, zkv != nullptr ? zkv->init_log_level : 3, "proprioo: opening ZKV device(s)");
    if (already_open(handle)) return 0;

    MetaPtr<char> previous_buf;
    bool pending = false;
    if (handle->proprhandle_bootlevel != PROP_LEVEL_BACKUP) {
        bool repair = false;
        const u32 rc = read_configuration(handle, &repair);
        if (rc != 0) return fail_open(handle, rc, repair, open_flags);
        previous_buf = MetaPtr<char>::alloc(handle->metactx, sizeof(prop_locations));
        if (!previous_buf) return PROP_E_NOMEM;
        ut_read_previous_locations(handle, previous_table(previous_buf), &pending);
    }
    proprio_scan scan{};
    u32 rc = open_and_scan(handle, open_flags, &scan);
    if (rc == 0 && pending) rc = settle_change(handle, open_flags, &scan, previous_table(previous_buf));
    if (rc == OPEN_DONE) return 0;
    if (rc != 0) return refuse_open(handle, rc, true, open_flags);

    if (handle->proprhandle_configured_device_count == 1) {
        // One location has nothing to vote with; the log goes on from it.
        if (scan.has_lsn[0] != 0) io_set_log_lsn(handle, scan.lsn[0]);
        trace_print(tc, 4, "proprioo: Done.");
        return 0;
    }
    if (check_config != 0) {
        rc = check_configuration(handle, &scan);
        if (rc != 0) {
            io_record_msg(handle, MSG_NO_VALID_CONFIG);
            return refuse_open(handle, rc, true, open_flags);
        }
        if ((rc = newest_names_this_configuration(handle, &scan)) != 0) return refuse_open(handle, rc, true, open_flags);
    }
    if (check_votes_flag != 0) {
        rc = check_votes(handle, &scan);
        if (rc != 0) return refuse_open(handle, rc, false, open_flags);
    }
    trace_print(tc, 4, "proprioo: Done.");
    return 0;
}

u32 propriogid(proprhandle *handle, u32 slot, proprio_bootid *out, u32 read_flags)
{
    trace_comp tc = io_trace(handle);
    const u32 fail_level = quiet(read_flags) ? 3 : 0;
    u8 boot[PROP_PAGE_SIZE];
    const bool vld = handle->proprhandle_loctype[slot] == PROP_LOCTYPE_VLD;
    u32 rc = io_slot_read(handle, slot, boot, PROP_PAGE_SIZE, 0, read_flags & PROPRIO_READ_QUIET);
    if (rc == 0 && vld && handle->proprhandle_bootlevel == PROP_LEVEL_CACHING &&
        proprut_isblk_valid_buf(boot, PROPR_BLK_METADATA) == 0 &&
        (read_flags & (PROP_FLAG_BYPASS | PROPRIO_OPEN_NO_VLD_REREAD)) == 0) {
        trace_print(tc, 1,
                    "propriogid: Retrying buffer read from another mirror for disk group [%s] for "
                    "boot block at offset [0]",
                    handle->proprhandle_filename[slot]);
        rc = io_vld_resilver(handle, slot, boot, PROP_PAGE_SIZE, 0);
        trace_print(tc, 1, "propriogid: VLD re silver returned [%d]", static_cast<int>(rc));
    }
    if (rc != 0) {
        trace_print(tc, fail_level, "propriogid:1_1: Failed to read the whole bootblock. Assumes invalid format.");
        return PROP_E_FORMAT;
    }
    if (proprut_isblk_valid_buf(boot, PROPR_BLK_METADATA) == 0) {
        trace_print(tc, fail_level, "propriogid:1_2: INVALID FORMAT");
        return PROP_E_FORMAT;
    }
    // A damaged boot block must not vote: the location is then behind and
    // gets copied from the others.
    if (hdr_verify_checksum(boot, PROP_PAGE_SIZE) != 0) {
        trace_print(tc, fail_level, "propriogid:1_3: the boot block fails its checksum.");
        return PROP_E_FORMAT;
    }
    out->hdr_version = boot[offsetof(propr_hdr, propr_hdr_version)];
    out->zkvid = be32_at(boot, BOOT_OFF_ZKVID);
    out->lsst = be32_at(boot, BOOT_OFF_LSST);
    out->commit_lsn = be32_at(boot, BOOT_OFF_COMMIT_LSN);
    dev_rhist(out->hdr_version, boot, &out->hist_count, out->prev, out->next);
    dev_rvotes(boot, &handle->proprhandle_my_votes[slot], &handle->proprhandle_total_votes[slot]);
    trace_print(tc, 2, "propriogid: ZKV ID IS %d\n", static_cast<int>(out->zkvid));
    trace_print(tc, 2, "propriogid: Log space start loc is %d", static_cast<int>(out->lsst));
    trace_print(tc, 2, "propriogid: commit lsn is %d", static_cast<int>(out->commit_lsn));
    trace_print(tc, 2, "propriogid: num_entry is %d", static_cast<int>(out->hist_count));
    const struct {
        const char *prefix;
        const u32 *set;
    } sets[] = {{"propriogid: dev_prev is:", out->prev}, {"propriogid: dev_new is:", out->next}};
    for (const auto &s : sets)
        trace_print(tc, 2, "%s (%d, %d, %d, %d, %d)", s.prefix, static_cast<int>(s.set[0]),
                    static_cast<int>(s.set[1]), static_cast<int>(s.set[2]), static_cast<int>(s.set[3]),
                    static_cast<int>(s.set[4]));
    trace_print(tc, 2, "propriogid: my_votes is %d", static_cast<int>(handle->proprhandle_my_votes[slot]));
    trace_print(tc, 2, "propriogid: total_votes is %d",
                static_cast<int>(handle->proprhandle_total_votes[slot]));
    return 0;
}

u32 proprioglsn(proprhandle *handle, u32 slot, u32 lsst, u32 *lsn)
{
    trace_comp tc = io_trace(handle);
    u8 block[PROP_PAGE_SIZE];
    const u32 rc = proprior(handle, block, PROP_PAGE_SIZE, lsst, 0, slot);
    if (rc != 0 || proprut_isblk_valid_buf(block, PROPR_BLK_METADATA) == 0) {
        trace_print(tc, 0, "proprioglsn:could not get LSN");
        return PROP_E_STORAGE;
    }
    *lsn = be32_at(block, LOGMETA_OFF_LSN);
    trace_print(tc, 2, "proprioglsn: LSN is %d", static_cast<int>(*lsn));
    return 0;
}

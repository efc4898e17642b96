// Deciding at open which locations are current (votes for two locations,
// commit lsns for any number), and changing a location's votes.
#include <cstring>

#include "format/block.h"
#include "io/devhist.h"
#include "io/grpvotes.h"
#include "io/io.h"
#include "io/open.h"
#include "io/slot.h"

using namespace propreg;

namespace {

bool votes_are(const proprhandle *handle, u32 slot, u32 my, u32 total)
{
    return handle->proprhandle_my_votes[slot] == my && handle->proprhandle_total_votes[slot] == total;
}

// A location that alone may run the store: 2 of 2, or the only location.
bool self_sufficient(const proprhandle *handle, u32 slot)
{
    return votes_are(handle, slot, 2, 2) || votes_are(handle, slot, 1, 1);
}

void alert_votes(proprhandle *handle)
{
    const proprhandle *h = handle;
    alert_print(prop_alert_base(h->proprhandle_zkvctx) + 11, "%s %s", h->proprhandle_filename[0],
                h->proprhandle_filename[1]);
}

// Only slot `alive` has votes.  It may go on alone when it holds the
// majority, or when the published record shows that the other location
// was never given 2 of 2 (so it cannot be running the store elsewhere).
u32 vck_one_alive(proprhandle *handle, u32 alive)
{
    trace_comp tc = io_trace(handle);
    const u32 other = 1 - alive;
    if (self_sufficient(handle, alive)) return 0;
    u32 record[PROP_GRPREC_WORDS] = {};
    const bool have_record = io_grp_read(handle, record) == 0;
    const grp_votes p = grp_get(record, grp_phase::prepare, other);
    const grp_votes c = grp_get(record, grp_phase::commit, other);
    if (have_record && p.my == 1 && p.total == 2 && c.my == 1 && c.total == 2) {
        const u32 rc = propriowv(handle, 2, 2, alive);
        if (rc != 0)
            trace_print(tc, 0, "propriovck: Unable to adjust 2/2 vote to disk %d (%d)", static_cast<int>(alive),
                        static_cast<int>(rc));
        return rc;
    }
    io_grp_log(handle, 0, "propriovck: not enough votes", record);
    trace_print(tc, 0, "propriovck: disk %d (%s) is not available", static_cast<int>(other),
                handle->proprhandle_filename[other]);
    if (alive == 0)
        trace_print(tc, 0, "propriovck: disk 0 (%s) doesn't have enough votes (%d,%d)", handle->proprhandle_filename[0],
                    static_cast<int>(handle->proprhandle_my_votes[0]),
                    static_cast<int>(handle->proprhandle_total_votes[0]));
    else
        trace_print(tc, 0, "propriovck: disk 1 (%s) does not have enough votes (%d,%d)",
                    handle->proprhandle_filename[1], static_cast<int>(handle->proprhandle_my_votes[1]),
                    static_cast<int>(handle->proprhandle_total_votes[1]));
    alert_votes(handle);
    return PROP_E_STORAGE;
}

void make_stale(proprhandle *handle, u32 slot, const char *who)
{
    slot_set_state(handle, slot, PROP_SLOT_STALE, who);
}

}  // namespace

u32 propriovck(proprhandle *handle, const proprio_scan *scan)
{
    trace_comp tc = io_trace(handle);
    const u32 *my = handle->proprhandle_my_votes;
    const u32 *total = handle->proprhandle_total_votes;
    const bool has0 = my[0] != 0;
    const bool has1 = my[1] != 0;
    if (has0 && has1) {
        const bool ok = (votes_are(handle, 0, 2, 2) && votes_are(handle, 1, 1, 2)) ||
                        (votes_are(handle, 0, 1, 2) && votes_are(handle, 1, 2, 2)) ||
                        (votes_are(handle, 0, 1, 2) && votes_are(handle, 1, 1, 2));
        if (!ok) {
            trace_print(tc, 0,
                        "propriovck: incorrect votes: disk 0 (%s) has (%d,%d) votes; disk 1 (%s) has "
                        "(%d,%d) votes",
                        handle->proprhandle_filename[0], static_cast<int>(my[0]), static_cast<int>(total[0]),
                        handle->proprhandle_filename[1], static_cast<int>(my[1]), static_cast<int>(total[1]));
            alert_votes(handle);
            return PROP_E_STORAGE;
        }
    } else if (has0 || has1) {
        const u32 rc = vck_one_alive(handle, has0 ? 0 : 1);
        if (rc != 0) return rc;
    }
    if (scan->num_lsn == 1) return 0;
    for (u32 s = 0; s < 2; s++) {
        const u32 other = 1 - s;
        if (scan->result[s] == PROP_E_FORMAT && scan->result[other] == 0) {
            make_stale(handle, s, "propriovck");
            return 0;
        }
    }
    if (scan->id[0].zkvid != scan->id[1].zkvid) {
        trace_print(tc, 0, "propriovck:ZKVIDs do not match on mirrors");
        return PROP_E_STORAGE;
    }
    // The location that holds 2 of 2 ran alone: the other one is behind.
    if (votes_are(handle, 0, 2, 2) && votes_are(handle, 1, 1, 2)) {
        make_stale(handle, 1, "propriovck");
        return 0;
    }
    if (votes_are(handle, 0, 1, 2) && votes_are(handle, 1, 2, 2)) {
        make_stale(handle, 0, "propriovck");
        return 0;
    }
    const u32 lsn0 = scan->lsn[0];
    const u32 lsn1 = scan->lsn[1];
    if (lsn0 == lsn1) {
        trace_print(tc, 2, "propriovck: Same LSN on both the devices %d", static_cast<int>(lsn0));
        return 0;
    }
    make_stale(handle, lsn0 < lsn1 ? 0 : 1, "propriovck");
    io_set_log_lsn(handle, lsn0 < lsn1 ? lsn1 : lsn0);
    return 0;
}

u32 propriomck(proprhandle *handle, const proprio_scan *scan)
{
    trace_comp tc = io_trace(handle);
    const u32 configured = handle->proprhandle_configured_device_count;
    if (2 * scan->num_lsn <= configured) {
        if (configured != 2) {
            trace_print(tc, 0, "propriomck: Not enough devices can be accessed (%d, %d)",
                        static_cast<int>(scan->num_lsn), static_cast<int>(configured));
            return PROP_E_STORAGE;
        }
        if (!self_sufficient(handle, 0) && !self_sufficient(handle, 1)) {
            trace_print(tc, 0, "propriomck: the only available disk has not enough votes");
            return PROP_E_STORAGE;
        }
    }
    u32 first = PROP_NUM_SLOTS;
    for (u32 i = 0; i < configured; i++) {
        if (scan->result[i] != 0) continue;
        if (first == PROP_NUM_SLOTS) {
            first = i;
        } else if (scan->id[i].zkvid != scan->id[first].zkvid) {
            trace_print(tc, 0, "propriomck: zkvid[%d]=%d is not matched with zkvid[%d]=%d", static_cast<int>(i),
                        static_cast<int>(scan->id[i].zkvid), static_cast<int>(first),
                        static_cast<int>(scan->id[first].zkvid));
            return PROP_E_STORAGE;
        }
    }
    u32 states[PROP_NUM_SLOTS];
    io_slot_states(handle, states);
    u32 high_commit = 0;
    u32 high_lsn = 0;
    for (u32 i = 0; i < configured; i++) {
        if (scan->result[i] != 0 || states[i] != PROP_SLOT_OPEN) continue;
        if (scan->id[i].commit_lsn >= high_commit) high_commit = scan->id[i].commit_lsn;
        if (scan->has_lsn[i] != 0 && scan->lsn[i] >= high_lsn) high_lsn = scan->lsn[i];
    }
    io_set_log_lsn(handle, high_lsn);
    // A location without a readable boot block has no commit lsn at all, so
    // it is never current.
    for (u32 i = 0; i < configured; i++) {
        if (states[i] != PROP_SLOT_OPEN) continue;
        if (scan->result[i] != 0 || scan->id[i].commit_lsn != high_commit) make_stale(handle, i, "propriomck");
    }
    return 0;
}

u32 propriowv(proprhandle *handle, u32 my_votes, u32 total_votes, u32 slot)
{
    trace_comp tc = io_trace(handle);
    if (votes_are(handle, slot, my_votes, total_votes)) {
        trace_print(tc, 4, "propriowv: no need to adjust votes my_votes=%d, total_votes=%d",
                    static_cast<int>(my_votes), static_cast<int>(total_votes));
        return 0;
    }
    // The handle's copy serves once it holds a boot block; while the open is
    // still reading it, it is blank, and stamping votes into it would write a
    // blank boot block over the location's.
    if (handle->bootbuf != nullptr && proprut_isblk_valid_buf(handle->bootbuf, PROPR_BLK_METADATA) != 0)
        return propriowv_bootbuf(handle, handle->bootbuf, my_votes, total_votes, slot);
    u8 boot[PROP_PAGE_SIZE];
    const u32 rc = proprior(handle, boot, PROP_PAGE_SIZE, 0, 0, slot);
    if (rc != 0) {
        trace_print(tc, 0, "propriowv: Failed to read boot buffer [%d] from %s", static_cast<int>(rc),
                    handle->proprhandle_filename[slot]);
        return rc;
    }
    return propriowv_bootbuf(handle, boot, my_votes, total_votes, slot);
}

namespace {

// Announces the slot's new votes in one phase of the hand-over.
u32 announce(proprhandle *handle, grp_phase phase, u32 slot, grp_votes v)
{
    prop_grpctx *grp = io_grpctx(handle);
    if (slot > 1) {
        trace_print(io_trace(handle), 0, "PROM_GRPPRIDATA_SET: Unknow index (%d)", static_cast<int>(slot));
        return 0;
    }
    grp_set(grp->record, phase, slot, v);
    io_grp_log(handle, 4,
               phase == grp_phase::prepare ? "propriowv_bootbuf: prepare message"
                                           : "propriowv_bootbuf: commit message",
               grp->record);
    return io_grp_publish(handle);
}

// Undoes a vote change that did not complete: the buffer, the record and
// the handle keep the votes they had.
struct vote_change {
    proprhandle *handle;
    u8 *buffer;
    u32 slot;
    grp_votes old_disk;
    u32 old_record[PROP_GRPREC_WORDS];
    bool done = false;

    ~vote_change()
    {
        if (done) return;
        dev_wvotes(buffer, old_disk.my, old_disk.total);
        hdr_stamp_checksum(buffer, PROP_PAGE_SIZE);
        if (prop_grpctx *grp = io_grpctx(handle)) std::memcpy(grp->record, old_record, sizeof old_record);
    }
};

}  // namespace

u32 propriowv_bootbuf(proprhandle *handle, u8 *buffer, u32 my_votes, u32 total_votes, u32 slot)
{
    trace_comp tc = io_trace(handle);
    prop_grpctx *grp = io_grpctx(handle);
    if (handle->proprhandle_bootlevel == PROP_LEVEL_CACHING && grp == nullptr) {
        trace_print(tc, 0, "propriowv_bootbuf: caching level but proathcscctx is null");
        return PROP_E_STORAGE;
    }
    // Stamping votes into a block that is no boot block would write a
    // freshly checksummed piece of garbage over the location.
    if (proprut_isblk_valid_buf(buffer, PROPR_BLK_METADATA) == 0) {
        trace_print(tc, 0, "propriowv_bootbuf: the boot block of disk [%d] does not validate; votes left alone",
                    static_cast<int>(slot));
        return PROP_E_STORAGE;
    }
    vote_change change{handle, buffer, slot, {}, {}};
    if (dev_rvotes(buffer, &change.old_disk.my, &change.old_disk.total) != 0 ||
        dev_wvotes(buffer, my_votes, total_votes) != 0) {
        trace_print(tc, 0, "propriowv_bootbuf: fail to update vote information to boot block for disk [%d]",
                    static_cast<int>(slot));
        io_slot_unusable(handle, slot, false, "propriowv_bootbuf");
        change.done = true;
        return PROP_E_STORAGE;
    }
    if (grp != nullptr) std::memcpy(change.old_record, grp->record, sizeof change.old_record);
    hdr_stamp_checksum(buffer, PROP_PAGE_SIZE);
    const grp_votes v{my_votes, total_votes};
    const bool announced = grp != nullptr && handle->proprhandle_configured_device_count == 2;

    if (announced && announce(handle, grp_phase::prepare, slot, v) != 0) {
        trace_print(tc, 0, "propriowv_bootbuf: Fail to send prepare vote for disk [%d] [%d]", static_cast<int>(slot),
                    PROP_E_CLUSTER);
        io_slot_unusable(handle, slot, false, "propriowv_bootbuf");
        return PROP_E_CLUSTER;
    }
    if (io_slot_write_block(handle, slot, buffer, PROPR_BOOT_ADDR) != 0) {
        trace_print(tc, 0, "propriowv_bootbuf: fail to update vote information to disk [%d]", static_cast<int>(slot));
        io_slot_unusable(handle, slot, false, "propriowv_bootbuf");
        return PROP_E_STORAGE;
    }
    if (announced && announce(handle, grp_phase::commit, slot, v) != 0) {
        trace_print(tc, 0, "propriowv_bootbuf: fail to send commit vote for disk [%d] [%d]", static_cast<int>(slot),
                    PROP_E_CLUSTER);
        io_slot_unusable(handle, slot, false, "propriowv_bootbuf");
        return PROP_E_CLUSTER;
    }
    change.done = true;
    trace_print(tc, 0, "propriowv_bootbuf: Vote information on disk %d [%s] is adjusted from [%d/%d] to [%d/%d]",
                static_cast<int>(slot), handle->proprhandle_filename[slot],
                static_cast<int>(handle->proprhandle_my_votes[slot]),
                static_cast<int>(handle->proprhandle_total_votes[slot]), static_cast<int>(my_votes),
                static_cast<int>(total_votes));
    handle->proprhandle_my_votes[slot] = my_votes;
    handle->proprhandle_total_votes[slot] = total_votes;
    return 0;
}

u32 propriowm(proprhandle *handle)
{
    if (handle->proprhandle_configured_device_count != 2) return 0;
    trace_comp tc = io_trace(handle);
    const bool open0 = io_slot_state(handle, 0) == PROP_SLOT_OPEN;
    const bool open1 = io_slot_state(handle, 1) == PROP_SLOT_OPEN;
    if (open0 && open1) {
        for (u32 s = 0; s < 2; s++) {
            const u32 my = handle->proprhandle_my_votes[s];
            const u32 total = handle->proprhandle_total_votes[s];
            if (propriowv(handle, 1, 2, s) != 0) {
                if (s == 0)
                    trace_print(tc, 0, "propriowm: Failure trying to update vote to 1/2 from %d/%d on disk 0",
                                static_cast<int>(my), static_cast<int>(total));
                else
                    trace_print(tc, 0, "propriowm: Failure trying to update vote to 1/2 from %d/%d on disk 1",
                                static_cast<int>(my), static_cast<int>(total));
                return PROP_E_STORAGE;
            }
        }
        return 0;
    }
    if (!open0 && !open1) return 0;
    const u32 alive = open0 ? 0 : 1;
    const u32 lost = 1 - alive;
    // The survivor may not take over from the location that alone held the
    // majority: that one may be running the store somewhere else.
    if (votes_are(handle, lost, 2, 2)) return PROP_E_STORAGE;
    if (propriowv(handle, 2, 2, alive) != 0) {
        if (votes_are(handle, lost, 1, 2))
            trace_print(tc, 0, "propriowm: non-failure trying to update vote to 2/2 on disk %d", static_cast<int>(alive));
        else
            trace_print(tc, 0, "propriowm: failure trying to update vote to 2/2 on disk %d", static_cast<int>(alive));
    }
    return 0;
}

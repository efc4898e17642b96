// proprior: direct reads from one location, and mirrored reads that take
// the locations in turn and fail over.
#include <bit>

#include "format/block.h"
#include "io/io.h"
#include "io/slot.h"
#include "io/vldbridge.h"

using namespace propreg;

namespace {

bool bypass(u32 flags)
{
    return (flags & PROP_FLAG_BYPASS) != 0;
}

bool header_valid(const void *buffer)
{
    return proprut_isblk_valid_buf(static_cast<const u8 *>(buffer), PROPR_BLK_ANY) != 0;
}

u32 timed_file_read(proprhandle *handle, u32 slot, void *buffer, u32 length, u32 offset, u32 flags)
{
    const u64 t0 = plat_clock_ns();
    const u32 rc = io_slot_read(handle, slot, buffer, length, offset, flags);
    if (rc == 0) io_stat_add(handle, slot, plat_clock_ns() - t0, length);
    return rc;
}

u32 direct_read(proprhandle *handle, void *buffer, u32 length, u32 offset, u32 flags, u32 slot)
{
    trace_comp tc = io_trace(handle);
    trace_print(tc, 4, "proprior: direct read from disk (%d)", static_cast<int>(slot));
    if (handle->proprhandle_loctype[slot] != PROP_LOCTYPE_VLD)
        return timed_file_read(handle, slot, buffer, length, offset, flags);
    u32 rc = io_vld_read(handle, slot, buffer, length, offset);
    if (rc == 0 && handle->proprhandle_bootlevel == PROP_LEVEL_CACHING && length == PROP_PAGE_SIZE &&
        !header_valid(buffer) && !bypass(flags)) {
        trace_print(tc, 1,
                    "proprior:1 Retrying buffer read from another mirror for disk group [%s] for "
                    "block at offset [%d]",
                    handle->proprhandle_filename[slot], static_cast<int>(offset));
        rc = io_vld_resilver(handle, slot, buffer, length, offset);
        trace_print(tc, 1, "proprior:1 VLD re silver returned [%d]", static_cast<int>(rc));
    }
    return rc;
}

// Every block of a read must fold to its checksum, not only show a valid
// header: a flipped bit in a tnode or value page would otherwise be handed
// to the caller as the user's data.  A block that fails is a failed read of
// this location, like an I/O error, so the read fails over to the next copy.
u32 check_sums(proprhandle *handle, u32 slot, const void *buffer, u32 length, u32 offset)
{
    const u8 *b = static_cast<const u8 *>(buffer);
    for (u32 at = 0; at + PROP_PAGE_SIZE <= length; at += PROP_PAGE_SIZE) {
        if (hdr_verify_checksum(b + at, PROP_PAGE_SIZE) == 0) continue;
        const u32 addr = offset + at;
        trace_print(io_trace(handle), 0, "proprior: Block %u at offset %u from ZKV device %d fails its checksum.",
                    addr / PROP_PAGE_SIZE + PROPR_BLOCKNUM_BIAS, addr, static_cast<int>(slot));
        return PROP_E_STORAGE;
    }
    return 0;
}

// A block that fails its header or its checksum: for a volume-manager file
// at the CACHING level another copy inside the disk group may still be good.
u32 retry_bad_block(proprhandle *handle, u32 slot, void *buffer, u32 length, u32 offset)
{
    trace_comp tc = io_trace(handle);
    if (handle->proprhandle_loctype[slot] != PROP_LOCTYPE_VLD ||
        handle->proprhandle_bootlevel != PROP_LEVEL_CACHING)
        return PROP_E_FORMAT;
    trace_print(tc, 1,
                "proprior: Retrying buffer read from another mirror for disk group [%s] for block "
                "at offset [%d]",
                handle->proprhandle_filename[slot], static_cast<int>(offset));
    const u32 rc = io_vld_resilver(handle, slot, buffer, length, offset);
    trace_print(tc, 1, "proprior: VLD re silver returned [%d]", static_cast<int>(rc));
    if (rc == 0 && header_valid(buffer) && check_sums(handle, slot, buffer, length, offset) == 0) {
        trace_print(tc, 1, "proprior: Successful in finding a good copy of the block.");
        return 0;
    }
    if (rc == 0)
        trace_print(tc, 0, "proprior: The header check for the block returned by VLD re silver failed.");
    return PROP_E_FORMAT;
}

// One attempt on one open slot: the read, the header check and the
// checksums.  *sums_only is set when the header was valid and only a
// checksum failed.
u32 read_slot(proprhandle *handle, u32 slot, void *buffer, u32 length, u32 offset, u32 flags, bool *sums_only)
{
    trace_comp tc = io_trace(handle);
    trace_print(tc, 4, "proprior: Reading from ZKV device[%d] offset %d", static_cast<int>(slot),
                static_cast<int>(offset));
    const u32 rc = handle->proprhandle_loctype[slot] == PROP_LOCTYPE_VLD
                       ? io_vld_read(handle, slot, buffer, length, offset)
                       : timed_file_read(handle, slot, buffer, length, offset, flags);
    if (rc != 0) return rc;
    const bool header_ok = header_valid(buffer);
    if (bypass(flags)) {
        if (!header_ok)
            trace_print(tc, 2, "proprior: Header check from ZKV device %d offset %d failed (%d).. IGNORED",
                        static_cast<int>(slot), static_cast<int>(offset), PROP_E_FORMAT);
        return 0;
    }
    if (header_ok && check_sums(handle, slot, buffer, length, offset) == 0) return 0;
    if (!header_ok)
        trace_print(tc, 0, "proprior: Header check from ZKV device %d offset %d failed (%d).",
                    static_cast<int>(slot), static_cast<int>(offset), PROP_E_FORMAT);
    if (retry_bad_block(handle, slot, buffer, length, offset) == 0) return 0;
    *sums_only = header_ok;
    return header_ok ? PROP_E_STORAGE : PROP_E_FORMAT;
}

// A failed slot is out of service for the rest of the handle's life.
void fail_slot(proprhandle *handle, u32 slot, u32 flags)
{
    io_set_slot_state(handle, slot, PROP_SLOT_UNUSABLE);
    if ((flags & PROPRIO_READ_QUIET) == 0) io_alert_unusable(handle, slot, false, "proprior");
}

// The votes follow the locations still open, once every slot that failed
// this read is out of service: a block that no location can give then moves
// no vote, so a store failing to open is not written to.
void rebalance_votes(proprhandle *handle, u32 failed_mask)
{
    const u32 level = handle->proprhandle_bootlevel;
    const bool writable = level == PROP_LEVEL_RW || level == PROP_LEVEL_CACHING || level == PROP_LEVEL_UPGRADE;
    if ((failed_mask & 3u) != 0 && writable && handle->bootbuf != nullptr) propriowm(handle);
}

// The round-robin start: the next open slot after the previous start.
bool pick_start(proprhandle *handle, u32 *start)
{
    const u32 configured = handle->proprhandle_configured_device_count;
    if (configured == 0) return false;
    IoLock lock(handle);
    const u32 next = (handle->proprhandle_read_device + 1) % configured;
    handle->proprhandle_read_device = next;
    for (u32 i = next; i < configured; i++) {
        if (handle->proprhandle_native_state[i] == PROP_SLOT_OPEN) {
            *start = i;
            return true;
        }
    }
    for (u32 i = 0; i < next; i++) {
        if (handle->proprhandle_native_state[i] == PROP_SLOT_OPEN) {
            *start = i;
            return true;
        }
    }
    return false;
}

// What one mirrored read saw: the slots that failed it, and those whose
// block had a valid header but failed only its checksum.
struct ReadOutcome {
    u32 result = PROP_E_STORAGE;
    u32 failed_mask = 0;
    u32 sums_mask = 0;
};

// Tries the open slots from..to-1 in order; true on the first good read.
bool read_pass(proprhandle *handle, u32 from, u32 to, void *buffer, u32 length, u32 offset, u32 flags,
               ReadOutcome *out)
{
    for (u32 i = from; i < to; i++) {
        if (io_slot_state(handle, i) != PROP_SLOT_OPEN) continue;
        bool sums_only = false;
        out->result = read_slot(handle, i, buffer, length, offset, flags, &sums_only);
        if (out->result == 0) return true;
        trace_print(io_trace(handle), 2,
                    "proprior:Reading from ZKV device %d offset %d failed (%d).. attempting to read "
                    "from other devices",
                    static_cast<int>(i), static_cast<int>(offset), static_cast<int>(out->result));
        out->failed_mask |= 1u << i;
        if (sums_only) out->sums_mask |= 1u << i;
    }
    return false;
}

// A page rewritten in place outside the undo log (a name table, the log
// metadata) that fails its checksum on every location is the torn last
// write of a transaction that never committed: the power went while it was
// written, and nothing later was.  Its readers bound every field they use,
// and what the tear left half written belongs to no committed key, so the
// first such copy is taken as it stands; the next rewrite stamps a fresh
// checksum.  The locations that hold it torn stay in service, none being
// worse than another.  Failing the read instead would leave a store on one
// location unable to open after a power cut.
bool take_torn(proprhandle *handle, void *buffer, u32 length, u32 offset, u32 flags, ReadOutcome *out)
{
    if ((flags & PROPRIO_READ_IN_PLACE) == 0 || out->sums_mask == 0) return false;
    const u32 slot = static_cast<u32>(std::countr_zero(out->sums_mask));
    if (io_slot_read(handle, slot, buffer, length, offset, flags) != 0 || !header_valid(buffer)) return false;
    trace_print(io_trace(handle), 1,
                "proprior: Block at offset %u fails its checksum on every device; taken from device %d as a "
                "torn rewrite in place.",
                offset, static_cast<int>(slot));
    out->failed_mask &= ~out->sums_mask;
    out->result = 0;
    return true;
}

u32 mirrored_read(proprhandle *handle, void *buffer, u32 length, u32 offset, u32 flags)
{
    u32 start = 0;
    if (!pick_start(handle, &start)) return PROP_E_STORAGE;
    const u32 configured = handle->proprhandle_configured_device_count;
    ReadOutcome out;
    const bool ok = read_pass(handle, start, configured, buffer, length, offset, flags, &out) ||
                    (start > 0 && read_pass(handle, 0, start, buffer, length, offset, flags, &out)) ||
                    take_torn(handle, buffer, length, offset, flags, &out);
    if (out.failed_mask == 0) return ok ? 0 : out.result;
    for (u32 i = 0; i < configured; i++)
        if ((out.failed_mask & (1u << i)) != 0) fail_slot(handle, i, flags);
    rebalance_votes(handle, out.failed_mask);
    return ok ? 0 : out.result;
}

}  // namespace

u32 proprior(proprhandle *handle, void *buffer, u32 length, u32 offset, u32 read_flags, u32 selector)
{
    if (handle == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0, "proprior: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    if (!io_selector_ok(handle, selector, "proprior")) return PROP_E_ARG;
    if (selector < PROP_NUM_SLOTS) return direct_read(handle, buffer, length, offset, read_flags, selector);
    return mirrored_read(handle, buffer, length, offset, read_flags);
}

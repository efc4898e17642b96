// proprior: direct reads from one location, and mirrored reads that take
// the locations in turn and fail over.  A mirrored read is a batch of one:
// batches of pages a walk needs go to a location together, and every
// request fails over on its own, with the same header checks.  At the
// CACHING level pages of the tree area come from the page cache when it
// holds them, which takes only pages that passed these checks.
#include <bit>

#include "core/alloc.h"
#include "format/block.h"
#include "io/io.h"
#include "io/pagecache.h"
#include "io/slot.h"
#include "io/vldbridge.h"
#include "storage/device.h"

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

u32 timed_file_read(proprhandle *handle, u32 slot, void *buffer, u32 length, u64 offset, u32 flags)
{
    const u64 t0 = plat_clock_ns();
    const u32 rc = io_slot_read(handle, slot, buffer, length, offset, flags);
    if (rc == 0) io_stat_add(handle, slot, plat_clock_ns() - t0, length);
    return rc;
}

u32 direct_read(proprhandle *handle, void *buffer, u32 length, u64 offset, u32 flags, u32 slot)
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
u32 check_sums(proprhandle *handle, u32 slot, const void *buffer, u32 length, u64 offset)
{
    const u8 *b = static_cast<const u8 *>(buffer);
    for (u32 at = 0; at + PROP_PAGE_SIZE <= length; at += PROP_PAGE_SIZE) {
        if (hdr_verify_checksum(b + at, PROP_PAGE_SIZE) == 0) continue;
        const u64 addr = offset + at;
        trace_print(io_trace(handle), 0, "proprior: Block %llu at offset %llu from ZKV device %d fails its checksum.",
                    static_cast<unsigned long long>(propr_blocknum(addr)),
                    static_cast<unsigned long long>(addr), static_cast<int>(slot));
        return PROP_E_STORAGE;
    }
    return 0;
}

// A block that fails its header or its checksum: for a volume-manager file
// at the CACHING level another copy inside the disk group may still be good.
u32 retry_bad_block(proprhandle *handle, u32 slot, void *buffer, u32 length, u64 offset)
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

// The checks of a block just read from slot, which every read passes
// through, batched or not: its header, then its checksums.  0, or the
// result of the retry a bad block gets; *sums_only is set when the header
// was valid and only a checksum failed.
u32 check_block(proprhandle *handle, u32 slot, void *buffer, u32 length, u64 offset, u32 flags, bool *sums_only)
{
    trace_comp tc = io_trace(handle);
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
void fail_slot(proprhandle *handle, u32 slot, u64 offset, u32 flags, u32 rc)
{
    trace_print(io_trace(handle), 2,
                "proprior:Reading from ZKV device %d offset %d failed (%d).. attempting to read "
                "from other devices",
                static_cast<int>(slot), static_cast<int>(offset), static_cast<int>(rc));
    slot_set_state(handle, slot, PROP_SLOT_UNUSABLE, "proprior");
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

// Requests of a batch up to this many keep their bookkeeping on the stack.
constexpr u32 kSmallBatch = 16;

// The requests of a batch that no location has answered yet, by index,
// and the slots that failed one: those whose copy failed only its checksum
// apart, with the first failure of each for the trace.
struct pending_reads {
    proprio_read *reqs;
    u32 *todo;
    u32 count;
    u32 cache_epoch = 0;  // the page cache's, before the reads began
    u32 failed_mask = 0;
    u32 sums_mask = 0;
    u64 failed_offset[PROP_NUM_SLOTS] = {};
    u32 failed_rc[PROP_NUM_SLOTS] = {};
};

// Reads every pending request from one slot together.  The ones read (and
// whose checks pass) leave the list and enter the page cache; the others
// keep their result, and the slot counts as one that failed the read.
void read_from_slot(proprhandle *handle, u32 slot, pending_reads *p, u32 flags)
{
    trace_comp tc = io_trace(handle);
    for (u32 k = 0; k < p->count; k++)
        trace_print(tc, 4, "proprior: Reading from ZKV device[%d] offset %d", static_cast<int>(slot),
                    static_cast<int>(p->reqs[p->todo[k]].offset));
    if (handle->proprhandle_loctype[slot] == PROP_LOCTYPE_VLD) {
        io_vld_read_batch(handle, slot, p->reqs, p->todo, p->count);
    } else {
        ShortList<ut_read, kSmallBatch> list(handle->metactx, p->count);
        ut_read *io = list.get();
        if (io == nullptr) {
            for (u32 k = 0; k < p->count; k++) {
                proprio_read &r = p->reqs[p->todo[k]];
                r.result = timed_file_read(handle, slot, r.buffer, r.length, r.offset, flags);
            }
        } else {
            u64 bytes = 0;
            for (u32 k = 0; k < p->count; k++) {
                const proprio_read &r = p->reqs[p->todo[k]];
                io[k] = ut_read{r.buffer, r.length, r.offset, PROP_E_STORAGE};
            }
            const u64 t0 = plat_clock_ns();
            utread_batch(handle, io, p->count, static_cast<ut_native *>(handle->proprhandle_native[slot]), flags);
            for (u32 k = 0; k < p->count; k++) {
                p->reqs[p->todo[k]].result = io[k].result;
                if (io[k].result == 0) bytes += io[k].length;
            }
            if (bytes != 0) io_stat_add(handle, slot, plat_clock_ns() - t0, static_cast<u32>(bytes));
        }
    }
    u32 left = 0;
    for (u32 k = 0; k < p->count; k++) {
        proprio_read &r = p->reqs[p->todo[k]];
        bool sums_only = false;
        if (r.result == 0) r.result = check_block(handle, slot, r.buffer, r.length, r.offset, flags, &sums_only);
        if (r.result == 0) {
            if (r.length == PROP_PAGE_SIZE) pagecache_fill(handle, r.offset, r.buffer, p->cache_epoch);
            continue;
        }
        if (left == 0) {
            p->failed_offset[slot] = r.offset;
            p->failed_rc[slot] = r.result;
        }
        if (sums_only) p->sums_mask |= 1u << slot;
        p->todo[left++] = p->todo[k];
    }
    p->count = left;
    if (left != 0) p->failed_mask |= 1u << slot;
}

// Tries the open slots from..to-1 in order until nothing is pending.
void read_pass(proprhandle *handle, u32 from, u32 to, pending_reads *p, u32 flags)
{
    for (u32 i = from; i < to && p->count != 0; i++) {
        if (io_slot_state(handle, i) != PROP_SLOT_OPEN) continue;
        read_from_slot(handle, i, p, flags);
    }
}

// A page rewritten in place outside the undo log (a name table, the log
// metadata) that fails its checksum on every location is the torn last
// write of a transaction that never committed: the power went while it was
// written, and nothing later was.  Its readers bound every field they use,
// and what the tear left half written belongs to no committed key, so the
// first such copy is taken as it stands; the next rewrite stamps a fresh
// checksum.  The locations that hold it torn stay in service, none being
// worse than another.  Failing the read instead would leave a store on one
// location unable to open after a power cut.  Such pages are read one at
// a time.
void take_torn(proprhandle *handle, proprio_read *r, u32 flags, pending_reads *p)
{
    if ((flags & PROPRIO_READ_IN_PLACE) == 0 || p->sums_mask == 0 || p->count != 1) return;
    const u32 slot = static_cast<u32>(std::countr_zero(p->sums_mask));
    if (io_slot_read(handle, slot, r->buffer, r->length, r->offset, flags) != 0 || !header_valid(r->buffer)) return;
    trace_print(io_trace(handle), 1,
                "proprior: Block at offset %llu fails its checksum on every device; taken from device %d as a "
                "torn rewrite in place.",
                static_cast<unsigned long long>(r->offset), static_cast<int>(slot));
    p->failed_mask &= ~p->sums_mask;
    r->result = 0;
}

u32 mirrored_batch(proprhandle *handle, proprio_read *reqs, u32 n, u32 flags)
{
    ShortList<u32, kSmallBatch> list(handle->metactx, n);
    u32 *todo = list.get();
    if (todo == nullptr) {
        // No memory for the bookkeeping: one request at a time.
        u32 rc = 0;
        for (u32 i = 0; i < n; i++)
            if (u32 one = mirrored_batch(handle, &reqs[i], 1, flags); one != 0 && rc == 0) rc = one;
        return rc;
    }
    pending_reads p{reqs, todo, 0};
    for (u32 i = 0; i < n; i++) {
        // 26 stands for a request no location was left to answer.
        reqs[i].result = PROP_E_STORAGE;
        if (reqs[i].length == PROP_PAGE_SIZE && pagecache_lookup(handle, reqs[i].offset, reqs[i].buffer))
            reqs[i].result = 0;
        else
            todo[p.count++] = i;
    }
    p.cache_epoch = pagecache_epoch(handle);
    u32 start = 0;
    if (p.count != 0 && pick_start(handle, &start)) {
        read_pass(handle, start, handle->proprhandle_configured_device_count, &p, flags);
        if (start > 0) read_pass(handle, 0, start, &p, flags);
    }
    if (n == 1 && reqs[0].result != 0) take_torn(handle, &reqs[0], flags, &p);
    // Another location gave a good copy of a page rewritten in place: the
    // copies failing only their checksum hold the torn last write of a
    // transaction that never committed, as a power cut leaves it on some
    // locations and not others.  They stay in service (the next rewrite
    // mends them); taking them out would leave the store fewer locations
    // than a write needs.
    if ((flags & PROPRIO_READ_IN_PLACE) != 0) p.failed_mask &= ~p.sums_mask;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++)
        if ((p.failed_mask & (1u << i)) != 0) fail_slot(handle, i, p.failed_offset[i], flags, p.failed_rc[i]);
    rebalance_votes(handle, p.failed_mask);
    for (u32 i = 0; i < n; i++)
        if (reqs[i].result != 0) return reqs[i].result;
    return 0;
}

}  // namespace

u32 proprior(proprhandle *handle, void *buffer, u32 length, u64 offset, u32 read_flags, u32 selector)
{
    if (handle == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0, "proprior: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    if (!io_selector_ok(handle, selector, "proprior")) return PROP_E_ARG;
    if (selector < PROP_NUM_SLOTS) return direct_read(handle, buffer, length, offset, read_flags, selector);
    proprio_read one{buffer, length, offset, 0};
    return mirrored_batch(handle, &one, 1, read_flags);
}

u32 proprior_batch(proprhandle *handle, proprio_read *reqs, u32 n, u32 read_flags)
{
    if (handle == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0, "proprior: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    return n == 0 ? 0 : mirrored_batch(handle, reqs, n, read_flags);
}

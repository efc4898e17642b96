#include "io/group.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "core/alloc.h"
#include "io/blockpool.h"
#include "io/pagecache.h"
#include "io/quorum.h"
#include "io/slot.h"
#include "io/workers.h"
#include "storage/device.h"

using namespace propreg;

namespace {

constexpr int kMaxIov = IOV_MAX;

}  // namespace

WriteGroup::WriteGroup(proprhandle *handle) : h_(handle) {}

WriteGroup::~WriteGroup()
{
    reset();
    if (pages_ != inline_pages_) u_freem(h_->metactx, pages_);
}

// Room for one more page: in the group's own, then from the pool.
u8 *WriteGroup::room(bool *pooled)
{
    *pooled = inline_used_ == kInline;
    return *pooled ? blockpool_take(h_) : inline_data_[inline_used_++];
}

void WriteGroup::give_back(Page &p)
{
    if (p.pooled) blockpool_give(h_, p.data);
    p.pooled = false;
}

// Room in the page list for n more.
u32 WriteGroup::reserve(u32 n)
{
    if (count_ + n <= max_) return PROP_OK;
    const u32 max = std::max(count_ + n, 2 * max_);
    auto *pages = u_alloc_array<Page>(h_->metactx, max);
    if (pages == nullptr) return PROP_E_NOMEM;
    if (count_ != 0) std::memcpy(pages, pages_, count_ * sizeof *pages);
    if (pages_ != inline_pages_) u_freem(h_->metactx, pages_);
    pages_ = pages;
    max_ = max;
    return PROP_OK;
}

u32 WriteGroup::add(const void *buffer, u32 length, u64 offset)
{
    const u32 n = length / PROP_PAGE_SIZE;
    if (u32 rc = reserve(n); rc != PROP_OK) return rc;
    const u32 first = count_;
    for (u32 i = 0; i < n; i++) {
        bool pooled = false;
        u8 *data = room(&pooled);
        if (data == nullptr) {
            while (count_ > first) give_back(pages_[--count_]);
            return PROP_E_NOMEM;
        }
        std::memcpy(data, static_cast<const u8 *>(buffer) + size_t{i} * PROP_PAGE_SIZE, PROP_PAGE_SIZE);
        pages_[count_] = Page{offset + i * PROP_PAGE_SIZE, count_, data, pooled};
        count_++;
    }
    return PROP_OK;
}

u32 WriteGroup::adopt(u8 *page, u64 offset)
{
    if (u32 rc = reserve(1); rc != PROP_OK) {
        blockpool_give(h_, page);
        return rc;
    }
    pages_[count_] = Page{offset, count_, page, true};
    count_++;
    return PROP_OK;
}

// Sorts the pages, keeps the last copy of each address, and lays the
// neighbours out as runs.
u32 WriteGroup::prepare()
{
    std::sort(pages_, pages_ + count_,
              [](const Page &a, const Page &b) { return a.addr != b.addr ? a.addr < b.addr : a.seq > b.seq; });
    u32 distinct = 0;
    for (u32 i = 0; i < count_; i++) {
        if (distinct == 0 || pages_[distinct - 1].addr != pages_[i].addr)
            pages_[distinct++] = pages_[i];
        else
            give_back(pages_[i]);
    }
    count_ = distinct;
    if (count_ > kInline) {
        iov_ = u_alloc_array<iovec>(h_->metactx, count_);
        runs_ = u_alloc_array<ut_run>(h_->metactx, count_);
        if (iov_ == nullptr || runs_ == nullptr) return PROP_E_NOMEM;
    }
    nruns_ = 0;
    for (u32 i = 0; i < count_; i++) {
        iov_[i] = iovec{pages_[i].data, PROP_PAGE_SIZE};
        ut_run *last = nruns_ != 0 ? &runs_[nruns_ - 1] : nullptr;
        if (last != nullptr && pages_[i - 1].addr + PROP_PAGE_SIZE == pages_[i].addr && last->iovcnt < kMaxIov) {
            last->iovcnt++;
            continue;
        }
        runs_[nruns_++] = ut_run{&iov_[i], 1, pages_[i].addr};
    }
    return PROP_OK;
}

void WriteGroup::reset()
{
    if (iov_ != inline_iov_ && iov_ != nullptr) u_freem(h_->metactx, iov_);
    if (runs_ != inline_runs_ && runs_ != nullptr) u_freem(h_->metactx, runs_);
    iov_ = inline_iov_;
    runs_ = inline_runs_;
    nruns_ = 0;
    for (u32 i = 0; i < count_; i++) give_back(pages_[i]);
    count_ = 0;
    inline_used_ = 0;
}

// Writes the group to the slots given, all at once: the file and device
// locations from this thread in one batch; a volume-manager location,
// whose client call blocks, on its worker where the CACHING level has one
// (in turn after the files elsewhere).  0, or 12 when the file locations'
// requests found no memory: then none of them was written.
u32 WriteGroup::write_slots(const u32 *slots, u32 n, u32 *results, u64 *elapsed)
{
    proprio_workers *workers = io_fe_caching(h_) ? h_->proprhandle_workers : nullptr;
    bool posted[PROP_NUM_SLOTS] = {};
    ut_native *holders[PROP_NUM_SLOTS];
    u32 files[PROP_NUM_SLOTS], nfiles = 0;
    bool missing = false;
    for (u32 k = 0; k < n; k++) {
        if (h_->proprhandle_loctype[slots[k]] != PROP_LOCTYPE_VLD) {
            holders[nfiles] = static_cast<ut_native *>(h_->proprhandle_native[slots[k]]);
            missing = missing || holders[nfiles] == nullptr || holders[nfiles]->file == nullptr;
            files[nfiles++] = k;
        } else if (workers != nullptr && slots[k] > 0) {
            proprio_worker_post(&workers->worker[slots[k] - 1], runs_, nruns_);
            posted[k] = true;
        }
    }
    u32 file_results[PROP_NUM_SLOTS];
    u32 rc = PROP_OK;
    const u64 t0 = plat_clock_ns();
    if (missing) {
        // A slot without an open file answers as one whose write failed.
        for (u32 f = 0; f < nfiles; f++) file_results[f] = io_slot_write_runs(h_, slots[files[f]], runs_, nruns_);
    } else if (nfiles != 0) {
        rc = ut_write_runs(h_, holders, nfiles, runs_, nruns_, file_results);
    }
    const u64 t_files = plat_clock_ns() - t0;
    for (u32 f = 0; f < nfiles && rc == PROP_OK; f++) {
        results[files[f]] = file_results[f];
        elapsed[files[f]] = t_files;
    }
    for (u32 k = 0; k < n && rc == PROP_OK; k++) {
        if (h_->proprhandle_loctype[slots[k]] != PROP_LOCTYPE_VLD || posted[k]) continue;
        const u64 t = plat_clock_ns();
        results[k] = io_slot_write_runs(h_, slots[k], runs_, nruns_);
        elapsed[k] = plat_clock_ns() - t;
    }
    for (u32 k = 0; k < n; k++) {
        if (!posted[k]) continue;
        proprio_worker *w = &workers->worker[slots[k] - 1];
        results[k] = static_cast<u32>(proprio_worker_wait(w));
        elapsed[k] = w->elapsed;
        trace_print(io_trace(h_), 4, "propriow: Completed writing to dev[%d] [%s]", static_cast<int>(slots[k]),
                    h_->proprhandle_filename[slots[k]]);
    }
    return rc;
}

u32 WriteGroup::write_direct(u32 slot)
{
    io_progress(h_, 4, "propriow: direct write to disk (%d)", static_cast<int>(slot));
    u32 rc = 0;
    u64 elapsed = 0;
    if (u32 mem = write_slots(&slot, 1, &rc, &elapsed); mem != 0) return mem;
    if (rc == 0) io_stat_add(h_, slot, elapsed, count_ * PROP_PAGE_SIZE);
    io_progress(h_, 4, "propriow: Completed direct write to disk (%d)", static_cast<int>(slot));
    return rc;
}

u32 WriteGroup::write_mirrored()
{
    trace_comp tc = io_trace(h_);
    const u32 configured = h_->proprhandle_configured_device_count;
    const u32 wm = propriowm(h_);
    if (wm != 0 && configured == 2) {
        trace_print(tc, 0, "propriow: failed to update member count (%d)", static_cast<int>(wm));
        return PROP_E_STORAGE;
    }
    u32 states[PROP_NUM_SLOTS];
    io_slot_states(h_, states);
    u32 slots[PROP_NUM_SLOTS], n = 0;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++)
        if (states[i] == PROP_SLOT_OPEN) slots[n++] = i;
    if (n == 0) {
        trace_print(tc, 0, "propriow: no ZKV device is in open state");
        return PROP_E_STORAGE;
    }
    for (u32 k = 0; k < n; k++)
        io_progress(h_, 4, "propriow: writing to ZKV device[%d] %d", static_cast<int>(slots[k]),
                    static_cast<int>(pages_[0].addr));
    u32 results[PROP_NUM_SLOTS] = {};
    u64 elapsed[PROP_NUM_SLOTS] = {};
    if (u32 rc = write_slots(slots, n, results, elapsed); rc != 0) return rc;

    u32 successes = 0, no_space = 0;
    const bool workers = io_fe_caching(h_) && h_->proprhandle_workers != nullptr;
    for (u32 k = 0; k < n; k++) {
        const u32 slot = slots[k];
        if (results[k] == PROP_E_NOSPACE) {
            no_space++;
        } else if (results[k] == 0) {
            successes++;
            io_stat_add(h_, slot, elapsed[k], count_ * PROP_PAGE_SIZE);
            io_progress(h_, 4, "propriow: Completed writing to ZKV device[%d] [%s]", static_cast<int>(slot),
                        h_->proprhandle_filename[slot]);
        } else {
            // Out of service for the rest of the handle's life, exactly as a
            // failed read: a location that missed this group must never
            // serve a later read of its pages, or a stale page could be read
            // back and written again over committed data.
            io_slot_unusable(h_, slot, workers, "propriow");
        }
    }
    const u32 rc = proprio_write_verdict(h_, successes, no_space);
    if (rc == 0) propriowm(h_);
    return rc;
}

u32 WriteGroup::flush(u32 selector)
{
    if (count_ == 0) return 0;
    u32 rc = prepare();
    if (rc == 0) rc = selector == PROPRIO_ALL ? write_mirrored() : write_direct(selector);
    if (rc == PROP_E_NOMEM) trace_print(io_trace(h_), 0, "propriow: Could not allocate memory for a write group");
    // The page cache keeps what every open location now holds, and forgets
    // what a direct or failed write may have left on some of them only.
    const bool everywhere = selector == PROPRIO_ALL && rc == 0;
    const bool bulk = count_ > PROPRIO_PAGECACHE_BULK_PAGES;
    for (u32 i = 0; i < count_; i++)
        pagecache_written(h_, pages_[i].data, PROP_PAGE_SIZE, pages_[i].addr, everywhere, bulk);
    reset();
    return rc;
}

// utread_batch: the reads a walk knows it needs, from one location at once.
// Neighbouring requests become one transfer and the transfers go to the
// device together, so a batch costs about one read per megabyte instead of
// one per page.
#include <algorithm>
#include <cstring>

#include "core/alloc.h"
#include "core/handle.h"
#include "format/storemap.h"
#include "platform/env.h"
#include "storage/device.h"
#include "storage/report.h"

namespace {

constexpr u64 kAlign = PROP_PAGE_SIZE;
// Pages between two requests that are read and dropped rather than costing
// a transfer of their own: a device read takes as long as about this many
// pages of sequential transfer.
constexpr u64 kMaxGap = 8 * kAlign;
// Longest transfer: long enough to stream, short enough that several are in
// flight at once.
constexpr u64 kMaxRun = 512 * 1024;
// Batches up to this size sort on the stack.
constexpr u32 kSmallBatch = 32;

u64 align_up(u64 v)
{
    return (v + kAlign - 1) & ~(kAlign - 1);
}

// One transfer: requests order[first, first + count) in address order,
// covering file bytes [pos, pos + span).
struct run {
    u32 first;
    u32 count;
    u64 pos;
    u64 span;
};

class batch_reader {
  public:
    batch_reader(proprhandle *h, ut_read *reqs, u32 n, ut_native *holder, u32 flags)
        : h_(h), reqs_(reqs), n_(n), holder_(holder), flags_(flags), order_(h->metactx, n)
    {
    }
    void read();

  private:
    u64 pos_of(const ut_read &r) const
    {
        return h_->proprhandle_bootlevel == PROP_LEVEL_BACKUP ? u64{r.blkaddr} : u64{r.blkaddr} + PROPR_RESERVED_PREFIX;
    }
    bool sort_requests();
    u32 plan_runs(run *runs) const;
    bool into_callers(const run &r) const;
    int caller_iovecs(const run &r, u8 *scratch, iovec *iov) const;
    void finish(const run &r, const env_read &io, const u8 *area);
    void one_by_one();

    proprhandle *h_;
    ut_read *reqs_;
    u32 n_;
    ut_native *holder_;
    u32 flags_;
    ShortList<u32, kSmallBatch> order_;
};

bool batch_reader::sort_requests()
{
    if (order_.get() == nullptr) return false;
    for (u32 i = 0; i < n_; i++) order_[i] = i;
    std::sort(order_.get(), order_.get() + n_, [this](u32 a, u32 b) { return reqs_[a].blkaddr < reqs_[b].blkaddr; });
    return true;
}

// Splits the sorted requests into transfers; runs has room for n_.
u32 batch_reader::plan_runs(run *runs) const
{
    u32 count = 0;
    for (u32 k = 0; k < n_; k++) {
        const ut_read &r = reqs_[order_[k]];
        const u64 pos = pos_of(r), end = pos + r.length;
        if (count > 0) {
            run &last = runs[count - 1];
            const u64 last_end = last.pos + last.span;
            if (pos <= last_end + kMaxGap && std::max(end, last_end) - last.pos <= kMaxRun) {
                last.span = std::max(end, last_end) - last.pos;
                last.count++;
                continue;
            }
        }
        // A direct location reads from a page boundary.
        const u64 start = holder_->direct != 0 ? pos & ~(kAlign - 1) : pos;
        runs[count++] = run{k, 1, start, end - start};
    }
    return count;
}

// A transfer goes straight into the callers' buffers when the location
// takes them as they are and its requests do not overlap: what lies
// between them goes to a scratch page.  Otherwise it goes through an
// aligned area and is copied out.
bool batch_reader::into_callers(const run &r) const
{
    u64 at = r.pos;
    for (u32 k = r.first; k < r.first + r.count; k++) {
        const ut_read &q = reqs_[order_[k]];
        const u64 pos = pos_of(q);
        if (pos < at) return false;
        if (holder_->direct != 0 &&
            (reinterpret_cast<uintptr_t>(q.buf) % kAlign != 0 || q.length % kAlign != 0 || pos % kAlign != 0))
            return false;
        at = pos + q.length;
    }
    return true;
}

// The buffers a transfer straight into the callers' fills, in file order.
int batch_reader::caller_iovecs(const run &r, u8 *scratch, iovec *iov) const
{
    int n = 0;
    u64 at = r.pos;
    for (u32 k = r.first; k < r.first + r.count; k++) {
        const ut_read &q = reqs_[order_[k]];
        const u64 pos = pos_of(q);
        if (pos > at) iov[n++] = iovec{scratch, static_cast<size_t>(pos - at)};
        iov[n++] = iovec{q.buf, q.length};
        at = pos + q.length;
    }
    return n;
}

// Hands each request of a transfer its bytes (from area, when it went
// through one); bytes past the end of the file read as zeros.
void batch_reader::finish(const run &r, const env_read &io, const u8 *area)
{
    trace_comp comp = ut_osd(h_);
    if (io.err != 0) {
        trace_print(comp, (flags_ & UT_READ_QUIET) != 0 ? 3 : 0,
                    "utread:4: Problem reading the buffer phy offset  %d and oserror %d", static_cast<int>(r.pos),
                    io.err);
        ut_os_error(h_, io.err);
    }
    for (u32 k = r.first; k < r.first + r.count; k++) {
        ut_read &q = reqs_[order_[k]];
        q.result = io.err == 0 ? PROP_OK : PROP_E_STORAGE;
        if (io.err != 0) continue;
        const u64 at = pos_of(q) - r.pos;
        const u64 have = io.done > at ? std::min<u64>(io.done - at, q.length) : 0;
        if (area != nullptr) std::memcpy(q.buf, area + at, static_cast<size_t>(have));
        if (have < q.length) std::memset(static_cast<u8 *>(q.buf) + have, 0, static_cast<size_t>(q.length - have));
    }
}

// Without memory for the batch's bookkeeping the requests are read one by
// one: running short of memory says nothing about the location.
void batch_reader::one_by_one()
{
    for (u32 i = 0; i < n_; i++) reqs_[i].result = utread(h_, reqs_[i].buf, reqs_[i].length, reqs_[i].blkaddr, holder_, flags_);
}

void batch_reader::read()
{
    if (!sort_requests()) return one_by_one();
    prop_metactx *meta = h_->metactx;
    ShortList<run, kSmallBatch> run_list(meta, n_);
    run *runs = run_list.get();
    if (runs == nullptr) return one_by_one();
    const u32 count = plan_runs(runs);

    // One aligned area holds the transfers that cannot go to the callers,
    // and one scratch page the bytes between requests.
    u64 bounce = 0;
    bool gaps = false;
    for (u32 i = 0; i < count; i++) {
        if (!into_callers(runs[i]))
            bounce += align_up(runs[i].span);
        else
            gaps = gaps || runs[i].count > 1;
    }
    const u64 scratch_bytes = gaps ? kMaxGap : 0;
    MetaPtr<u8> raw;
    u8 *area = nullptr;
    if (bounce + scratch_bytes != 0) {
        raw = MetaPtr<u8>::alloc(meta, static_cast<size_t>(bounce + scratch_bytes + kAlign));
        if (!raw) return one_by_one();
        area = reinterpret_cast<u8 *>(align_up(reinterpret_cast<uintptr_t>(raw.get())));
    }
    u8 *scratch = area + bounce;
    // A transfer into the callers takes at most two buffers per request.
    const u32 slots = count + 2 * n_;
    ShortList<iovec, 3 * kSmallBatch> iov_list(meta, slots);
    ShortList<env_read, kSmallBatch> io_list(meta, count);
    iovec *iov = iov_list.get();
    env_read *io = io_list.get();
    if (iov == nullptr || io == nullptr) return one_by_one();
    u64 used = 0;
    for (u32 i = 0; i < count; i++) {
        const run &r = runs[i];
        int n = 0;
        if (into_callers(r)) {
            n = caller_iovecs(r, scratch, iov);
        } else {
            // A direct location moves whole aligned pages.
            const u64 len = holder_->direct != 0 ? align_up(r.span) : r.span;
            iov[0] = iovec{area + used, static_cast<size_t>(len)};
            used += align_up(r.span);
            n = 1;
        }
        io[i] = env_read{iov, n, r.pos, 0, 0};
        iov += n;
    }
    env_current()->pread_batch(holder_->file, io, count);
    for (u32 i = 0; i < count; i++)
        finish(runs[i], io[i], into_callers(runs[i]) ? nullptr : static_cast<const u8 *>(io[i].iov[0].iov_base));
}

}  // namespace

void utread_batch(proprhandle *handle, ut_read *reqs, u32 n, ut_native *holder, u32 flags)
{
    if (n == 0) return;
    if (handle == nullptr || holder == nullptr || holder->file == nullptr) {
        trace_print(ut_osd(handle), 0, "utread:2:NULL native handle");
        for (u32 i = 0; i < n; i++) reqs[i].result = PROP_E_STORAGE;
        return;
    }
    batch_reader(handle, reqs, n, holder, flags).read();
}

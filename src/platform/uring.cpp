#include "platform/uring.h"

#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

constexpr unsigned kEntries = 64;

size_t iov_bytes(const uring_req &r)
{
    size_t n = 0;
    for (int i = 0; i < r.iovcnt; i++) n += r.iov[i].iov_len;
    return n;
}

// Finishes a write from byte skip on, one call at a time.
int finish_write(const uring_req &r, size_t skip)
{
    u64 off = r.off;
    for (int i = 0; i < r.iovcnt; i++) {
        const auto *base = static_cast<const char *>(r.iov[i].iov_base);
        const size_t len = r.iov[i].iov_len;
        size_t at = skip < len ? skip : len;
        skip -= at;
        while (at < len) {
            ssize_t w = ::pwrite(r.fd, base + at, len - at, static_cast<off_t>(off + at));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return errno != 0 ? errno : EIO;
            if (w == 0) return ENOSPC;
            at += static_cast<size_t>(w);
        }
        off += len;
    }
    return 0;
}

void run_one(uring_req *r)
{
    if (r->op == uring_op::barrier) {
        while ((r->result = ::fdatasync(r->fd) == 0 ? 0 : errno) == EINTR) {
        }
        return;
    }
    if (r->op == uring_op::read) {
        ssize_t got;
        do {
            got = ::preadv(r->fd, r->iov, r->iovcnt, static_cast<off_t>(r->off));
        } while (got < 0 && errno == EINTR);
        r->result = got < 0 ? (errno != 0 ? errno : EIO) : 0;
        r->done = got < 0 ? 0 : static_cast<size_t>(got);
        return;
    }
    ssize_t w;
    do {
        w = ::pwritev(r->fd, r->iov, r->iovcnt, static_cast<off_t>(r->off));
    } while (w < 0 && errno == EINTR);
    if (w < 0) {
        r->result = errno != 0 ? errno : EIO;
        return;
    }
    r->result = static_cast<size_t>(w) < iov_bytes(*r) ? finish_write(*r, static_cast<size_t>(w)) : 0;
}

// The ring of the calling thread: set up at its first batch, given back
// when the thread ends.
class Ring {
  public:
    Ring() { setup(); }
    ~Ring() { release(); }
    Ring(const Ring &) = delete;
    Ring &operator=(const Ring &) = delete;

    bool usable() const { return fd_ >= 0; }

    // A child process would share its parent's ring: it makes its own.
    void own()
    {
        if (owner_ == ::getpid()) return;
        release();
        setup();
    }

    // Runs up to capacity requests, all at once.
    void run(uring_req *reqs, size_t n)
    {
        if (n > capacity_) n = capacity_;
        unsigned tail = *sq_tail_;
        for (size_t i = 0; i < n; i++, tail++) put(tail, reqs[i], i);
        __atomic_store_n(sq_tail_, tail, __ATOMIC_RELEASE);
        const size_t submitted = submit(n);
        if (submitted < n) {
            // Requests the kernel never took are taken back and run one by
            // one.
            __atomic_store_n(sq_tail_, tail - static_cast<unsigned>(n - submitted), __ATOMIC_RELEASE);
            for (size_t i = submitted; i < n; i++) run_one(&reqs[i]);
        }
        reap(reqs, submitted);
    }

    size_t capacity() const { return capacity_; }

    // The writes at once; each barrier once the writes to its file are
    // done.  nw + nb must not pass the capacity.
    void run_gated(uring_req *w, size_t nw, uring_req *b, size_t nb)
    {
        const size_t nb_all = nb;
        size_t waiting[kEntries] = {};
        bool failed[kEntries] = {};
        for (size_t j = 0; j < nb; j++)
            for (size_t i = 0; i < nw; i++) waiting[j] += w[i].fd == b[j].fd ? 1 : 0;
        unsigned tail = *sq_tail_;
        size_t queued = 0;
        for (size_t i = 0; i < nw; i++, queued++) put(tail++, w[i], i);
        for (size_t j = 0; j < nb; j++)
            if (waiting[j] == 0) put(tail++, b[j], nw + j), queued++;
        __atomic_store_n(sq_tail_, tail, __ATOMIC_RELEASE);
        // What the kernel did not take runs after the rest, one at a time,
        // with the barriers last.
        const size_t took = submit(queued);
        size_t left = took;
        if (took < queued) __atomic_store_n(sq_tail_, tail - static_cast<unsigned>(queued - took), __ATOMIC_RELEASE);
        if (took < queued) nb = 0;  // every barrier then waits for the end
        while (left > 0) {
            const unsigned tail_now = __atomic_load_n(cq_tail_, __ATOMIC_ACQUIRE);
            unsigned head = *cq_head_;
            if (head == tail_now) {
                if (!wait_one()) break;
                continue;
            }
            for (; head != tail_now; head++, left--) {
                const io_uring_cqe &c = cqes_[head & cq_mask_];
                if (c.user_data >= nw) {
                    b[c.user_data - nw].result = c.res < 0 ? -c.res : 0;
                    continue;
                }
                uring_req &r = w[c.user_data];
                r.result = complete(r, c.res);
                for (size_t j = 0; j < nb; j++) {
                    if (b[j].fd != r.fd) continue;
                    failed[j] = failed[j] || r.result != 0;
                    if (--waiting[j] != 0) continue;
                    if (failed[j]) {
                        b[j].result = 0;
                        continue;
                    }
                    unsigned t = *sq_tail_;
                    put(t, b[j], nw + j);
                    __atomic_store_n(sq_tail_, t + 1, __ATOMIC_RELEASE);
                    if (submit(1) == 1) {
                        left++;
                    } else {
                        __atomic_store_n(sq_tail_, t, __ATOMIC_RELEASE);
                        run_one(&b[j]);
                    }
                }
            }
            __atomic_store_n(cq_head_, head, __ATOMIC_RELEASE);
        }
        finish_rest(w, nw, b, nb_all);
    }

  private:
    void put(unsigned tail, const uring_req &r, u64 user_data)
    {
        const unsigned idx = tail & sq_mask_;
        io_uring_sqe &e = sqes_[idx];
        e = io_uring_sqe{};
        e.fd = r.fd;
        e.user_data = user_data;
        if (r.op == uring_op::barrier) {
            e.opcode = IORING_OP_FSYNC;
            e.fsync_flags = IORING_FSYNC_DATASYNC;
        } else {
            e.opcode = r.op == uring_op::read ? IORING_OP_READV : IORING_OP_WRITEV;
            e.addr = reinterpret_cast<u64>(r.iov);
            e.len = static_cast<u32>(r.iovcnt);
            e.off = r.off;
        }
        sq_array_[idx] = idx;
    }

    // Hands n queued requests to the kernel; how many it took (the first
    // ones queued).
    size_t submit(size_t n)
    {
        size_t submitted = 0;
        while (submitted < n) {
            long r = ::syscall(__NR_io_uring_enter, fd_, n - submitted, 0, 0, nullptr, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            submitted += static_cast<size_t>(r);
        }
        return submitted;
    }

    // Whatever the ring did not run (or could not report), one request at
    // a time: the writes, then each barrier whose file's writes all went.
    static void finish_rest(uring_req *w, size_t nw, uring_req *b, size_t nb)
    {
        for (size_t i = 0; i < nw; i++)
            if (w[i].result == -1) run_one(&w[i]);
        for (size_t j = 0; j < nb; j++)
            if (b[j].result == -1) barrier_after(w, nw, &b[j]);
    }

    // Waits for a completion; false when the ring cannot report one.
    bool wait_one()
    {
        long r = ::syscall(__NR_io_uring_enter, fd_, 0, 1, IORING_ENTER_GETEVENTS, nullptr, 0);
        return r >= 0 || errno == EINTR;
    }

    static int complete(const uring_req &r, int res)
    {
        if (res < 0) return -res;
        if (r.op == uring_op::write && static_cast<size_t>(res) < iov_bytes(r))
            return finish_write(r, static_cast<size_t>(res));
        return 0;
    }

    static void barrier_after(const uring_req *w, size_t nw, uring_req *b)
    {
        for (size_t i = 0; i < nw; i++) {
            if (w[i].fd == b->fd && w[i].result != 0) {
                b->result = 0;
                return;
            }
        }
        run_one(b);
    }

    void setup()
    {
        owner_ = ::getpid();
        io_uring_params p{};
        fd_ = static_cast<int>(::syscall(__NR_io_uring_setup, kEntries, &p));
        if (fd_ < 0) return;
        sq_len_ = p.sq_off.array + p.sq_entries * sizeof(u32);
        cq_len_ = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
        const bool single = (p.features & IORING_FEAT_SINGLE_MMAP) != 0;
        if (single) sq_len_ = cq_len_ = sq_len_ > cq_len_ ? sq_len_ : cq_len_;
        sqes_len_ = p.sq_entries * sizeof(io_uring_sqe);
        sq_ = map(sq_len_, IORING_OFF_SQ_RING);
        cq_ = single ? sq_ : map(cq_len_, IORING_OFF_CQ_RING);
        sqes_ = static_cast<io_uring_sqe *>(map(sqes_len_, IORING_OFF_SQES));
        if (sq_ == nullptr || cq_ == nullptr || sqes_ == nullptr) {
            release();
            return;
        }
        auto *sq = static_cast<char *>(sq_);
        auto *cq = static_cast<char *>(cq_);
        sq_tail_ = reinterpret_cast<unsigned *>(sq + p.sq_off.tail);
        sq_mask_ = *reinterpret_cast<unsigned *>(sq + p.sq_off.ring_mask);
        sq_array_ = reinterpret_cast<unsigned *>(sq + p.sq_off.array);
        cq_head_ = reinterpret_cast<unsigned *>(cq + p.cq_off.head);
        cq_tail_ = reinterpret_cast<unsigned *>(cq + p.cq_off.tail);
        cq_mask_ = *reinterpret_cast<unsigned *>(cq + p.cq_off.ring_mask);
        cqes_ = reinterpret_cast<io_uring_cqe *>(cq + p.cq_off.cqes);
        capacity_ = p.sq_entries;
    }

    void *map(size_t len, off_t what)
    {
        void *p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_, what);
        return p == MAP_FAILED ? nullptr : p;
    }

    void reap(uring_req *reqs, size_t n)
    {
        size_t seen = 0;
        while (seen < n) {
            unsigned head = *cq_head_;
            const unsigned tail = __atomic_load_n(cq_tail_, __ATOMIC_ACQUIRE);
            if (head == tail) {
                long r = ::syscall(__NR_io_uring_enter, fd_, 0, 1, IORING_ENTER_GETEVENTS, nullptr, 0);
                if (r < 0 && errno != EINTR) {
                    // The ring cannot report what became of the rest: they
                    // run again one by one, which moves the same bytes.
                    for (size_t i = 0; i < n; i++)
                        if (reqs[i].result == -1) run_one(&reqs[i]);
                    return;
                }
                continue;
            }
            for (; head != tail; head++) {
                const io_uring_cqe &c = cqes_[head & cq_mask_];
                uring_req &r = reqs[c.user_data];
                if (c.res < 0) {
                    r.result = -c.res;
                } else if (r.op == uring_op::read) {
                    r.result = 0;
                    r.done = static_cast<size_t>(c.res);
                } else if (r.op == uring_op::write && static_cast<size_t>(c.res) < iov_bytes(r)) {
                    r.result = finish_write(r, static_cast<size_t>(c.res));
                } else {
                    r.result = 0;
                }
                seen++;
            }
            __atomic_store_n(cq_head_, head, __ATOMIC_RELEASE);
        }
    }

    void release()
    {
        if (sqes_ != nullptr) ::munmap(sqes_, sqes_len_);
        if (cq_ != nullptr && cq_ != sq_) ::munmap(cq_, cq_len_);
        if (sq_ != nullptr) ::munmap(sq_, sq_len_);
        if (fd_ >= 0) ::close(fd_);
        sqes_ = nullptr;
        sq_ = cq_ = nullptr;
        fd_ = -1;
    }

    pid_t owner_ = 0;
    int fd_ = -1;
    void *sq_ = nullptr, *cq_ = nullptr;
    size_t sq_len_ = 0, cq_len_ = 0, sqes_len_ = 0;
    io_uring_sqe *sqes_ = nullptr;
    io_uring_cqe *cqes_ = nullptr;
    unsigned *sq_tail_ = nullptr, *sq_array_ = nullptr, *cq_head_ = nullptr, *cq_tail_ = nullptr;
    unsigned sq_mask_ = 0, cq_mask_ = 0;
    size_t capacity_ = 0;
};

Ring &thread_ring()
{
    thread_local Ring ring;
    return ring;
}

}  // namespace

void uring_run_then_barrier(uring_req *writes, size_t nw, uring_req *barriers, size_t nb)
{
    for (size_t i = 0; i < nw + nb; i++) {
        uring_req &r = i < nw ? writes[i] : barriers[i - nw];
        r.result = -1;
        r.done = 0;
    }
    Ring &ring = thread_ring();
    ring.own();
    if (ring.usable() && nw + nb <= ring.capacity()) {
        ring.run_gated(writes, nw, barriers, nb);
        return;
    }
    uring_run(writes, nw);
    for (size_t j = 0; j < nb; j++) {
        bool failed = false;
        for (size_t i = 0; i < nw; i++) failed = failed || (writes[i].fd == barriers[j].fd && writes[i].result != 0);
        if (failed)
            barriers[j].result = 0;
        else
            run_one(&barriers[j]);
    }
}

void uring_run(uring_req *reqs, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        reqs[i].result = -1;
        reqs[i].done = 0;
    }
    if (n == 1) {
        run_one(reqs);
        return;
    }
    Ring &ring = thread_ring();
    ring.own();
    if (!ring.usable()) {
        for (size_t i = 0; i < n; i++) run_one(&reqs[i]);
        return;
    }
    for (size_t done = 0; done < n;) {
        const size_t chunk = n - done < kEntries ? n - done : kEntries;
        ring.run(reqs + done, chunk);
        done += chunk;
    }
}

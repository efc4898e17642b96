#include "platform/uring.h"

#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

// Requests in flight at once: deeper queues gain little on one device.
constexpr unsigned kRingEntries = 64;

// Set once the kernel has said it offers no ring, so that later batches do
// not ask again.
std::atomic<bool> g_no_ring{false};

class Ring {
  public:
    Ring() = default;
    ~Ring() { close(); }
    Ring(const Ring &) = delete;
    Ring &operator=(const Ring &) = delete;

    bool open(unsigned entries);
    unsigned capacity() const { return sq_entries_; }
    // Reads reads[0, k) (k no more than the capacity) and waits for every
    // one that the kernel took.  Returns how many it took: the rest are
    // left as they were.
    size_t read_all(int fd, env_read *reads, size_t k);

  private:
    void close();
    void reap(env_read *reads, size_t *completed);

    int fd_ = -1;
    void *rings_ = MAP_FAILED;
    size_t rings_size_ = 0;
    void *cq_ring_ = MAP_FAILED;  // only when the kernel maps the two rings apart
    size_t cq_size_ = 0;
    io_uring_sqe *sqes_ = nullptr;
    size_t sqes_size_ = 0;
    unsigned sq_entries_ = 0;
    unsigned *sq_tail_ = nullptr;
    unsigned *sq_mask_ = nullptr;
    unsigned *sq_array_ = nullptr;
    unsigned *cq_head_ = nullptr;
    unsigned *cq_tail_ = nullptr;
    unsigned *cq_mask_ = nullptr;
    io_uring_cqe *cqes_ = nullptr;
};

void *map_ring(int fd, size_t size, off_t what)
{
    return ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, what);
}

bool Ring::open(unsigned entries)
{
    io_uring_params p{};
    fd_ = static_cast<int>(::syscall(__NR_io_uring_setup, entries, &p));
    if (fd_ < 0) {
        if (errno == ENOSYS || errno == EPERM || errno == EACCES) g_no_ring.store(true, std::memory_order_relaxed);
        return false;
    }
    size_t sq_size = p.sq_off.array + p.sq_entries * sizeof(unsigned);
    cq_size_ = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
    const bool single = (p.features & IORING_FEAT_SINGLE_MMAP) != 0;
    rings_size_ = single && cq_size_ > sq_size ? cq_size_ : sq_size;
    rings_ = map_ring(fd_, rings_size_, IORING_OFF_SQ_RING);
    if (rings_ == MAP_FAILED) return false;
    if (!single) {
        cq_ring_ = map_ring(fd_, cq_size_, IORING_OFF_CQ_RING);
        if (cq_ring_ == MAP_FAILED) return false;
    }
    sqes_size_ = p.sq_entries * sizeof(io_uring_sqe);
    void *sqes = map_ring(fd_, sqes_size_, IORING_OFF_SQES);
    if (sqes == MAP_FAILED) return false;
    sqes_ = static_cast<io_uring_sqe *>(sqes);

    auto *sq = static_cast<char *>(rings_);
    auto *cq = single ? sq : static_cast<char *>(cq_ring_);
    sq_tail_ = reinterpret_cast<unsigned *>(sq + p.sq_off.tail);
    sq_mask_ = reinterpret_cast<unsigned *>(sq + p.sq_off.ring_mask);
    sq_array_ = reinterpret_cast<unsigned *>(sq + p.sq_off.array);
    cq_head_ = reinterpret_cast<unsigned *>(cq + p.cq_off.head);
    cq_tail_ = reinterpret_cast<unsigned *>(cq + p.cq_off.tail);
    cq_mask_ = reinterpret_cast<unsigned *>(cq + p.cq_off.ring_mask);
    cqes_ = reinterpret_cast<io_uring_cqe *>(cq + p.cq_off.cqes);
    sq_entries_ = p.sq_entries;
    return true;
}

void Ring::close()
{
    if (sqes_ != nullptr) ::munmap(sqes_, sqes_size_);
    if (cq_ring_ != MAP_FAILED) ::munmap(cq_ring_, cq_size_);
    if (rings_ != MAP_FAILED) ::munmap(rings_, rings_size_);
    if (fd_ >= 0) ::close(fd_);
    sqes_ = nullptr;
    cq_ring_ = rings_ = MAP_FAILED;
    fd_ = -1;
}

void Ring::reap(env_read *reads, size_t *completed)
{
    unsigned head = *cq_head_;
    const unsigned tail = __atomic_load_n(cq_tail_, __ATOMIC_ACQUIRE);
    for (; head != tail; head++) {
        const io_uring_cqe &cqe = cqes_[head & *cq_mask_];
        env_read &r = reads[cqe.user_data];
        if (cqe.res < 0) {
            r.err = -cqe.res;
            r.done = 0;
        } else {
            r.err = 0;
            r.done = static_cast<size_t>(cqe.res);
        }
        (*completed)++;
    }
    __atomic_store_n(cq_head_, head, __ATOMIC_RELEASE);
}

size_t Ring::read_all(int fd, env_read *reads, size_t k)
{
    const unsigned tail = *sq_tail_;
    for (size_t j = 0; j < k; j++) {
        const unsigned idx = (tail + static_cast<unsigned>(j)) & *sq_mask_;
        io_uring_sqe *sqe = &sqes_[idx];
        std::memset(sqe, 0, sizeof *sqe);
        sqe->opcode = IORING_OP_READV;
        sqe->fd = fd;
        sqe->addr = reinterpret_cast<u64>(reads[j].iov);
        sqe->len = static_cast<u32>(reads[j].iovcnt);
        sqe->off = reads[j].off;
        sqe->user_data = j;
        sq_array_[idx] = idx;
    }
    __atomic_store_n(sq_tail_, tail + static_cast<unsigned>(k), __ATOMIC_RELEASE);

    size_t submitted = 0, completed = 0;
    while (completed < submitted || submitted < k) {
        const unsigned to_submit = static_cast<unsigned>(k - submitted);
        const long r = ::syscall(__NR_io_uring_enter, fd_, to_submit, 1U, IORING_ENTER_GETEVENTS, nullptr, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            // Nothing in flight and nothing more taken: the caller reads
            // the rest.  With reads in flight, their buffers are the
            // kernel's until they complete, so wait for them.
            if (completed == submitted) break;
            ::syscall(__NR_io_uring_enter, fd_, 0U, 1U, IORING_ENTER_GETEVENTS, nullptr, 0);
        } else {
            submitted += static_cast<size_t>(r);
        }
        reap(reads, &completed);
    }
    return submitted;
}

}  // namespace

bool uring_pread_batch(int fd, env_read *reads, size_t n)
{
    if (n == 0) return true;
    if (g_no_ring.load(std::memory_order_relaxed)) return false;
    Ring ring;
    if (!ring.open(n < kRingEntries ? static_cast<unsigned>(n) : kRingEntries)) return false;
    for (size_t i = 0; i < n; i++) {
        reads[i].done = 0;
        reads[i].err = EAGAIN;  // until the ring says otherwise
    }
    for (size_t at = 0; at < n;) {
        size_t k = n - at < ring.capacity() ? n - at : ring.capacity();
        size_t taken = ring.read_all(fd, reads + at, k);
        if (taken < k) break;  // the rest stay EAGAIN: read plainly
        at += k;
    }
    return true;
}

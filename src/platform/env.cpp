#include "platform/env.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "platform/fault_env.h"
#include "platform/trace.h"
#include "platform/uring.h"

struct env_file {
    int fd;
    int flags;
    char *path;
};

namespace {

int errno_or(int fallback)
{
    return errno != 0 ? errno : fallback;
}

class PosixEnv final : public Env {
  public:
    int open(const char *path, int flags, int mode, env_file **out) override
    {
        if (path == nullptr || out == nullptr) return EINVAL;
        *out = nullptr;
        size_t len = std::strlen(path);
        char *copy = new (std::nothrow) char[len + 1];
        auto *f = copy != nullptr ? new (std::nothrow) env_file{-1, flags, copy} : nullptr;
        if (f == nullptr) {
            delete[] copy;
            return ENOMEM;
        }
        std::memcpy(f->path, path, len + 1);
        int fd;
        do {
            fd = ::open(path, flags | O_CLOEXEC, mode);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            int err = errno_or(EIO);
            release(f);
            return err;
        }
        f->fd = fd;
        *out = f;
        return 0;
    }

    int close(env_file *f) override
    {
        if (f == nullptr) return EBADF;
        // The descriptor is gone whatever close says: never retry it.
        int err = ::close(f->fd) == 0 ? 0 : errno_or(EIO);
        release(f);
        return err;
    }

    int pread(env_file *f, void *buf, size_t len, u64 off, size_t *done) override
    {
        return transfer(f, buf, len, off, done, false);
    }

    int pwrite(env_file *f, const void *buf, size_t len, u64 off, size_t *done) override
    {
        return transfer(f, const_cast<void *>(buf), len, off, done, true);
    }

    void pread_batch(env_file *f, env_read *reads, size_t n) override
    {
        run(n, [&](size_t i, uring_req *r) {
            reads[i].done = 0;
            reads[i].err = EBADF;
            if (f == nullptr) return false;
            *r = uring_req{f->fd, uring_op::read, reads[i].iov, reads[i].iovcnt, reads[i].off, 0, 0};
            return true;
        }, [&](size_t i, const uring_req &r) {
            reads[i].done = r.done;
            reads[i].err = r.result == EAGAIN || r.result == EINTR ? 0 : r.result;
        });
        // A read the ring cut short goes on with plain calls from where it
        // stopped, until its buffers are full or the file ends.
        for (size_t i = 0; i < n; i++)
            if (reads[i].err == 0) reads[i].err = finish_read(f, reads[i]);
    }

    int size(env_file *f, u64 *bytes, bool *is_block_device) override
    {
        if (f == nullptr || bytes == nullptr) return EINVAL;
        struct stat st;
        if (::fstat(f->fd, &st) != 0) return errno_or(EIO);
        bool blk = S_ISBLK(st.st_mode);
        if (is_block_device != nullptr) *is_block_device = blk;
        if (!blk) {
            *bytes = static_cast<u64>(st.st_size);
            return 0;
        }
        u64 sz = 0;
        if (::ioctl(f->fd, BLKGETSIZE64, &sz) != 0) return errno_or(EIO);
        *bytes = sz;
        return 0;
    }

    int sector_size(env_file *f, u32 *bytes) override
    {
        if (f == nullptr || bytes == nullptr) return EINVAL;
        struct stat st;
        if (::fstat(f->fd, &st) != 0) return errno_or(EIO);
        if (!S_ISBLK(st.st_mode)) return ENOTTY;
        int ssz = 0;
        if (::ioctl(f->fd, BLKSSZGET, &ssz) != 0) return errno_or(EIO);
        *bytes = static_cast<u32>(ssz);
        return 0;
    }

    int truncate(env_file *f, u64 bytes) override
    {
        if (f == nullptr) return EBADF;
        return ::ftruncate(f->fd, static_cast<off_t>(bytes)) == 0 ? 0 : errno_or(EIO);
    }

    int fsync(env_file *f) override
    {
        if (f == nullptr) return EBADF;
        return ::fsync(f->fd) == 0 ? 0 : errno_or(EIO);
    }

    void write_batch(env_write *w, size_t n) override
    {
        run(n, [&](size_t i, uring_req *r) {
            w[i].result = EBADF;
            if (w[i].file == nullptr) return false;
            *r = uring_req{w[i].file->fd, uring_op::write, w[i].iov, w[i].iovcnt, w[i].off, 0, 0};
            return true;
        }, [&](size_t i, const uring_req &r) { w[i].result = r.result; });
    }

    void sync_batch(env_sync *s, size_t n) override
    {
        // Only the durable barriers reach the device.
        run(n, [&](size_t i, uring_req *r) {
            s[i].result = s[i].file == nullptr ? EBADF : 0;
            if (s[i].file == nullptr || !s[i].durable) return false;
            *r = uring_req{s[i].file->fd, uring_op::barrier, nullptr, 0, 0, 0, 0};
            return true;
        }, [&](size_t i, const uring_req &r) { s[i].result = r.result; });
    }

    void write_sync_batch(env_write *w, size_t n, env_sync *s, size_t m) override
    {
        // A group writes a few runs to each of up to five locations.
        constexpr size_t kMost = 32;
        if (n + m > kMost) {
            Env::write_sync_batch(w, n, s, m);
            return;
        }
        uring_req reqs[kMost];
        size_t nw = 0;
        for (size_t i = 0; i < n; i++) {
            w[i].result = EBADF;
            if (w[i].file == nullptr) continue;
            reqs[nw++] = uring_req{w[i].file->fd, uring_op::write, w[i].iov, w[i].iovcnt, w[i].off, 0, 0};
        }
        size_t nb = 0;
        for (size_t j = 0; j < m; j++) {
            s[j].result = s[j].file == nullptr ? EBADF : 0;
            if (s[j].file == nullptr || !s[j].durable) continue;
            reqs[nw + nb++] = uring_req{s[j].file->fd, uring_op::barrier, nullptr, 0, 0, 0, 0};
        }
        uring_run_then_barrier(reqs, nw, reqs + nw, nb);
        for (size_t i = 0, k = 0; i < n; i++)
            if (w[i].file != nullptr) w[i].result = reqs[k++].result;
        for (size_t j = 0, k = nw; j < m; j++)
            if (s[j].file != nullptr && s[j].durable) s[j].result = reqs[k++].result;
    }

    int stat(const char *path, struct stat *st) override
    {
        return ::stat(path, st) == 0 ? 0 : errno_or(EIO);
    }

    int fstat(env_file *f, struct stat *st) override
    {
        if (f == nullptr || st == nullptr) return EINVAL;
        return ::fstat(f->fd, st) == 0 ? 0 : errno_or(EIO);
    }

    int unlink(const char *path) override { return ::unlink(path) == 0 ? 0 : errno_or(EIO); }

    int rename(const char *from, const char *to) override
    {
        return ::rename(from, to) == 0 ? 0 : errno_or(EIO);
    }

    const char *path(env_file *f) override { return f != nullptr ? f->path : ""; }
    int open_flags(env_file *f) override { return f != nullptr ? f->flags : 0; }

  private:
    // Runs the requests fill() describes (it answers false for one that
    // takes no part) all at once, and hands each finished request to
    // take(); one at a time when there is no memory for the list.
    template <class Fill, class Take> static void run(size_t n, Fill fill, Take take)
    {
        std::unique_ptr<uring_req[]> reqs(new (std::nothrow) uring_req[n]);
        std::unique_ptr<size_t[]> from(new (std::nothrow) size_t[n]);
        if (!reqs || !from) {
            for (size_t i = 0; i < n; i++) {
                uring_req r;
                if (!fill(i, &r)) continue;
                uring_run(&r, 1);
                take(i, r);
            }
            return;
        }
        size_t live = 0;
        for (size_t i = 0; i < n; i++)
            if (fill(i, &reqs[live])) from[live++] = i;
        uring_run(reqs.get(), live);
        for (size_t k = 0; k < live; k++) take(from[k], reqs[k]);
    }

    // Reads the rest of a batch's read from r.done on, until its buffers are
    // full or the file ends.
    static int finish_read(env_file *f, env_read &r)
    {
        if (f == nullptr) return EBADF;
        size_t skip = r.done;
        for (int i = 0; i < r.iovcnt; i++) {
            const size_t len = r.iov[i].iov_len;
            if (skip >= len) {
                skip -= len;
                continue;
            }
            size_t moved = 0;
            int err = transfer(f, static_cast<char *>(r.iov[i].iov_base) + skip, len - skip, r.off + r.done, &moved,
                               false);
            r.done += moved;
            if (err != 0) return err;
            if (moved < len - skip) return 0;  // the end of the file
            skip = 0;
        }
        return 0;
    }

    static void release(env_file *f)
    {
        delete[] f->path;
        delete f;
    }

    // Loops over short transfers and EINTR; stops at end of file.
    static int transfer(env_file *f, void *buf, size_t len, u64 off, size_t *done, bool write)
    {
        if (done != nullptr) *done = 0;
        if (f == nullptr) return EBADF;
        size_t moved = 0;
        auto *p = static_cast<char *>(buf);
        while (moved < len) {
            ssize_t n = write ? ::pwrite(f->fd, p + moved, len - moved, static_cast<off_t>(off + moved))
                              : ::pread(f->fd, p + moved, len - moved, static_cast<off_t>(off + moved));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                if (done != nullptr) *done = moved;
                return errno_or(EIO);
            }
            if (n == 0) break;
            moved += static_cast<size_t>(n);
        }
        if (done != nullptr) *done = moved;
        return 0;
    }
};

std::atomic<Env *> g_installed{nullptr};
std::once_flag g_default_once;
Env *g_default = nullptr;

// The fault layer the environment asks for, or nullptr.  Every process it
// switches on says so in its trace, so that nobody mistakes an injected
// failure for the disks' own.
Env *faults_from_environment()
{
    const char *rules = std::getenv(PROPREG_FAULTS_ENV);
    if (rules == nullptr || *rules == '\0') return nullptr;
    trace_comp tc = trace_component_named(TRACE_OSD);
#ifdef PROPREG_FAULT_LAYER
    auto *fault = new (std::nothrow) FaultEnv(env_posix());
    if (fault != nullptr && fault->load(rules) == 0) {
        trace_print(tc, 0, "env_current: fault layer on from %s [%s]", PROPREG_FAULTS_ENV, rules);
        return fault;
    }
    delete fault;
    trace_print(tc, 0, "env_current: ignoring unusable %s [%s]", PROPREG_FAULTS_ENV, rules);
#else
    trace_print(tc, 0, "env_current: ignoring %s: this build has no fault layer [%s]", PROPREG_FAULTS_ENV, rules);
#endif
    return nullptr;
}

// The default Env: the fault layer over POSIX when $PROPREG_FAULTS names
// rules (so a child process of a crash test runs under them), else POSIX.
Env *default_env()
{
    std::call_once(g_default_once, [] {
        Env *fault = faults_from_environment();
        g_default = fault != nullptr ? fault : env_posix();
    });
    return g_default;
}

}  // namespace

void Env::pread_batch(env_file *f, env_read *reads, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        env_read &r = reads[i];
        r.done = 0;
        r.err = 0;
        for (int k = 0; k < r.iovcnt && r.err == 0; k++) {
            size_t moved = 0;
            r.err = pread(f, r.iov[k].iov_base, r.iov[k].iov_len, r.off + r.done, &moved);
            r.done += moved;
            if (moved < r.iov[k].iov_len) break;  // the end of the file
        }
    }
}

void Env::write_batch(env_write *w, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        env_write &r = w[i];
        r.result = r.file == nullptr ? EBADF : 0;
        u64 at = r.off;
        for (int k = 0; k < r.iovcnt && r.result == 0; k++) {
            size_t moved = 0;
            r.result = pwrite(r.file, r.iov[k].iov_base, r.iov[k].iov_len, at, &moved);
            if (r.result == 0 && moved < r.iov[k].iov_len) r.result = ENOSPC;
            at += moved;
        }
    }
}

void Env::sync_batch(env_sync *s, size_t n)
{
    for (size_t i = 0; i < n; i++)
        s[i].result = s[i].file == nullptr ? EBADF : s[i].durable ? fsync(s[i].file) : 0;
}

namespace {

bool write_failed(const env_write *w, size_t n, const env_file *file)
{
    for (size_t i = 0; i < n; i++)
        if (w[i].file == file && w[i].result != 0) return true;
    return false;
}

}  // namespace

void Env::write_sync_batch(env_write *w, size_t n, env_sync *s, size_t m)
{
    write_batch(w, n);
    env_sync own[8];
    size_t go[8], k = 0;
    for (size_t j = 0; j < m; j++) {
        s[j].result = 0;
        if (write_failed(w, n, s[j].file)) continue;
        if (k == 8) {  // more files than a store has locations: one by one
            sync_batch(&s[j], 1);
            continue;
        }
        own[k] = s[j];
        go[k++] = j;
    }
    sync_batch(own, k);
    for (size_t i = 0; i < k; i++) s[go[i]].result = own[i].result;
}

Env *env_posix()
{
    static PosixEnv posix;
    return &posix;
}

Env *env_current()
{
    Env *e = g_installed.load(std::memory_order_acquire);
    return e != nullptr ? e : default_env();
}

Env *env_install(Env *env)
{
    Env *previous = g_installed.exchange(env, std::memory_order_acq_rel);
    return previous != nullptr ? previous : default_env();
}

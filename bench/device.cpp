#include "device.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <semaphore>
#include <thread>
#include <vector>

namespace {

constexpr size_t kBlock = 4096;
constexpr size_t kFileBytes = 64u << 20;  // wide enough that offsets scatter

// A 4096-aligned block, as O_DIRECT requires.
struct AlignedBlock {
    void *p = nullptr;
    AlignedBlock() : p(std::aligned_alloc(kBlock, kBlock)) { std::memset(p, 0xa5, kBlock); }
    ~AlignedBlock() { std::free(p); }
    AlignedBlock(const AlignedBlock &) = delete;
    AlignedBlock &operator=(const AlignedBlock &) = delete;
};

// Writes the whole file once and syncs it, so no measured write allocates.
int prepare_file(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    std::vector<char> chunk(1u << 20, 0x5a);
    int err = 0;
    for (size_t off = 0; off < kFileBytes && err == 0; off += chunk.size())
        if (::pwrite(fd, chunk.data(), chunk.size(), static_cast<off_t>(off)) != static_cast<ssize_t>(chunk.size()))
            err = errno != 0 ? errno : EIO;
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    ::close(fd);
    return err;
}

class Offsets {
  public:
    off_t next() { return static_cast<off_t>(pick_(rng_) * kBlock); }

  private:
    std::mt19937_64 rng_{20240611};
    std::uniform_int_distribution<size_t> pick_{0, kFileBytes / kBlock - 1};
};

// Times one pread or pwrite of a block per iteration; 0 or errno.
int time_io(const std::string &path, int flags, bool write, int iterations, Summary *out)
{
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return errno;
    AlignedBlock block;
    Offsets offsets;
    std::vector<double> us;
    int err = 0;
    for (int i = 0; i < iterations && err == 0; i++) {
        off_t off = offsets.next();
        double t0 = now_us();
        ssize_t n = write ? ::pwrite(fd, block.p, kBlock, off) : ::pread(fd, block.p, kBlock, off);
        double t1 = now_us();
        if (n != static_cast<ssize_t>(kBlock)) err = n < 0 ? errno : EIO;
        us.push_back(t1 - t0);
    }
    ::close(fd);
    *out = summarize(us);
    return err;
}

// One block to each of three files at once: the calling thread writes the
// first, two helpers the others, as mirrored writes are made.
int time_parallel_writes(const std::vector<std::string> &paths, int flags, int iterations, Summary *out)
{
    constexpr int kHelpers = 2;
    int fds[kHelpers + 1];
    for (int i = 0; i <= kHelpers; i++) {
        fds[i] = ::open(paths[static_cast<size_t>(i)].c_str(), flags | O_CLOEXEC);
        if (fds[i] < 0) {
            int err = errno;
            while (i-- > 0) ::close(fds[i]);
            return err;
        }
    }
    AlignedBlock blocks[kHelpers + 1];
    std::counting_semaphore<1> go[kHelpers] = {std::counting_semaphore<1>{0}, std::counting_semaphore<1>{0}};
    std::counting_semaphore<1> done[kHelpers] = {std::counting_semaphore<1>{0}, std::counting_semaphore<1>{0}};
    off_t offset = 0;
    bool stop = false;
    int errs[kHelpers + 1] = {};
    std::vector<std::thread> helpers;
    for (int h = 0; h < kHelpers; h++) {
        helpers.emplace_back([&, h] {
            for (;;) {
                go[h].acquire();
                if (stop) return;
                if (::pwrite(fds[h + 1], blocks[h + 1].p, kBlock, offset) != static_cast<ssize_t>(kBlock))
                    errs[h + 1] = errno != 0 ? errno : EIO;
                done[h].release();
            }
        });
    }
    Offsets offsets;
    std::vector<double> us;
    for (int i = 0; i < iterations && errs[0] == 0; i++) {
        offset = offsets.next();
        double t0 = now_us();
        for (auto &g : go) g.release();
        if (::pwrite(fds[0], blocks[0].p, kBlock, offset) != static_cast<ssize_t>(kBlock))
            errs[0] = errno != 0 ? errno : EIO;
        for (auto &d : done) d.acquire();
        us.push_back(now_us() - t0);
    }
    stop = true;
    for (auto &g : go) g.release();
    for (auto &t : helpers) t.join();
    for (int fd : fds) ::close(fd);
    *out = summarize(us);
    for (int e : errs)
        if (e != 0) return e;
    return 0;
}

}  // namespace

int measure_device(const std::string &dir, int iterations, DeviceLimit *out, std::string *why)
{
    std::vector<std::string> paths;
    for (int i = 1; i <= 3; i++) paths.push_back(dir + "/device" + std::to_string(i) + ".dat");
    for (const std::string &p : paths) {
        if (int err = prepare_file(p); err != 0) {
            *why = "cannot prepare " + p + ": " + std::strerror(err);
            return err;
        }
    }
    // A file system without unbuffered I/O gets what a location gets there:
    // write-through, buffered.
    int probe = ::open(paths[0].c_str(), O_RDWR | O_DIRECT | O_CLOEXEC);
    out->direct = probe >= 0;
    if (probe >= 0) ::close(probe);
    int direct = out->direct ? O_DIRECT : 0;

    int err = time_io(paths[0], O_RDWR | direct | O_DSYNC, true, iterations, &out->write_direct);
    if (err == 0) err = time_io(paths[0], O_RDWR | O_DSYNC, true, iterations, &out->write_dsync);
    if (err == 0) err = time_io(paths[0], O_RDONLY | direct, false, iterations, &out->read_direct);
    if (err == 0) err = time_parallel_writes(paths, O_RDWR | direct | O_DSYNC, iterations, &out->write_direct_x3);
    for (const std::string &p : paths) ::unlink(p.c_str());
    if (err != 0) *why = std::string("device measurement failed: ") + std::strerror(err);
    return err;
}

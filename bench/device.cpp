#include "device.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <semaphore>
#include <thread>

namespace {

constexpr size_t kBlock = 4096;
constexpr size_t kFileBytes = 16u << 20;  // wide enough that offsets scatter
constexpr int kFiles = 3;

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

int transfer(int fd, void *block, off_t off, bool write)
{
    ssize_t n = write ? ::pwrite(fd, block, kBlock, off) : ::pread(fd, block, kBlock, off);
    if (n == static_cast<ssize_t>(kBlock)) return 0;
    return n < 0 ? errno : EIO;
}

}  // namespace

struct DeviceProbe::State {
    std::string paths[kFiles];
    bool direct = false;
    int direct_fd[kFiles] = {-1, -1, -1};  // O_DIRECT | O_DSYNC (or O_DSYNC)
    int dsync_fd = -1;
    int read_fd = -1;
    AlignedBlock blocks[kFiles];
    std::mt19937_64 rng{20240611};
    std::uniform_int_distribution<size_t> pick{0, kFileBytes / kBlock - 1};

    // Two helpers write files 2 and 3 while the caller writes file 1, as
    // mirrored writes are made.
    std::thread helpers[kFiles - 1];
    std::counting_semaphore<1> go[kFiles - 1] = {std::counting_semaphore<1>{0}, std::counting_semaphore<1>{0}};
    std::counting_semaphore<1> done[kFiles - 1] = {std::counting_semaphore<1>{0}, std::counting_semaphore<1>{0}};
    off_t offset = 0;
    bool stop = false;
    int helper_err[kFiles - 1] = {};

    off_t next() { return static_cast<off_t>(pick(rng) * kBlock); }

    void helper(int h)
    {
        for (;;) {
            go[h].acquire();
            if (stop) return;
            helper_err[h] = transfer(direct_fd[h + 1], blocks[h + 1].p, offset, true);
            done[h].release();
        }
    }

    ~State()
    {
        stop = true;
        for (int h = 0; h < kFiles - 1; h++) {
            if (!helpers[h].joinable()) continue;
            go[h].release();
            helpers[h].join();
        }
        for (int fd : direct_fd)
            if (fd >= 0) ::close(fd);
        for (int fd : {dsync_fd, read_fd})
            if (fd >= 0) ::close(fd);
        for (const std::string &p : paths)
            if (!p.empty()) ::unlink(p.c_str());
    }
};

DeviceProbe::DeviceProbe() : s_(std::make_unique<State>()) {}
DeviceProbe::~DeviceProbe() = default;

int DeviceProbe::open(const std::string &dir, std::string *why)
{
    for (int i = 0; i < kFiles; i++) {
        s_->paths[i] = dir + "/device" + std::to_string(i + 1) + ".dat";
        if (int err = prepare_file(s_->paths[i]); err != 0) {
            *why = "cannot prepare " + s_->paths[i] + ": " + std::strerror(err);
            return err;
        }
    }
    // A file system without unbuffered I/O gets what a location gets there:
    // write-through, buffered.
    int probe = ::open(s_->paths[0].c_str(), O_RDWR | O_DIRECT | O_CLOEXEC);
    s_->direct = probe >= 0;
    if (probe >= 0) ::close(probe);
    int direct = s_->direct ? O_DIRECT : 0;
    for (int i = 0; i < kFiles; i++) s_->direct_fd[i] = ::open(s_->paths[i].c_str(), O_RDWR | direct | O_DSYNC | O_CLOEXEC);
    s_->dsync_fd = ::open(s_->paths[0].c_str(), O_RDWR | O_DSYNC | O_CLOEXEC);
    s_->read_fd = ::open(s_->paths[0].c_str(), O_RDONLY | direct | O_CLOEXEC);
    for (int fd : {s_->direct_fd[0], s_->direct_fd[1], s_->direct_fd[2], s_->dsync_fd, s_->read_fd}) {
        if (fd < 0) {
            int err = errno;
            *why = std::string("cannot open the device files: ") + std::strerror(err);
            return err;
        }
    }
    for (int h = 0; h < kFiles - 1; h++) s_->helpers[h] = std::thread([this, h] { s_->helper(h); });
    return 0;
}

bool DeviceProbe::direct() const
{
    return s_->direct;
}

namespace {

template <class F> int timed(std::vector<double> *us, F transfer_once)
{
    double t0 = now_us();
    int err = transfer_once();
    us->push_back(now_us() - t0);
    return err;
}

}  // namespace

int DeviceProbe::write_direct(std::vector<double> *us)
{
    off_t off = s_->next();
    return timed(us, [&] { return transfer(s_->direct_fd[0], s_->blocks[0].p, off, true); });
}

int DeviceProbe::write_dsync(std::vector<double> *us)
{
    off_t off = s_->next();
    return timed(us, [&] { return transfer(s_->dsync_fd, s_->blocks[0].p, off, true); });
}

int DeviceProbe::read_direct(std::vector<double> *us)
{
    off_t off = s_->next();
    return timed(us, [&] { return transfer(s_->read_fd, s_->blocks[0].p, off, false); });
}

int DeviceProbe::write_direct_x3(std::vector<double> *us)
{
    s_->offset = s_->next();
    return timed(us, [&] {
        for (auto &g : s_->go) g.release();
        int err = transfer(s_->direct_fd[0], s_->blocks[0].p, s_->offset, true);
        for (auto &d : s_->done) d.acquire();
        for (int e : s_->helper_err)
            if (err == 0) err = e;
        return err;
    });
}

DeviceLimit summarize(const DeviceSamples &s)
{
    return {s.direct, summarize(s.write_direct), summarize(s.write_dsync), summarize(s.read_direct),
            summarize(s.write_direct_x3)};
}

int measure_device(DeviceProbe *probe, int iterations, DeviceSamples *out, std::string *why)
{
    out->direct = probe->direct();
    int err = 0;
    for (int i = 0; i < iterations && err == 0; i++) {
        err = probe->write_direct(&out->write_direct);
        if (err == 0) err = probe->write_dsync(&out->write_dsync);
        if (err == 0) err = probe->read_direct(&out->read_direct);
        if (err == 0) err = probe->write_direct_x3(&out->write_direct_x3);
    }
    if (err != 0) *why = std::string("device measurement failed: ") + std::strerror(err);
    return err;
}

int sequential_read(const std::string &path, uint64_t offset, uint64_t bytes, double *us, std::string *why,
                    size_t request_bytes)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        *why = "cannot open " + path + ": " + std::strerror(err);
        return err;
    }
    void *buf = std::aligned_alloc(kBlock, request_bytes);
    int err = buf == nullptr ? ENOMEM : 0;
    const double t0 = now_us();
    for (uint64_t done = 0; done < bytes && err == 0;) {
        size_t n = bytes - done < request_bytes ? static_cast<size_t>(bytes - done) : request_bytes;
        ssize_t got = ::pread(fd, buf, n, static_cast<off_t>(offset + done));
        if (got <= 0) err = got < 0 ? errno : EIO;
        done += got > 0 ? static_cast<uint64_t>(got) : 0;
    }
    *us = now_us() - t0;
    std::free(buf);
    ::close(fd);
    if (err != 0) *why = "sequential read of " + path + " failed: " + std::strerror(err);
    return err;
}

int measure_sequential_write_read(const std::string &dir, u64 bytes, SequentialBandwidth *out, std::string *why)
{
    constexpr size_t kChunk = 1u << 20;
    const std::string path = dir + "/sequential.dat";
    void *buf = std::aligned_alloc(kBlock, kChunk);
    if (buf == nullptr) return ENOMEM;
    std::memset(buf, 0x3c, kChunk);
    bytes -= bytes % kChunk;
    int err = 0;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT | O_CLOEXEC, 0600);
    if (fd < 0) fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);  // no unbuffered I/O here
    if (fd < 0) err = errno;
    const double t0 = now_us();
    for (u64 off = 0; off < bytes && err == 0; off += kChunk) {
        ssize_t n = ::pwrite(fd, buf, kChunk, static_cast<off_t>(off));
        if (n != static_cast<ssize_t>(kChunk)) err = n < 0 ? errno : EIO;
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    const double write_us = now_us() - t0;
    if (fd >= 0) ::close(fd);
    std::free(buf);
    // Bytes per microsecond are MB/s.
    if (err == 0 && write_us > 0) out->write_mb_s = static_cast<double>(bytes) / write_us;
    double read_us = 0;
    if (err == 0) err = sequential_read(path, 0, bytes, &read_us, why, kChunk);
    if (err == 0 && read_us > 0) out->read_mb_s = static_cast<double>(bytes) / read_us;
    ::unlink(path.c_str());
    if (err != 0 && why->empty()) *why = std::string("sequential bandwidth: ") + std::strerror(err);
    return err;
}

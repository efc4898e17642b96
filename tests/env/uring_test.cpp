#include "platform/uring.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/tmpdir.h"

namespace {

struct Files {
    TempDir dir;
    std::vector<int> fds;

    explicit Files(int n)
    {
        for (int i = 0; i < n; i++)
            fds.push_back(::open(dir.file("f" + std::to_string(i)).c_str(), O_RDWR | O_CREAT, 0644));
    }
    ~Files()
    {
        for (int fd : fds) ::close(fd);
    }
    std::string read(int i, size_t len, off_t off) const
    {
        std::string s(len, '\0');
        EXPECT_EQ(::pread(fds[i], s.data(), len, off), static_cast<ssize_t>(len));
        return s;
    }
};

uring_req write_of(int fd, const iovec *iov, u64 off)
{
    return uring_req{fd, uring_op::write, iov, 1, off, 0, 0};
}

uring_req barrier_of(int fd)
{
    return uring_req{fd, uring_op::barrier, nullptr, 0, 0, 0, 0};
}

// Every write lands, each file's barrier runs, and a file whose write
// failed gets no barrier; past the ring's size the same holds one request
// at a time.
TEST(RunThenBarrier, EveryWriteLandsAndOnlyFilesWrittenWholeAreSynced)
{
    for (size_t per_file : {size_t{2}, size_t{40}}) {
        Files f(3);
        std::string a(512, 'a'), b(512, 'b');
        iovec ia{a.data(), a.size()}, ib{b.data(), b.size()};
        std::vector<uring_req> writes;
        for (int i = 0; i < 3; i++)
            for (size_t k = 0; k < per_file; k++) writes.push_back(write_of(f.fds[i], k % 2 ? &ib : &ia, k * 512));
        writes.push_back(write_of(-1, &ia, 0));  // a location whose file is gone
        std::vector<uring_req> barriers = {barrier_of(f.fds[0]), barrier_of(f.fds[1]), barrier_of(f.fds[2]),
                                           barrier_of(-1)};
        uring_run_then_barrier(writes.data(), writes.size(), barriers.data(), barriers.size());
        for (size_t i = 0; i + 1 < writes.size(); i++) EXPECT_EQ(writes[i].result, 0) << i;
        EXPECT_EQ(writes.back().result, EBADF);
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(barriers[i].result, 0) << i;
            EXPECT_EQ(f.read(i, 1024, static_cast<off_t>(per_file - 2) * 512), a + b) << per_file;
        }
        EXPECT_EQ(barriers[3].result, 0) << "no barrier for a file whose write failed";
    }
}

}  // namespace

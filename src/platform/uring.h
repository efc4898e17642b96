// Several writes, reads or barriers in flight at once from one thread: a
// small submission ring per thread, driven through the kernel's own calls.
// Where the kernel offers no ring (or refuses one), the same requests run
// one after another.
#pragma once

#include <sys/uio.h>

#include <cstddef>

#include "platform/ints.h"

enum class uring_op : u8 { write, read, barrier };

// One request of a batch.  A write moves iov to byte offset off of fd; a
// read fills iov from byte offset off; a barrier makes fd's completed
// writes durable.
struct uring_req {
    int fd;
    uring_op op;
    const struct iovec *iov;
    int iovcnt;
    u64 off;
    int result;   // out: 0, or an errno (a write cut short is ENOSPC)
    size_t done;  // out, reads: bytes read; a read may stop short, the caller finishes it
};

// Starts every request, waits for all, and fills each result.
void uring_run(uring_req *reqs, size_t n);

// Starts every write, and each barrier as soon as every write to its file
// has finished (at once for a file without writes); waits for all and
// fills each result.  A file whose write failed gets no barrier: its
// result stays 0.
void uring_run_then_barrier(uring_req *writes, size_t nw, uring_req *barriers, size_t nb);

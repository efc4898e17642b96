// Several reads of one file in flight at once, through the kernel's
// submission ring: a batch costs about one device read instead of one per
// request.  Where the kernel offers no ring (or refuses one), the caller
// reads one request after another instead.
#pragma once

#include "platform/env.h"

// Reads every request of reads from the descriptor fd.  false when no ring
// could be had: nothing was read.  Otherwise each request has its outcome;
// a request the ring could not finish (a short transfer, EAGAIN or EINTR)
// is left for the caller to complete with plain reads.
bool uring_pread_batch(int fd, env_read *reads, size_t n);

// The inter-process lock on a store.  The library's locks only order the
// threads of one process, so two propctl processes would otherwise write
// the same locations at once.
#pragma once

#include <string>

namespace propctl {

class StoreLock {
  public:
    StoreLock() = default;
    ~StoreLock() { release(); }
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;

    // Blocks until the lock is held (exclusive for writers, shared for
    // readers); says so on a terminal while it waits.  A held lock is
    // converted.  false with the reason.
    bool acquire(const std::string &path, bool exclusive, std::string *why);
    void release();

  private:
    int fd_ = -1;
};

}  // namespace propctl

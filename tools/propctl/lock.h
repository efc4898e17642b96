// The inter-process lock on a store.  The library's locks only order the
// threads of one process, so two propctl processes would otherwise write
// the same locations at once.
#pragma once

#include <string>

namespace propctl {

class Output;

class StoreLock {
  public:
    explicit StoreLock(const Output &out) : out_(out) {}
    ~StoreLock() { release(); }
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;

    // How long acquire waits for another process; negative: for ever.
    void set_wait(double seconds) { wait_seconds_ = seconds; }
    // Waits until the lock is held (exclusive for writers, shared for
    // readers), saying after a second who holds it.  A held lock is
    // converted.  0, or the exit status with the reason in why.
    int acquire(const std::string &path, bool exclusive, std::string *why);
    void release();

  private:
    const Output &out_;
    double wait_seconds_ = -1;
    int fd_ = -1;
};

}  // namespace propctl

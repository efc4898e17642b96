#include "lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output.h"

namespace propctl {

bool StoreLock::acquire(const std::string &path, bool exclusive, std::string *why)
{
    if (fd_ < 0) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // a reader without write access
        if (fd_ < 0) {
            *why = "cannot open " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    const int mode = exclusive ? LOCK_EX : LOCK_SH;
    if (::flock(fd_, mode | LOCK_NB) == 0) return true;
    Progress waiting("propctl");
    waiting.message("waiting for another propctl to finish with this store");
    int rc;
    while ((rc = ::flock(fd_, mode)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        *why = "cannot lock " + path + ": " + std::strerror(errno);
        release();
        return false;
    }
    return true;
}

void StoreLock::release()
{
    if (fd_ >= 0) ::close(fd_);  // closing drops the flock
    fd_ = -1;
}

}  // namespace propctl

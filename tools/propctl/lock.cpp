#include "lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output.h"
#include "propreg/client.h"

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
    // The daemon holds the lock for as long as it runs: waiting would be
    // for ever.
    prc_conn *daemon = nullptr;
    const std::string socket = path.substr(0, path.find_last_of('/') + 1) + "propregd.sock";
    if (prc_connect(socket.c_str(), &daemon) == 0) {
        prc_disconnect(daemon);
        *why = "propregd serves this store (" + socket +
               "); stop it to use the store directly (systemctl stop propregd, or SIGTERM to its process)";
        release();
        return false;
    }
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

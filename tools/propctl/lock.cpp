#include "lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "cause.h"
#include "output.h"
#include "served.h"

namespace propctl {

namespace {

// What a process is running, as its command line shows it.
std::string command_of(const std::string &pid)
{
    std::ifstream in("/proc/" + pid + "/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), {}), words;
    for (size_t at = 0; at < raw.size();) {
        size_t end = raw.find('\0', at);
        if (end == std::string::npos) end = raw.size();
        std::string w = raw.substr(at, end - at);
        if (words.empty()) w = w.substr(w.find_last_of('/') + 1);  // the program without its directory
        words += (words.empty() ? "" : " ") + w;
        at = end + 1;
    }
    constexpr size_t kShown = 60;
    return words.size() > kShown ? words.substr(0, kShown) + "..." : words;
}

// "pid N (COMMAND)" of a process holding the lock on the file open as fd,
// from the kernel's list of locks; "another process" when it is not known.
std::string holder_of(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0) return "another process";
    // Lines read "1: FLOCK  ADVISORY  WRITE 1234 fe:00:5678 0 EOF"; a
    // waiter's carries "->" after the number.
    const std::string inode = ":" + std::to_string(st.st_ino);
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        std::string number, kind, how, mode, pid, id;
        if (!(words >> number >> kind >> how >> mode >> pid >> id) || kind != "FLOCK") continue;
        if (id.size() < inode.size() || id.compare(id.size() - inode.size(), inode.size(), inode) != 0) continue;
        if (pid == std::to_string(::getpid())) continue;
        const std::string command = command_of(pid);
        return "pid " + pid + (command.empty() ? "" : " (" + command + ")");
    }
    return "another process";
}

// The daemon holds the lock for as long as it runs: waiting would be for
// ever, so the command gives up at once, with the status of a lock not got.
bool served_by_daemon(const std::string &lock_path, std::string *why)
{
    const std::string dir = lock_path.substr(0, lock_path.find_last_of('/'));
    prc_conn *daemon = connect_served(dir);
    if (daemon == nullptr) return false;
    prc_disconnect(daemon);
    *why = "propregd serves this store (" + served_socket(dir) +
           "); stop it to use the store directly (systemctl stop propregd, or SIGTERM to its process)";
    return true;
}

}  // namespace

int StoreLock::acquire(const std::string &path, bool exclusive, std::string *why)
{
    if (fd_ < 0) {
        // Readers and writers both need the file; only its owner made it.
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // a reader without write access
        if (fd_ < 0) {
            const Cause c = file_cause(errno, path);
            *why = c.reason;
            return c.exit;
        }
    }
    const int mode = exclusive ? LOCK_EX : LOCK_SH;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    bool said = false;
    for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, std::chrono::milliseconds(50))) {
        if (::flock(fd_, mode | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            *why = "cannot lock " + path + ": " + std::strerror(errno);
            release();
            return kExitFailed;
        }
        if (served_by_daemon(path, why)) {
            release();
            return kExitLockTimeout;
        }
        const double waited = std::chrono::duration<double>(Clock::now() - start).count();
        if (wait_seconds_ >= 0 && waited >= wait_seconds_) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", wait_seconds_);
            *why = std::string("gave up waiting for the store's lock after ") + seconds + " s: held by " +
                   holder_of(fd_);
            release();
            return kExitLockTimeout;
        }
        if (!said && waited >= 1.0) {
            out_.note("waiting for the store's lock, held by " + holder_of(fd_));
            said = true;
        }
        std::this_thread::sleep_for(pause);
    }
}

void StoreLock::release()
{
    if (fd_ >= 0) ::close(fd_);  // closing drops the flock
    fd_ = -1;
}

}  // namespace propctl

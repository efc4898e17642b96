#include "log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace propregd {

namespace {

int g_fd = STDERR_FILENO;

}  // namespace

bool log_to(const std::string &path, std::string *why)
{
    if (path.empty()) return true;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    g_fd = fd;
    return true;
}

void log_line(const char *fmt, ...)
{
    char line[2048];
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    localtime_r(&tv.tv_sec, &t);
    size_t n = std::strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S", &t);
    n += static_cast<size_t>(std::snprintf(line + n, sizeof line - n, ".%03d propregd[%d]: ",
                                           static_cast<int>(tv.tv_usec / 1000), static_cast<int>(getpid())));
    va_list ap;
    va_start(ap, fmt);
    int m = std::vsnprintf(line + n, sizeof line - n, fmt, ap);
    va_end(ap);
    n = m < 0 ? n : std::min(sizeof line - 2, n + static_cast<size_t>(m));
    line[n++] = '\n';
    // One write per line: lines of several threads never interleave.
    ssize_t rc = ::write(g_fd, line, n);
    (void)rc;
}

}  // namespace propregd

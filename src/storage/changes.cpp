#include "storage/changes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "format/layout.h"

namespace {

constexpr size_t kBytes = PROP_PAGE_SIZE;
constexpr const char *kSuffix = ".changes";

// Whoever may write the location may write the count too.  Root writes
// anything, so a location root owns needs no owner bit on the count.
bool covers(const struct stat &loc, const struct stat &count)
{
    if ((loc.st_mode & S_IWUSR) != 0 && loc.st_uid != 0 &&
        (count.st_uid != loc.st_uid || (count.st_mode & S_IWUSR) == 0))
        return false;
    if ((loc.st_mode & S_IWGRP) != 0 && (count.st_gid != loc.st_gid || (count.st_mode & S_IWGRP) == 0))
        return false;
    return (loc.st_mode & S_IWOTH) == 0 || (count.st_mode & S_IWOTH) != 0;
}

// Makes the file for the location's owner, with the location's write bits.
int make(const char *name, const struct stat &loc)
{
    const uid_t me = ::geteuid();
    if (me != 0 && me != loc.st_uid) return -1;
    const mode_t mode = loc.st_mode & 0666;
    int fd = ::open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) return -1;
    bool ok = ::fchmod(fd, mode) == 0 && ::ftruncate(fd, kBytes) == 0;
    if (ok && me == 0) ok = ::fchown(fd, loc.st_uid, loc.st_gid) == 0;
    if (!ok) {
        ::close(fd);
        ::unlink(name);
        return -1;
    }
    return fd;
}

int open_count(const char *name, const struct stat &loc, bool *writable)
{
    *writable = true;
    int fd = ::open(name, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) return fd;
    if (errno == ENOENT) {
        fd = make(name, loc);
        // Another process may have made it first.
        if (fd >= 0 || errno != EEXIST) return fd;
        return ::open(name, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    }
    *writable = false;
    return ::open(name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
}

}  // namespace

void ut_changes_map(const char *path, ut_changes *c)
{
    *c = ut_changes{};
    struct stat loc {};
    char name[PROP_LOCNAME_SIZE + 16];
    if (::stat(path, &loc) != 0 || !S_ISREG(loc.st_mode) ||
        std::snprintf(name, sizeof name, "%s%s", path, kSuffix) >= static_cast<int>(sizeof name))
        return;
    bool writable = false;
    int fd = open_count(name, loc, &writable);
    if (fd < 0) return;
    struct stat st {};
    void *page = MAP_FAILED;
    // A shorter file would fault past its end.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= static_cast<off_t>(kBytes))
        page = ::mmap(nullptr, kBytes, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (page == MAP_FAILED) return;
    // Locked in memory: a load never waits for, or fails on, the device.
    if (::mlock(page, kBytes) != 0) {
        ::munmap(page, kBytes);
        return;
    }
    c->count = static_cast<u64 *>(page);
    c->trusted = covers(loc, st);
    c->writable = writable;
}

void ut_changes_unmap(ut_changes *c)
{
    if (c->count != nullptr) ::munmap(c->count, kBytes);
    *c = ut_changes{};
}

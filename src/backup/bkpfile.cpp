#include "backup/bkpfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/env.h"
#include "platform/sysinfo.h"

namespace propreg {

namespace {

constexpr size_t kPathMax = PROP_LOCNAME_SIZE - 1;

// The directory part of path ("." for a bare name).
void parent_of(const char *path, char (&out)[PROP_LOCNAME_SIZE])
{
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::snprintf(out, sizeof out, ".");
    } else if (slash == path) {
        std::snprintf(out, sizeof out, "/");
    } else {
        std::snprintf(out, sizeof out, "%.*s", static_cast<int>(slash - path), path);
    }
}

// The host part of a temporary's name.
void host_label(char (&out)[64])
{
    char name[256] = {};
    if (plat_hostname(name, sizeof name) != 0) name[0] = '\0';
    size_t n = 0;
    for (; name[n] != '\0' && name[n] != '.' && n + 1 < sizeof out; n++) {
        const char c = name[n];
        out[n] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ? c : '-';
    }
    if (n == 0) out[n++] = '-';
    out[n] = '\0';
}

}  // namespace

bool bkp_join(const char *dir, const char *name, char (&out)[PROP_LOCNAME_SIZE])
{
    const size_t dlen = std::strlen(dir);
    const bool slash = dlen > 0 && dir[dlen - 1] == '/';
    const int n = std::snprintf(out, sizeof out, "%s%s%s", dir, slash ? "" : "/", name);
    return n >= 0 && static_cast<size_t>(n) <= kPathMax;
}

BkpFile::~BkpFile()
{
    close();
}

int BkpFile::open_with(const char *path, int flags, bool direct)
{
    Env *env = env_current();
    close();
    int err = direct ? env->open(path, flags | O_DIRECT, BKP_FILE_MODE, &f_) : EINVAL;
    if (!direct || err == EINVAL) err = env->open(path, flags, BKP_FILE_MODE, &f_);
    if (err != 0) f_ = nullptr;
    return err;
}

int BkpFile::open_read(const char *path, bool direct, u64 *size)
{
    int err = open_with(path, O_RDONLY | O_CLOEXEC, direct);
    if (err != 0) return err;
    bool device = false;
    err = env_current()->size(f_, size, &device);
    if (err == 0 && device) err = EINVAL;  // a backup is a file, never a device
    if (err != 0) close();
    return err;
}

int BkpFile::create(const char *path, bool direct)
{
    return open_with(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, direct);
}

int BkpFile::read_at(void *buf, size_t len, u64 off)
{
    size_t done = 0;
    int err = env_current()->pread(f_, buf, len, off, &done);
    return err != 0 ? err : done == len ? 0 : EIO;
}

int BkpFile::write_at(const void *buf, size_t len, u64 off)
{
    size_t done = 0;
    int err = env_current()->pwrite(f_, buf, len, off, &done);
    return err != 0 ? err : done == len ? 0 : ENOSPC;
}

int BkpFile::sync()
{
    return env_current()->fsync(f_);
}

int BkpFile::close()
{
    if (f_ == nullptr) return 0;
    int err = env_current()->close(f_);
    f_ = nullptr;
    return err;
}

int Replacement::create(const char *target, bool direct)
{
    static std::atomic<u32> serial{0};
    char host[64];
    host_label(host);
    const int n = std::snprintf(temp_, sizeof temp_, "%s.tmp.%s.%ld.%u", target, host, static_cast<long>(::getpid()),
                                serial.fetch_add(1));
    if (n < 0 || static_cast<size_t>(n) > kPathMax) return ENAMETOOLONG;
    std::snprintf(target_, sizeof target_, "%s", target);
    int err = file_.create(temp_, direct);
    if (err != 0) temp_[0] = '\0';
    return err;
}

int Replacement::commit()
{
    int err = file_.sync();
    int cerr = file_.close();
    if (err == 0) err = cerr;
    if (err == 0) err = env_current()->rename(temp_, target_);
    if (err != 0) return err;
    temp_[0] = '\0';
    return bkp_sync_parent(target_);
}

void Replacement::discard()
{
    file_.close();
    if (temp_[0] != '\0') env_current()->unlink(temp_);
    temp_[0] = '\0';
}

int bkp_sync_parent(const char *path)
{
    char dir[PROP_LOCNAME_SIZE];
    parent_of(path, dir);
    Env *env = env_current();
    env_file *f = nullptr;
    int err = env->open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, &f);
    if (err != 0) return err;
    err = env->fsync(f);
    int cerr = env->close(f);
    return err != 0 ? err : cerr;
}

bool bkp_same_file(const char *a, const char *b)
{
    struct stat sa, sb;
    Env *env = env_current();
    return env->stat(a, &sa) == 0 && env->stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace propreg

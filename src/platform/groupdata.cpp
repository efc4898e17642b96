#include "platform/groupdata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/env.h"

namespace {

constexpr size_t kPathMax = 4096 + 512;
constexpr const char *kPublicSuffix = ".public";
// A published configuration is five names and their separators; anything
// much larger is not one.
constexpr u32 kPublicMax = 1u << 20;
constexpr const char *kDefaultRoot = "/etc/propreg/registry";

const char *registry_root()
{
    const char *root = std::getenv("ZKV_REGISTRY_ROOT");
    return root != nullptr && *root != '\0' ? root : kDefaultRoot;
}

// The group's file; a '/' in a group name cannot leave the directory.
int group_path(const char *group, char *path, size_t size, const char *suffix = "")
{
    if (group == nullptr || *group == '\0') return EINVAL;
    const int n = std::snprintf(path, size, "%s/groupdata/", registry_root());
    if (n < 0 || static_cast<size_t>(n) >= size) return ENAMETOOLONG;
    size_t at = static_cast<size_t>(n);
    for (const char *c = group; *c != '\0'; c++) {
        if (at + 1 >= size) return ENAMETOOLONG;
        path[at++] = *c == '/' ? '_' : *c;
    }
    path[at] = '\0';
    if (at + std::strlen(suffix) >= size) return ENAMETOOLONG;
    std::memcpy(path + at, suffix, std::strlen(suffix) + 1);
    return 0;
}

// Creates every missing directory above path's last component.
int make_parents(const char *path)
{
    char dir[kPathMax];
    std::snprintf(dir, sizeof dir, "%s", path);
    for (char *c = dir + 1; *c != '\0'; c++) {
        if (*c != '/') continue;
        *c = '\0';
        if (mkdir(dir, 0755) != 0 && errno != EEXIST) return errno;
        *c = '/';
    }
    return 0;
}

int write_all(Env *env, const char *path, const void *data, u32 size)
{
    env_file *f = nullptr;
    int rc = env->open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644, &f);
    if (rc != 0) return rc;
    size_t done = 0;
    rc = env->pwrite(f, data, size, 0, &done);
    if (rc == 0 && done != size) rc = EIO;
    if (rc == 0) rc = env->fsync(f);
    const int crc = env->close(f);
    return rc != 0 ? rc : crc;
}

}  // namespace

int grpdata_publish(const char *group, const void *record, u32 size)
{
    char path[kPathMax];
    int rc = group_path(group, path, sizeof path);
    if (rc != 0) return rc;
    rc = make_parents(path);
    if (rc != 0) return rc;
    char tmp[kPathMax + 64];
    // Unique per publisher, so concurrent publishers never share a temp file.
    static std::atomic<unsigned> seq{0};
    std::snprintf(tmp, sizeof tmp, "%s.%ld.%u.tmp", path, static_cast<long>(getpid()), seq++);
    Env *env = env_current();
    rc = write_all(env, tmp, record, size);
    if (rc == 0) rc = env->rename(tmp, path);
    if (rc != 0) env->unlink(tmp);
    return rc;
}

int grpdata_read(const char *group, void *record, u32 size)
{
    char path[kPathMax];
    int rc = group_path(group, path, sizeof path);
    if (rc != 0) return rc;
    Env *env = env_current();
    env_file *f = nullptr;
    rc = env->open(path, O_RDONLY, 0, &f);
    if (rc != 0) return rc;
    std::memset(record, 0, size);
    size_t done = 0;
    rc = env->pread(f, record, size, 0, &done);
    env->close(f);
    return rc;
}

int grpdata_read_public(const char *group, void *buf, u32 size, u32 *needed)
{
    if (needed == nullptr || (buf == nullptr && size != 0)) return EINVAL;
    *needed = 0;
    char path[kPathMax];
    int rc = group_path(group, path, sizeof path, kPublicSuffix);
    if (rc != 0) return rc;
    Env *env = env_current();
    env_file *f = nullptr;
    rc = env->open(path, O_RDONLY, 0, &f);
    if (rc != 0) return rc;
    u64 total = 0;
    u32 header[2] = {};
    size_t done = 0;
    rc = env->size(f, &total, nullptr);
    if (rc == 0 && total > 0) rc = env->pread(f, header, sizeof header, 0, &done);
    // An empty file is a group nothing was published for yet.
    if (rc == 0 && total == 0) rc = ENOENT;
    if (rc == 0 && (done != sizeof header || header[1] > kPublicMax || total != GRPDATA_PUBLIC_HEADER + u64{header[1]}))
        rc = EINVAL;
    if (rc == 0) {
        *needed = static_cast<u32>(total);
        if (size < total) rc = EOVERFLOW;
    }
    if (rc == 0) {
        rc = env->pread(f, buf, static_cast<size_t>(total), 0, &done);
        if (rc == 0 && done != total) rc = EIO;
    }
    env->close(f);
    return rc;
}

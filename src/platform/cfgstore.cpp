#include "platform/cfgstore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/env.h"

namespace {

constexpr const char *kDefaultRoot = "/etc/propreg/registry";
constexpr size_t kTypeLineMax = 64;
// The directory of a committed replacement, and the prefix of one being
// prepared.  Value names never begin with a dot.
constexpr const char *kReplaceDir = ".replace";
constexpr const char *kPreparePrefix = ".replace.";
// The type line of an entry of a replacement that deletes its value.
constexpr const char *kDeletedType = "PROP_DELETED";

const struct {
    const char *name;
    u32 type;
} kTypeNames[] = {
    {"REG_NONE", CFG_REG_NONE},   {"REG_SZ", CFG_REG_SZ},       {"REG_EXPAND_SZ", CFG_REG_EXPAND_SZ},
    {"REG_BINARY", CFG_REG_BINARY}, {"REG_DWORD", CFG_REG_DWORD}, {"REG_MULTI_SZ", CFG_REG_MULTI_SZ},
    {"REG_QWORD", CFG_REG_QWORD},
};

// An entry of a replacement that deletes its value.
constexpr u32 kTypeDeleted = 0xfffffffe;

u32 type_named(const char *name, size_t len)
{
    for (const auto &t : kTypeNames)
        if (std::strlen(t.name) == len && std::memcmp(t.name, name, len) == 0) return t.type;
    if (std::strlen(kDeletedType) == len && std::memcmp(kDeletedType, name, len) == 0) return kTypeDeleted;
    return CFG_REG_UNKNOWN;
}

cfg_result fail(cfg_result r, int err, int *oserr)
{
    if (oserr != nullptr) *oserr = err;
    return r;
}

const char *registry_root()
{
    const char *root = std::getenv("ZKV_REGISTRY_ROOT");
    return root != nullptr && *root != '\0' ? root : kDefaultRoot;
}

// root/key with backslashes turned into slashes; false when it does not fit.
bool key_dir(const char *key_path, char *out, size_t size)
{
    int n = std::snprintf(out, size, "%s/%s", registry_root(), key_path);
    if (n < 0 || static_cast<size_t>(n) >= size) return false;
    for (char *p = out; *p != '\0'; p++)
        if (*p == '\\') *p = '/';
    return true;
}

bool valid_value_name(const char *value)
{
    return value != nullptr && *value != '\0' && *value != '.' && std::strchr(value, '/') == nullptr;
}

bool join_path(const char *dir, const char *name, char *out, size_t size)
{
    int n = std::snprintf(out, size, "%s/%s", dir, name);
    return n >= 0 && static_cast<size_t>(n) < size;
}

bool value_path(const cfg_key *key, const char *value, char *out, size_t size)
{
    return valid_value_name(value) && join_path(key->dir, value, out, size);
}

// The key's lock: an flock on its directory, taken with the plain system
// calls (a lock moves no data, so the fault layer has nothing to do with
// it).  The kernel lets go of it when the process dies.
class KeyLock {
  public:
    KeyLock() = default;
    ~KeyLock() { release(); }
    KeyLock(const KeyLock &) = delete;
    KeyLock &operator=(const KeyLock &) = delete;

    int take(const char *dir, int how)
    {
        fd_ = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) return errno;
        while (::flock(fd_, how) != 0) {
            if (errno == EINTR) continue;
            int err = errno;
            release();
            return err;
        }
        return 0;
    }
    int release_fd() { return std::exchange(fd_, -1); }
    void release()
    {
        if (fd_ >= 0) ::close(fd_);  // closing the descriptor drops the lock
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

int fsync_dir(Env *env, const char *dir)
{
    env_file *d = nullptr;
    int err = env->open(dir, O_RDONLY | O_DIRECTORY, 0, &d);
    if (err != 0) return err;
    err = env->fsync(d);
    int cerr = env->close(d);
    return err != 0 ? err : cerr;
}

// The permission bits of the directory holding path.  What is written into
// a key is exactly as private as the key: a key of a store made readable
// to others keeps its values so when they are rewritten.
mode_t parent_mode(Env *env, const char *path)
{
    char dir[CFG_PATH_MAX];
    std::snprintf(dir, sizeof dir, "%s", path);
    char *slash = std::strrchr(dir, '/');
    if (slash == nullptr) return 0700;
    *slash = '\0';
    struct stat st;
    return env->stat(dir[0] != '\0' ? dir : "/", &st) == 0 ? (st.st_mode & 0777) : 0700;
}

// Writes a whole value file at path, synced.
int write_value_file(Env *env, const char *path, const char *type_name, const void *data, size_t length)
{
    env_file *f = nullptr;
    int err = env->open(path, O_WRONLY | O_CREAT | O_TRUNC, parent_mode(env, path) & 0666, &f);
    if (err != 0) return err;
    char head[kTypeLineMax + 2];
    int hlen = std::snprintf(head, sizeof head, "%s\n", type_name);
    size_t done = 0;
    err = env->pwrite(f, head, static_cast<size_t>(hlen), 0, &done);
    if (err == 0 && done != static_cast<size_t>(hlen)) err = EIO;
    if (err == 0 && length != 0) {
        err = env->pwrite(f, data, length, static_cast<u64>(hlen), &done);
        if (err == 0 && done != length) err = EIO;
    }
    if (err == 0) err = env->fsync(f);
    int cerr = env->close(f);
    return err != 0 ? err : cerr;
}

// Reads exactly len bytes at off; a short read is EIO.
int read_exact(Env *env, env_file *f, void *buf, size_t len, u64 off)
{
    size_t done = 0;
    int err = env->pread(f, buf, len, off, &done);
    if (err == 0 && done != len) err = EIO;
    return err;
}

struct ValueFile {
    u32 type = CFG_REG_UNKNOWN;
    u64 data_off = 0;
    u64 data_len = 0;  // without a trailing zero byte
};

// Reads the type line and locates the data of an open value file.
int parse_value_file(Env *env, env_file *f, ValueFile *vf)
{
    u64 total = 0;
    int err = env->size(f, &total, nullptr);
    if (err != 0) return err;
    char head[kTypeLineMax + 1];
    size_t want = total < kTypeLineMax + 1 ? static_cast<size_t>(total) : kTypeLineMax + 1;
    if ((err = read_exact(env, f, head, want, 0)) != 0) return err;
    const char *nl = static_cast<const char *>(std::memchr(head, '\n', want));
    if (nl == nullptr) {
        vf->type = type_named(head, want);  // a type line alone: no data
        vf->data_off = total;
        vf->data_len = 0;
        return 0;
    }
    size_t type_len = static_cast<size_t>(nl - head);
    vf->type = type_named(head, type_len);
    vf->data_off = type_len + 1;
    vf->data_len = total - vf->data_off;
    if (vf->data_len > 0) {
        char last = 0;
        if ((err = read_exact(env, f, &last, 1, total - 1)) != 0) return err;
        if (last == '\0') vf->data_len--;
    }
    return 0;
}

// The type of the value file at path; ENOENT when there is none.
int value_type_at(Env *env, const char *path, u32 *type)
{
    env_file *f = nullptr;
    int err = env->open(path, O_RDONLY, 0, &f);
    if (err != 0) return err;
    ValueFile vf;
    err = parse_value_file(env, f, &vf);
    env->close(f);
    *type = vf.type;
    return err;
}

// The first entry of a directory other than "." and ".." (whose name
// begins with prefix, when one is given); false when there is none.
bool first_entry(const char *dir, const char *prefix, char *name, size_t size)
{
    DIR *d = ::opendir(dir);
    if (d == nullptr) return false;
    bool found = false;
    for (dirent *e = ::readdir(d); e != nullptr && !found; e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        if (prefix != nullptr && std::strncmp(e->d_name, prefix, std::strlen(prefix)) != 0) continue;
        found = std::snprintf(name, size, "%s", e->d_name) < static_cast<int>(size);
    }
    ::closedir(d);
    return found;
}

// Removes a directory and the files in it.
int remove_dir(Env *env, const char *dir)
{
    char name[256], path[CFG_PATH_MAX];
    while (first_entry(dir, nullptr, name, sizeof name)) {
        if (!join_path(dir, name, path, sizeof path)) return ENAMETOOLONG;
        int err = env->unlink(path);
        if (err != 0 && err != ENOENT) return err;
    }
    return ::rmdir(dir) == 0 || errno == ENOENT ? 0 : errno;
}

// Moves one entry of a committed replacement into place.  Each step leaves
// what a reader sees unchanged: an entry still there wins over the file it
// replaces, and an entry is gone only once its value is in place.
int apply_entry(Env *env, const char *keydir, const char *rdir, const char *name)
{
    char entry[CFG_PATH_MAX], target[CFG_PATH_MAX];
    if (!join_path(rdir, name, entry, sizeof entry)) return ENAMETOOLONG;
    // Something that is no value (a stray temporary file) is dropped.
    if (!valid_value_name(name) || !join_path(keydir, name, target, sizeof target)) return env->unlink(entry);
    u32 type = CFG_REG_UNKNOWN;
    int err = value_type_at(env, entry, &type);
    if (err != 0) return err;
    if (type != kTypeDeleted) return env->rename(entry, target);
    err = env->unlink(target);
    if (err != 0 && err != ENOENT) return err;
    return env->unlink(entry);
}

// Finishes a replacement that was committed but not yet moved into place
// (a crash, or a failure while moving), and clears away preparations a
// crash cut short.  Runs under the key's exclusive lock.  0 or an errno
// value; on failure the committed values still read as the key's.
int finish_replacements(Env *env, const char *keydir)
{
    char rdir[CFG_PATH_MAX], name[256], path[CFG_PATH_MAX];
    if (!join_path(keydir, kReplaceDir, rdir, sizeof rdir)) return ENAMETOOLONG;
    struct stat st;
    if (env->stat(rdir, &st) == 0) {
        while (first_entry(rdir, nullptr, name, sizeof name))
            if (int err = apply_entry(env, keydir, rdir, name); err != 0) return err;
        if (int err = fsync_dir(env, keydir); err != 0) return err;
        if (::rmdir(rdir) != 0 && errno != ENOENT) return errno;
        if (int err = fsync_dir(env, keydir); err != 0) return err;
    }
    while (first_entry(keydir, kPreparePrefix, name, sizeof name)) {
        if (!join_path(keydir, name, path, sizeof path)) return ENAMETOOLONG;
        if (int err = remove_dir(env, path); err != 0) return err;
    }
    return 0;
}

// Takes the key's lock for a writer and finishes what an earlier writer
// left.  0 or an errno value (ENOENT: the key is gone).
int begin_write(Env *env, const cfg_key *key, KeyLock *lock)
{
    if (int err = lock->take(key->dir, LOCK_EX); err != 0) return err;
    return finish_replacements(env, key->dir);
}

bool valid_changes(const cfg_change *changes, size_t count)
{
    if (changes == nullptr || count == 0) return false;
    for (size_t i = 0; i < count; i++) {
        if (!valid_value_name(changes[i].value) || std::strlen(changes[i].value) > 255) return false;
        if (changes[i].data != nullptr && std::strlen(changes[i].data) > CFG_CHANGE_DATA_MAX) return false;
        for (size_t j = 0; j < i; j++)
            if (std::strcmp(changes[i].value, changes[j].value) == 0) return false;
    }
    return true;
}

// Writes the new values aside into dir, a fresh directory.
int prepare(Env *env, const char *dir, const cfg_change *changes, size_t count)
{
    if (::mkdir(dir, parent_mode(env, dir)) != 0) return errno;
    char path[CFG_PATH_MAX];
    for (size_t i = 0; i < count; i++) {
        if (!join_path(dir, changes[i].value, path, sizeof path)) return ENAMETOOLONG;
        const char *data = changes[i].data;
        int err = data != nullptr ? write_value_file(env, path, "REG_SZ", data, std::strlen(data))
                                  : write_value_file(env, path, kDeletedType, nullptr, 0);
        if (err != 0) return err;
    }
    return fsync_dir(env, dir);
}

}  // namespace

cfg_result cfg_open_key(const char *key_path, bool writable, cfg_key *key, int *oserr)
{
    if (oserr != nullptr) *oserr = 0;
    if (key_path == nullptr || key == nullptr) return fail(CFG_UNREADABLE, EINVAL, oserr);
    if (!key_dir(key_path, key->dir, sizeof key->dir)) return fail(CFG_UNREADABLE, ENAMETOOLONG, oserr);
    key->writable = writable;
    Env *env = env_current();
    struct stat st;
    int err = env->stat(key->dir, &st);
    if (err == ENOENT) return fail(CFG_NO_KEY, err, oserr);
    if (err == 0 && !S_ISDIR(st.st_mode)) err = ENOTDIR;
    env_file *dir = nullptr;
    if (err == 0) err = env->open(key->dir, O_RDONLY | O_DIRECTORY, 0, &dir);
    if (err != 0) return fail(CFG_UNREADABLE, err, oserr);
    env->close(dir);
    return CFG_OK;
}

cfg_result cfg_read_sz(const cfg_key *key, const char *value, char *buf, size_t size,
                       size_t *length, u32 *type, int *oserr)
{
    if (oserr != nullptr) *oserr = 0;
    if (length != nullptr) *length = 0;
    if (type != nullptr) *type = CFG_REG_UNKNOWN;
    if (key == nullptr || buf == nullptr || size == 0) return fail(CFG_UNREADABLE, EINVAL, oserr);
    buf[0] = '\0';
    char path[CFG_PATH_MAX];
    if (!value_path(key, value, path, sizeof path)) return fail(CFG_UNREADABLE, EINVAL, oserr);

    // A committed replacement's value wins over the key's own file.
    char pending[CFG_PATH_MAX];
    char rdir[CFG_PATH_MAX];
    if (!join_path(key->dir, kReplaceDir, rdir, sizeof rdir) || !join_path(rdir, value, pending, sizeof pending))
        return fail(CFG_UNREADABLE, ENAMETOOLONG, oserr);
    Env *env = env_current();
    env_file *f = nullptr;
    int err = env->open(pending, O_RDONLY, 0, &f);
    if (err == ENOENT) err = env->open(path, O_RDONLY, 0, &f);
    if (err == ENOENT) return fail(CFG_NO_VALUE, err, oserr);
    if (err != 0) return fail(CFG_UNREADABLE, err, oserr);

    ValueFile vf;
    cfg_result result = CFG_OK;
    err = parse_value_file(env, f, &vf);
    if (err != 0) {
        result = CFG_UNREADABLE;
    } else if (vf.type == kTypeDeleted) {
        result = CFG_NO_VALUE;
        err = ENOENT;
    } else {
        if (type != nullptr) *type = vf.type;
        if (vf.type != CFG_REG_SZ) {
            result = CFG_WRONG_TYPE;
        } else if (vf.data_len + 1 > size) {
            if (length != nullptr) *length = static_cast<size_t>(vf.data_len);
            result = CFG_TOO_LONG;
        } else if ((err = read_exact(env, f, buf, static_cast<size_t>(vf.data_len), vf.data_off)) != 0) {
            result = CFG_UNREADABLE;
        } else {
            buf[vf.data_len] = '\0';
            if (length != nullptr) *length = std::strlen(buf);
        }
    }
    if (result == CFG_UNREADABLE) buf[0] = '\0';
    env->close(f);
    return fail(result, err, oserr);
}

cfg_result cfg_set_raw(const cfg_key *key, const char *value, const char *type_name,
                       const void *data, size_t length, int *oserr)
{
    if (oserr != nullptr) *oserr = 0;
    if (key == nullptr || type_name == nullptr || std::strlen(type_name) > kTypeLineMax ||
        (data == nullptr && length != 0))
        return fail(CFG_UNREADABLE, EINVAL, oserr);
    if (!key->writable) return fail(CFG_UNREADABLE, EBADF, oserr);
    char path[CFG_PATH_MAX], tmp[CFG_PATH_MAX + 64];
    if (!value_path(key, value, path, sizeof path)) return fail(CFG_UNREADABLE, EINVAL, oserr);
    static std::atomic<u32> serial{0};
    std::snprintf(tmp, sizeof tmp, "%s/.%s.tmp.%d.%u", key->dir, value, static_cast<int>(getpid()),
                  serial.fetch_add(1));

    Env *env = env_current();
    KeyLock lock;
    int err = begin_write(env, key, &lock);
    if (err == ENOENT) return fail(CFG_NO_KEY, err, oserr);
    if (err == 0) err = write_value_file(env, tmp, type_name, data, length);
    if (err == ENOENT) return fail(CFG_NO_KEY, err, oserr);
    if (err == 0) err = env->rename(tmp, path);
    if (err != 0) {
        env->unlink(tmp);
        return fail(CFG_UNREADABLE, err, oserr);
    }
    return CFG_OK;
}

cfg_result cfg_set_sz(const cfg_key *key, const char *value, const char *data, int *oserr)
{
    if (data == nullptr) return fail(CFG_UNREADABLE, EINVAL, oserr);
    return cfg_set_raw(key, value, "REG_SZ", data, std::strlen(data), oserr);
}

cfg_result cfg_delete_value(const cfg_key *key, const char *value, int *oserr)
{
    if (oserr != nullptr) *oserr = 0;
    if (key == nullptr) return fail(CFG_UNREADABLE, EINVAL, oserr);
    if (!key->writable) return fail(CFG_UNREADABLE, EBADF, oserr);
    char path[CFG_PATH_MAX];
    if (!value_path(key, value, path, sizeof path)) return fail(CFG_UNREADABLE, EINVAL, oserr);
    Env *env = env_current();
    KeyLock lock;
    int err = begin_write(env, key, &lock);
    if (err == ENOENT) return fail(CFG_NO_KEY, err, oserr);
    if (err == 0) err = env->unlink(path);
    if (err == ENOENT) return fail(CFG_NO_VALUE, err, oserr);
    if (err != 0) return fail(CFG_UNREADABLE, err, oserr);
    return CFG_OK;
}

cfg_result cfg_replace_values(const cfg_key *key, const cfg_change *changes, size_t count, int *oserr)
{
    if (oserr != nullptr) *oserr = 0;
    if (key == nullptr || !valid_changes(changes, count)) return fail(CFG_UNREADABLE, EINVAL, oserr);
    if (!key->writable) return fail(CFG_UNREADABLE, EBADF, oserr);
    char committed[CFG_PATH_MAX], prepared[CFG_PATH_MAX];
    static std::atomic<u32> serial{0};
    int n = std::snprintf(prepared, sizeof prepared, "%s/%s%d.%u", key->dir, kPreparePrefix,
                          static_cast<int>(getpid()), serial.fetch_add(1));
    if (n < 0 || static_cast<size_t>(n) >= sizeof prepared || !join_path(key->dir, kReplaceDir, committed, sizeof committed))
        return fail(CFG_UNREADABLE, ENAMETOOLONG, oserr);

    Env *env = env_current();
    KeyLock lock;
    int err = begin_write(env, key, &lock);
    if (err == ENOENT) return fail(CFG_NO_KEY, err, oserr);
    if (err == 0) err = prepare(env, prepared, changes, count);
    // The commit point: from this rename on, the new values are the key's.
    if (err == 0) err = env->rename(prepared, committed);
    if (err != 0) {
        remove_dir(env, prepared);
        return fail(CFG_UNREADABLE, err, oserr);
    }
    // Past the commit a failure to sync or to move the values into place
    // changes nothing a reader sees; the next writer finishes the move.
    if (fsync_dir(env, key->dir) == 0) finish_replacements(env, key->dir);
    return CFG_OK;
}

cfg_result cfg_hold_key(const cfg_key *key, cfg_hold *hold, int *oserr)
{
    if (oserr != nullptr) *oserr = 0;
    if (key == nullptr || hold == nullptr) return fail(CFG_UNREADABLE, EINVAL, oserr);
    KeyLock lock;
    int err = lock.take(key->dir, LOCK_SH);
    if (err == ENOENT) return fail(CFG_NO_KEY, err, oserr);
    if (err != 0) return fail(CFG_UNREADABLE, err, oserr);
    hold->fd = lock.release_fd();
    return CFG_OK;
}

void cfg_release_key(cfg_hold *hold)
{
    if (hold == nullptr || hold->fd < 0) return;
    ::close(hold->fd);
    hold->fd = -1;
}

// Directories are made with the plain system call: the Env seam carries
// the file traffic of the store, not the making of trees.
cfg_result cfg_create_key(const char *key_path, int *oserr)
{
    if (oserr != nullptr) *oserr = 0;
    char dir[CFG_PATH_MAX];
    if (key_path == nullptr) return fail(CFG_UNREADABLE, EINVAL, oserr);
    if (!key_dir(key_path, dir, sizeof dir)) return fail(CFG_UNREADABLE, ENAMETOOLONG, oserr);
    for (char *p = dir + 1;; p++) {
        bool end = *p == '\0';
        if (*p == '/' || end) {
            *p = '\0';
            if (::mkdir(dir, 0700) != 0 && errno != EEXIST) return fail(CFG_UNREADABLE, errno, oserr);
            if (end) break;
            *p = '/';
        }
    }
    return CFG_OK;
}

int cfg_syserr(cfg_result result, int oserr)
{
    switch (result) {
    case CFG_OK:
        return 0;
    case CFG_NO_KEY:
    case CFG_NO_VALUE:
        return CFG_SYSERR_NOT_FOUND;
    case CFG_TOO_LONG:
        return CFG_SYSERR_MORE_DATA;
    default:
        return oserr != 0 ? oserr : EIO;
    }
}

void cfg_syserr_text(int syserr, char *buf, size_t size)
{
    if (buf == nullptr || size == 0) return;
    int err = syserr == CFG_SYSERR_MORE_DATA ? EOVERFLOW : syserr;
    const char *text = strerror_r(err, buf, size);
    if (text != buf) std::snprintf(buf, size, "%s", text);
}

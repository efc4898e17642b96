#include "platform/cfgstore.h"

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

constexpr const char *kDefaultRoot = "/etc/propreg/registry";
constexpr size_t kTypeLineMax = 64;

const struct {
    const char *name;
    u32 type;
} kTypeNames[] = {
    {"REG_NONE", CFG_REG_NONE},   {"REG_SZ", CFG_REG_SZ},       {"REG_EXPAND_SZ", CFG_REG_EXPAND_SZ},
    {"REG_BINARY", CFG_REG_BINARY}, {"REG_DWORD", CFG_REG_DWORD}, {"REG_MULTI_SZ", CFG_REG_MULTI_SZ},
    {"REG_QWORD", CFG_REG_QWORD},
};

u32 type_named(const char *name, size_t len)
{
    for (const auto &t : kTypeNames)
        if (std::strlen(t.name) == len && std::memcmp(t.name, name, len) == 0) return t.type;
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

bool value_path(const cfg_key *key, const char *value, char *out, size_t size)
{
    if (value == nullptr || *value == '\0' || std::strchr(value, '/') != nullptr) return false;
    int n = std::snprintf(out, size, "%s/%s", key->dir, value);
    return n >= 0 && static_cast<size_t>(n) < size;
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

    Env *env = env_current();
    env_file *f = nullptr;
    int err = env->open(path, O_RDONLY, 0, &f);
    if (err == ENOENT) return fail(CFG_NO_VALUE, err, oserr);
    if (err != 0) return fail(CFG_UNREADABLE, err, oserr);

    ValueFile vf;
    cfg_result result = CFG_OK;
    err = parse_value_file(env, f, &vf);
    if (err != 0) {
        result = CFG_UNREADABLE;
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
    if (key == nullptr || type_name == nullptr || (data == nullptr && length != 0))
        return fail(CFG_UNREADABLE, EINVAL, oserr);
    if (!key->writable) return fail(CFG_UNREADABLE, EBADF, oserr);
    char path[CFG_PATH_MAX], tmp[CFG_PATH_MAX + 64];
    if (!value_path(key, value, path, sizeof path)) return fail(CFG_UNREADABLE, EINVAL, oserr);
    static std::atomic<u32> serial{0};
    std::snprintf(tmp, sizeof tmp, "%s/.%s.tmp.%d.%u", key->dir, value, static_cast<int>(getpid()),
                  serial.fetch_add(1));

    Env *env = env_current();
    env_file *f = nullptr;
    int err = env->open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644, &f);
    if (err != 0) return fail(err == ENOENT ? CFG_NO_KEY : CFG_UNREADABLE, err, oserr);
    char head[kTypeLineMax + 2];
    int hlen = std::snprintf(head, sizeof head, "%s\n", type_name);
    size_t done = 0;
    err = env->pwrite(f, head, static_cast<size_t>(hlen), 0, &done);
    if (err == 0 && length != 0) err = env->pwrite(f, data, length, static_cast<u64>(hlen), &done);
    if (err == 0) err = env->fsync(f);
    int cerr = env->close(f);
    if (err == 0) err = cerr;
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
    int err = env_current()->unlink(path);
    if (err == ENOENT) return fail(CFG_NO_VALUE, err, oserr);
    if (err != 0) return fail(CFG_UNREADABLE, err, oserr);
    return CFG_OK;
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
            if (::mkdir(dir, 0755) != 0 && errno != EEXIST) return fail(CFG_UNREADABLE, errno, oserr);
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

#include "cause.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/vldsim/admin.h"
#include "root.h"

namespace propctl {

namespace {

// The catalogue number of a component error that carries a system error
// number as its argument.
constexpr uint32_t kSystemErrorMessage = 101;
constexpr size_t kPage = 4096;
constexpr uint64_t kBootBlock = 25;

prop_errelem *thread_element(przkv_ctx *zkv)
{
    if (zkv == nullptr || zkv->errtab.ops == nullptr || zkv->errtab.ops->find == nullptr) return nullptr;
    // The library keys each thread's element by the thread's id, and falls
    // back on the global one.
    const std::string id = std::to_string(::gettid());
    prop_errelem *e = zkv->errtab.ops->find(zkv->errtab.table, id.c_str());
    return e != nullptr ? e : zkv->errtab.global;
}

std::string join(const std::vector<std::string> &names)
{
    std::string out;
    for (const std::string &n : names) out += (out.empty() ? "" : ", ") + n;
    return out;
}

std::string parent_of(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    return slash == 0 ? "/" : slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string ownership(const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return "";
    struct passwd pw, *found = nullptr;
    char buf[1024];
    std::string owner = getpwuid_r(st.st_uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr
                            ? found->pw_name
                            : std::to_string(st.st_uid);
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return " (owner " + owner + ", mode " + mode + ")";
}

uint64_t limit_of(int resource)
{
    struct rlimit rl;
    return ::getrlimit(resource, &rl) == 0 ? static_cast<uint64_t>(rl.rlim_cur) : 0;
}

// The reason of err on files, for people.
Cause of_error(int err, const std::vector<std::string> &files)
{
    const std::string on = join(files);
    const std::string advice = errno_advice(err);
    switch (err) {
    case ENOENT: return {"no such file " + on, kExitNotFound};
    case EACCES:
    case EPERM: return {"permission denied on " + on + ownership(files[0]) + advice, kExitDenied};
    case ENOSPC: return {"no space left on the device of " + on, kExitFailed};
    case EDQUOT: return {"disk quota exceeded writing " + on, kExitFailed};
    case EFBIG:
        return {limit_of(RLIMIT_FSIZE) == RLIM_INFINITY ? on + ": " + std::strerror(err)
                                                        : on + " would grow past this process's file-size limit" + advice,
                kExitFailed};
    case EMFILE: return {"too many open files opening " + on + advice, kExitFailed};
    case ENFILE: return {"too many open files in the system opening " + on, kExitFailed};
    case EROFS: return {on + " is on a read-only file system", kExitUnavailable};
    default: return {on + ": " + std::strerror(err), exit_status_of_errno(err)};
    }
}

// Opens every file as the library does, all at once, so that a limit on
// open files shows as it did there; the first that fails, and why.
Cause probe(const std::vector<Involved> &files, bool writable)
{
    std::vector<std::unique_ptr<int, void (*)(int *)>> open;
    for (const Involved &f : files) {
        int fd = ::open(f.name.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
        if (fd >= 0) {
            open.emplace_back(new int(fd), [](int *p) {
                ::close(*p);
                delete p;
            });
            continue;
        }
        const int err = errno;
        if (err != ENOENT || !f.created) return of_error(err, {f.name});
        // A file the command makes: its directory is what must be there.
        const std::string dir = parent_of(f.name);
        if (::access(dir.c_str(), F_OK) != 0) return {"no such directory " + dir, kExitNotFound};
        if (::access(dir.c_str(), W_OK | X_OK) != 0) return of_error(errno, {dir});
    }
    return {};
}

// The files among names an error of this kind fits, or all of them.
std::vector<std::string> suspects(int err, const std::vector<std::string> &names)
{
    std::vector<std::string> fit;
    const uint64_t size_limit = limit_of(RLIMIT_FSIZE);
    for (const std::string &n : names) {
        struct statvfs vfs;
        struct stat st;
        if ((err == ENOSPC && ::statvfs(parent_of(n).c_str(), &vfs) == 0 && vfs.f_bavail == 0) ||
            (err == EFBIG && ::stat(n.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) >= size_limit) ||
            ((err == EACCES || err == EPERM) && ::access(n.c_str(), R_OK | W_OK) != 0))
            fit.push_back(n);
    }
    return fit.empty() ? names : fit;
}

Cause disk_group_cause(const std::string &name)
{
    if (!vld_admin_instance_up())
        return {"the volume manager's instance is down ('propctl vld up' starts it)", kExitUnavailable};
    const std::string dg = name.substr(0, name.find_first_of("/:"));
    std::vector<vld_admin_dg> groups;
    if (!vld_admin_list(&groups).empty()) return {};
    for (const vld_admin_dg &g : groups) {
        if (g.name != dg) continue;
        if (!g.mounted)
            return {"disk group " + dg + " is not mounted ('propctl vld mount " + dg + "')", kExitUnavailable};
        if (g.full) return {"disk group " + dg + " has no room left for its files to grow", kExitFailed};
        return {};
    }
    return {"no disk group " + dg, kExitNotFound};
}

// Whether a block holds a store block header; a damaged copy does not.
bool header_holds(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char block[kPage];
    const bool read = ::pread(fd, block, kPage, static_cast<off_t>(kBootBlock * kPage)) == kPage;
    ::close(fd);
    return read && block[1] == 0x82 && std::memcmp(block + 12, "ZKV", 3) == 0;
}

}  // namespace

Cause file_cause(int err, const std::string &file)
{
    // A file that is not there was refused by its directory.
    if ((err == EACCES || err == EPERM) && ::access(file.c_str(), F_OK) != 0 && errno == ENOENT)
        return of_error(err, {parent_of(file)});
    return of_error(err, {file});
}

int recorded_errno(przkv_ctx *zkv)
{
    const prop_errelem *e = thread_element(zkv);
    return e != nullptr && e->comp_msg == kSystemErrorMessage ? static_cast<int>(e->comp_arg) : 0;
}

void forget_recorded(przkv_ctx *zkv)
{
    if (prop_errelem *e = thread_element(zkv); e != nullptr) {
        e->comp_msg = 0;
        e->comp_arg = 0;
        e->comp_text[0] = '\0';
    }
}

std::string errno_advice(int err)
{
    switch (err) {
    case EMFILE:
        return " (this process may open " + std::to_string(limit_of(RLIMIT_NOFILE)) +
               " files: 'ulimit -n' raises the limit)";
    case EFBIG: return " of " + std::to_string(limit_of(RLIMIT_FSIZE)) + " bytes ('ulimit -f' raises it)";
    case EACCES:
    case EPERM: return ": run propctl as a user who may read and write it";
    default: return "";
    }
}

int errno_in_text(const std::string &text)
{
    for (int err : {EMFILE, ENFILE, EACCES, EPERM, ENOSPC, EIO, EROFS})
        if (text.find(std::strerror(err)) != std::string::npos) return err;
    return 0;
}

Cause storage_cause(int err, const std::vector<Involved> &names, bool writable)
{
    std::vector<Involved> files;
    std::vector<std::string> file_names, made;
    for (const Involved &n : names) {
        if (in_volume_manager(n.name)) {
            if (Cause c = disk_group_cause(n.name); !c.reason.empty()) return c;
            continue;
        }
        files.push_back(n);
        file_names.push_back(n.name);
        if (n.created) made.push_back(n.name);
    }
    if (files.empty()) return {};
    // A command that makes a file (a backup, an export) only reads the
    // store: a lack of room is the new file's.
    if ((err == ENOSPC || err == EDQUOT || err == EFBIG) && !made.empty()) return of_error(err, suspects(err, made));
    if (err != 0 && err != EACCES && err != EPERM && err != ENOENT) return of_error(err, suspects(err, file_names));
    if (Cause found = probe(files, writable); !found.reason.empty()) return found;
    return err != 0 ? of_error(err, suspects(err, file_names)) : Cause{};
}

std::string damaged_boot_block(const std::vector<std::string> &locations)
{
    std::vector<vld_admin_dg> groups;
    if (!vld_admin_list(&groups).empty()) return "";
    for (const std::string &loc : locations) {
        if (!in_volume_manager(loc)) continue;
        const size_t slash = loc.find('/');
        const std::string dg = loc.substr(0, slash);
        for (const vld_admin_dg &g : groups) {
            if (g.name != dg) continue;
            for (const vld_admin_file &f : g.files) {
                if (!(slash == std::string::npos ? f.registry : f.name == loc.substr(slash + 1))) continue;
                std::vector<uint32_t> bad;
                for (uint32_t m = 1; m <= f.mirrors; m++) {
                    std::string path;
                    if (vld_admin_copy_path(loc, m, &path).empty() && !header_holds(path)) bad.push_back(m);
                }
                if (!bad.empty() && bad.size() < f.mirrors)
                    return "mirror copy " + std::to_string(bad[0]) + " of the boot block of " + dg + "/" + f.name +
                           " is damaged";
            }
        }
    }
    return "";
}

}  // namespace propctl

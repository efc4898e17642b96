#include "root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/vldsim/admin.h"
#include "propreg/prop.h"

namespace propctl {

namespace {

constexpr const char *kLocalKey = "SOFTWARE/Korvex/nkv";
constexpr const char *kClusterKey = "SOFTWARE/Korvex/zkv";
constexpr const char *kClusterValues[PROP_MAX_LOCATIONS] = {"zkvconfig_loc", "zkvmirrorconfig_loc", "zkvconfig_loc3",
                                                            "zkvconfig_loc4", "zkvconfig_loc5"};
constexpr const char *kSettings = "propctl.conf";
// prop_get_conf: a disk group's location by its store file's complete name.
constexpr uint32_t kCompleteVldNames = 4;
constexpr const char *kDeveloperSetting = "developer=yes\n";

bool fsync_path(const std::string &path, int flags)
{
    int fd = ::open(path.c_str(), flags);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Writes a whole file atomically: a temporary file, synced, renamed over.
bool write_file(const std::string &dir, const std::string &name, const std::string &data, std::string *why)
{
    std::string path = dir + "/" + name;
    std::string tmp = dir + "/." + name + ".tmp." + std::to_string(getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    fsync_path(dir, O_RDONLY | O_DIRECTORY);
    return true;
}

// One configuration value: a file named after it whose first line is its
// type, followed by the data.
bool write_value(const std::string &key_dir, const char *name, const std::string &data, std::string *why)
{
    return write_file(key_dir, name, std::string("REG_SZ\n") + data, why);
}

std::string key_dir_of(const Root &root, Kind kind)
{
    return root.dir + "/" + (kind == Kind::local ? kLocalKey : kClusterKey);
}

// The key as the library reads it, and where it is put together first.
std::string staging_dir_of(const std::string &key_dir)
{
    const size_t slash = key_dir.find_last_of('/');
    return key_dir.substr(0, slash + 1) + "." + key_dir.substr(slash + 1) + ".new";
}

bool write_values(const std::string &dir, const StoreDesc &desc, const Root &root, std::string *why)
{
    if (desc.kind == Kind::local) {
        // The library wants the software's home directory beside the location.
        return write_value(dir, "nkvconfig_loc", desc.locations[0], why) &&
               write_value(dir, "hwk_home", root.dir, why);
    }
    for (size_t i = 0; i < desc.locations.size(); i++)
        if (!write_value(dir, kClusterValues[i], desc.locations[i], why)) return false;
    return true;
}

uint32_t read_locations(uint32_t kind_flag, uint32_t *configured, std::vector<std::string> *out, std::string *why)
{
    char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE] = {};
    char home[4096] = "";
    uint32_t local_only = 0;
    char errbuf[1024] = "";
    uint64_t errsz = sizeof errbuf;
    uint32_t rc = prop_get_conf(nullptr, nullptr, configured, names, &local_only, home, errbuf, &errsz,
                                kind_flag | kCompleteVldNames);
    if (rc != 0 && why != nullptr) *why = errbuf;
    if (rc != 0 || *configured == 0) return rc;
    for (const auto &name : names)
        if (name[0] != '\0') out->push_back(name);
    return 0;
}

}  // namespace

void use_root(const Root &root)
{
    setenv("ZKV_REGISTRY_ROOT", root.dir.c_str(), 1);
}

std::string absolute_path(const std::string &path)
{
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

std::string file_arg(const std::string &path)
{
    return in_volume_manager(path) ? path : absolute_path(path);
}

Root choose_root(const std::string &option)
{
    if (!option.empty()) return Root{absolute_path(option), false};
    const char *env = std::getenv("ZKV_REGISTRY_ROOT");
    if (env != nullptr && *env != '\0') return Root{absolute_path(env), false};
    const char *data = std::getenv("XDG_DATA_HOME");
    const char *home = std::getenv("HOME");
    std::string base;
    if (data != nullptr && *data == '/')
        base = data;
    else
        base = std::string(home != nullptr && *home != '\0' ? home : ".") + "/.local/share";
    return Root{absolute_path(base + "/propreg"), true};
}

const char *kind_name(Kind kind)
{
    switch (kind) {
    case Kind::local: return "local";
    case Kind::cluster: return "cluster";
    default: return "none";
    }
}

std::string root_file(const Root &root, const char *name)
{
    return root.dir + "/" + name;
}

void fsync_dir(const std::string &dir)
{
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::string default_location(const Root &root, Kind kind, unsigned slot)
{
    if (kind == Kind::local) return root.dir + "/data/local.store";
    return root.dir + "/data/copy" + std::to_string(slot + 1) + ".store";
}

bool directory_exists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool make_directories(const std::string &path, std::string *why, int *err)
{
    // Each directory made here is its owner's alone; those already there
    // keep their modes.
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string dir = path.substr(0, at);
        if (!dir.empty() && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            if (err != nullptr) *err = errno;
            *why = "cannot create " + dir + ": " + std::strerror(errno);
            return false;
        }
        if (at == std::string::npos) break;
    }
    if (!directory_exists(path)) {
        if (err != nullptr) *err = ENOTDIR;
        *why = "cannot create " + path + ": not a directory";
        return false;
    }
    return true;
}

uint32_t describe_store(const Root &root, StoreDesc *out, std::string *why)
{
    *out = StoreDesc{};
    if (!directory_exists(root.dir)) return 0;
    use_root(root);
    uint32_t configured = 0;
    uint32_t rc = read_locations(PROP_KIND_ZKV, &configured, &out->locations, why);
    if (rc == 0 && configured != 0) {
        out->kind = Kind::cluster;
    } else if (rc == 0) {
        rc = read_locations(PROP_KIND_NKV, &configured, &out->locations, why);
        if (rc == 0 && configured != 0) out->kind = Kind::local;
    }
    if (rc != 0) return rc;
    out->developer = ::access(root_file(root, kSettings).c_str(), F_OK) == 0;
    return 0;
}

void warn_readable(const Output &out, const std::vector<std::string> &locations)
{
    for (const std::string &loc : locations) {
        struct stat st;
        if (in_volume_manager(loc) || ::stat(loc.c_str(), &st) != 0 || (st.st_mode & S_IROTH) == 0) continue;
        out.note("warning: every user may read " + loc + " and every value in it ('chmod o-rw " + loc +
                 "' makes it private)");
    }
}

bool locations_durable(const StoreDesc &desc)
{
    if (desc.developer) return false;
    std::vector<vld_admin_dg> groups;
    vld_admin_list(&groups);
    for (const std::string &loc : desc.locations) {
        if (loc.empty() || loc[0] != '+') continue;
        const std::string dg = loc.substr(0, loc.find('/'));
        for (const vld_admin_dg &g : groups)
            if (g.name == dg && !g.attrs.sync) return false;
    }
    return true;
}

bool write_configuration(const Root &root, const StoreDesc &desc, std::string *why)
{
    const std::string key_dir = key_dir_of(root, desc.kind);
    const std::string staging = staging_dir_of(key_dir);
    const std::string parent = key_dir.substr(0, key_dir.find_last_of('/'));
    std::error_code ec;
    std::filesystem::remove_all(staging, ec);
    if (!make_directories(staging, why)) return false;
    // The setting goes before the key: a key never names locations whose
    // mode is not yet known.
    if (desc.developer) {
        if (!write_file(root.dir, kSettings, kDeveloperSetting, why)) return false;
    } else {
        std::filesystem::remove(root_file(root, kSettings), ec);
    }
    if (!write_values(staging, desc, root, why)) return false;
    // The key appears whole, with every location, or not at all.
    if (::rename(staging.c_str(), key_dir.c_str()) != 0) {
        *why = "cannot write " + key_dir + ": " + std::strerror(errno);
        return false;
    }
    fsync_path(parent, O_RDONLY | O_DIRECTORY);
    return true;
}

void remove_configuration(const Root &root, Kind kind)
{
    std::error_code ec;
    const std::string key_dir = key_dir_of(root, kind);
    std::filesystem::remove_all(key_dir, ec);
    std::filesystem::remove_all(staging_dir_of(key_dir), ec);
    std::filesystem::remove(root_file(root, kSettings), ec);
    // remove() leaves a directory that still holds something.
    for (const char *dir : {"SOFTWARE/Korvex", "SOFTWARE", "data"}) std::filesystem::remove(root.dir + "/" + dir, ec);
}

}  // namespace propctl

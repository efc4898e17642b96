#include "session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "propreg/frontend.h"

namespace propctl {

namespace {

constexpr const char *kLockFile = "propctl.lock";
constexpr const char *kDirtyFile = "propctl.dirty";

bool exists(const std::string &path)
{
    return ::access(path.c_str(), F_OK) == 0;
}

// Location files must exist before formatting; the library never creates
// them.  Only files made here are listed in made, for the undo.
bool create_locations(const StoreDesc &desc, std::vector<std::string> *made, std::string *why)
{
    for (const std::string &loc : desc.locations) {
        std::string dir = loc.substr(0, loc.find_last_of('/'));
        if (!dir.empty() && !make_directories(dir, why)) return false;
        int fd = ::open(loc.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            ::close(fd);
            made->push_back(loc);
            continue;
        }
        // An existing empty file may be used; anything else may hold data.
        struct stat st;
        if (errno != EEXIST || ::stat(loc.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0) {
            *why = "location " + loc + " already exists and is not an empty file";
            return false;
        }
    }
    return true;
}

}  // namespace

Session::~Session()
{
    terminate("", false);
    drop_front_end();
}

bool Session::make_front_end(const StoreDesc &desc, uint32_t level)
{
    fe_.meta = prop_fe_meta_create();
    fe_.cls = prop_fe_clsctx_create(nullptr);
    fe_.sec = prop_fe_secctx_create(nullptr, nullptr, fe_.cls);
    if (fe_.meta == nullptr || fe_.cls == nullptr || fe_.sec == nullptr) return false;
    prop_fe_zkv_opts opts{};
    opts.registry_kind = desc.kind == Kind::local ? PROP_KIND_NKV : PROP_KIND_ZKV;
    opts.developer_mode = desc.developer ? 1 : 0;
    opts.boot_level = level;
    fe_.zkv = prop_fe_zkvctx_create(fe_.meta, fe_.sec, &opts);
    return fe_.zkv != nullptr;
}

void Session::drop_front_end()
{
    prop_fe_zkvctx_destroy(fe_.zkv);
    prop_fe_secctx_destroy(fe_.sec);
    prop_fe_clsctx_destroy(fe_.cls);
    if (fe_.meta != nullptr) prop_fe_meta_destroy(fe_.meta);
    fe_ = FrontEnd{};
}

sec_attr Session::new_key_security() const
{
    sec_attr sec{};
    sec.userperm = PROP_PERM_ALL_ACCESS;
    sec.groupperm = PROP_PERM_READ;
    sec.otherperm = PROP_PERM_READ;
    if (fe_.sec != nullptr) {
        std::snprintf(sec.username, sizeof sec.username, "%s", fe_.sec->user);
        std::snprintf(sec.groupname, sizeof sec.groupname, "%s", fe_.sec->group);
    }
    return sec;
}

bool Session::mark_dirty(std::string *why)
{
    std::string path = root_file(root_, kDirtyFile);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || ::fsync(fd) != 0) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    // The marker must outlive a power cut as surely as the write it guards.
    int dir = ::open(root_.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

int Session::init_store(uint32_t level, const std::string &what)
{
    if (!make_front_end(desc_, level)) return out_.fail(what, PROP_E_NOMEM);
    uint32_t rc = prop_init(&ctx_, fe_.meta, fe_.sec, fe_.cls, level, fe_.zkv, nullptr);
    if (rc != 0) {
        ctx_ = nullptr;
        drop_front_end();
        return out_.fail(what + ": cannot open the store at " + root_.dir, rc);
    }
    if (level == PROP_LEVEL_RW && (rc = prop_recover(ctx_, 0)) != 0)
        return out_.fail(what + ": cannot roll back an unfinished write", rc);
    return 0;
}

int Session::terminate(const std::string &what, bool clean)
{
    if (ctx_ == nullptr) return 0;
    uint32_t rc = prop_terminate(ctx_, 0);
    ctx_ = nullptr;
    drop_front_end();
    if (rc != 0) return what.empty() ? 1 : out_.fail(what + ": cannot close the store", rc);
    if (dirty_ && clean) ::unlink(root_file(root_, kDirtyFile).c_str());
    dirty_ = false;
    return 0;
}

int Session::recover_for_reader(const std::string &what)
{
    std::string why;
    if (!lock_.acquire(root_file(root_, kLockFile), true, &why)) return out_.problem(what + ": " + why);
    if (exists(root_file(root_, kDirtyFile))) {
        dirty_ = true;
        if (int st = init_store(PROP_LEVEL_RW, what); st != 0) return st;
        if (int st = terminate(what, true); st != 0) return st;
    }
    if (!lock_.acquire(root_file(root_, kLockFile), false, &why)) return out_.problem(what + ": " + why);
    return 0;
}

int Session::create_default(const std::string &what)
{
    std::string why;
    if (!make_directories(root_.dir, &why)) return out_.problem(what + ": " + why);
    if (!lock_.acquire(root_file(root_, kLockFile), true, &why)) return out_.problem(what + ": " + why);
    StoreDesc found;
    // Another first command may have made it meanwhile.
    if (describe_store(root_, &found) == 0 && found.kind != Kind::none) return 0;
    StoreDesc desc;
    desc.kind = Kind::local;
    desc.locations.push_back(default_location(root_, Kind::local, 0));
    out_.note("no store yet: creating a local registry at " + root_.dir);
    return format_locked(desc, what);
}

int Session::open(Access access, const std::string &what)
{
    if (access == Access::none) return 0;
    if (root_.is_default) {
        StoreDesc found;
        if (describe_store(root_, &found) == 0 && found.kind == Kind::none)
            if (int st = create_default(what); st != 0) return st;
    }
    if (int st = lock_store(access == Access::write, what); st != 0) return st;
    std::string why;
    if (access == Access::read) {
        if (exists(root_file(root_, kDirtyFile)))
            if (int st = recover_for_reader(what); st != 0) return st;
        return init_store(PROP_LEVEL_READONLY, what);
    }
    if (!mark_dirty(&why)) return out_.problem(what + ": " + why);
    dirty_ = true;
    return init_store(PROP_LEVEL_RW, what);
}

int Session::open_backup(const std::string &file, const std::string &what)
{
    desc_ = StoreDesc{};
    desc_.kind = Kind::cluster;
    if (!make_front_end(desc_, PROP_LEVEL_BACKUP)) return out_.fail(what, PROP_E_NOMEM);
    std::string path = absolute_path(file);
    uint32_t rc = prop_init(&ctx_, fe_.meta, fe_.sec, fe_.cls, PROP_LEVEL_BACKUP, fe_.zkv, path.data());
    if (rc != 0) {
        ctx_ = nullptr;
        drop_front_end();
        return out_.fail(what + ": cannot open the backup " + file, rc);
    }
    return 0;
}

int Session::lock_store(bool exclusive, const std::string &what)
{
    const std::string none = what + ": no store at " + root_.dir + " (propctl init makes one)";
    if (!directory_exists(root_.dir)) return out_.fail(none, PROP_E_NOCONF);
    std::string why;
    if (!lock_.acquire(root_file(root_, kLockFile), exclusive, &why)) return out_.problem(what + ": " + why);
    if (uint32_t rc = describe_store(root_, &desc_); rc != 0)
        return out_.fail(what + ": cannot read the configuration under " + root_.dir, rc);
    if (desc_.kind == Kind::none) return out_.fail(none, PROP_E_NOCONF);
    return 0;
}

int Session::hold(const std::string &what)
{
    return lock_store(true, what);
}

int Session::format(const StoreDesc &desc, const std::string &what)
{
    std::string why;
    if (!make_directories(root_.dir, &why)) return out_.problem(what + ": " + why);
    if (!lock_.acquire(root_file(root_, kLockFile), true, &why)) return out_.problem(what + ": " + why);
    return format_locked(desc, what);
}

int Session::format_locked(const StoreDesc &desc, const std::string &what)
{
    std::string why;
    StoreDesc found;
    if (uint32_t rc = describe_store(root_, &found); rc != 0)
        return out_.fail(what + ": cannot read the configuration under " + root_.dir, rc);
    if (found.kind != Kind::none)
        return out_.problem(what + ": a " + kind_name(found.kind) + " registry already exists at " + root_.dir);

    std::vector<std::string> made;
    auto undo = [&] {
        for (const std::string &f : made) ::unlink(f.c_str());
        remove_configuration(root_, desc.kind);
    };
    if (!create_locations(desc, &made, &why) || !write_configuration(root_, desc, &why)) {
        undo();
        return out_.problem(what + ": " + why);
    }
    desc_ = desc;
    Progress progress("propctl init");
    progress.message("formatting " + std::to_string(desc.locations.size()) + " location(s)");
    if (!make_front_end(desc_, PROP_LEVEL_RW)) {
        undo();
        return out_.fail(what, PROP_E_NOMEM);
    }
    sec_attr top = new_key_security();
    uint32_t rc = prop_setup(&ctx_, fe_.sec, fe_.cls, &top, fe_.meta, fe_.zkv, PROP_LEVEL_RW, nullptr);
    if (rc != 0) {
        ctx_ = nullptr;
        drop_front_end();
        undo();
        return out_.fail(what + ": cannot format the store", rc);
    }
    int st = terminate(what, true);
    lock_.release();
    return st;
}

int Session::finish(const std::string &what, bool succeeded)
{
    int st = terminate(what, succeeded);
    lock_.release();
    return st;
}

}  // namespace propctl

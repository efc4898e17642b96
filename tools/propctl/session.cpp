#include "session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cause.h"
#include "platform/vldsim/admin.h"
#include "storesize.h"
#include "propreg/frontend.h"

namespace propctl {

namespace {

bool exists(const std::string &path)
{
    return ::access(path.c_str(), F_OK) == 0;
}

// A marker must outlive a power cut as surely as the writes it guards.
// false with the reason and the exit status it calls for.
bool put_marker(const Root &root, const char *name, std::string *why, int *exit)
{
    std::string path = root_file(root, name);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ::fsync(fd) != 0) {
        const Cause c = file_cause(errno, path);
        *why = c.reason;
        *exit = c.exit;
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    fsync_dir(root.dir);
    return true;
}

void drop_marker(const Root &root, const char *name)
{
    ::unlink(root_file(root, name).c_str());
    fsync_dir(root.dir);
}

bool init_unfinished(const Root &root)
{
    return exists(root_file(root, kInitFile));
}

// What an init that was cut short left: its configuration, and whatever
// it began to write on its locations (they held nothing before it, or
// it would have refused them).
void discard_unfinished(const Root &root, const StoreDesc &found)
{
    for (const std::string &loc : found.locations) {
        struct stat st;
        if (::stat(loc.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::truncate(loc.c_str(), 0);
    }
    remove_configuration(root, Kind::local);
    remove_configuration(root, Kind::cluster);
}

// A disk group for a location: made (durable) when it is not there yet,
// and it must be mounted.  Only groups made here are listed in made.
bool prepare_disk_group(const std::string &dg, std::vector<std::string> *made, std::string *why)
{
    std::vector<vld_admin_dg> groups;
    if (std::string w = vld_admin_list(&groups); !w.empty()) {
        *why = w;
        return false;
    }
    bool exists = false;
    for (const vld_admin_dg &g : groups) exists = exists || g.name == dg;
    if (!exists) {
        if (std::string w = vld_admin_create_dg(dg, 2, true); !w.empty()) {
            *why = w;
            return false;
        }
        made->push_back(dg);
    }
    char errbuf[512] = "";
    uint32_t errsz = sizeof errbuf;
    if (uint32_t rc = prop_check_storage(nullptr, dg.c_str(), errbuf, &errsz, PROP_KIND_ZKV); rc != 0) {
        *why = "disk group " + dg + " cannot hold the store (error " + std::to_string(rc) + "): " + errbuf;
        return false;
    }
    return true;
}

// Location files must exist before formatting; the library never creates
// them (it does make a store's file inside a disk group).  Only files and
// disk groups made here are listed in made, for the undo.
bool create_locations(const StoreDesc &desc, std::vector<std::string> *made, std::string *why)
{
    for (const std::string &loc : desc.locations) {
        if (loc[0] == '+') {
            if (!prepare_disk_group(loc, made, why)) return false;
            continue;
        }
        std::string dir = loc.substr(0, loc.find_last_of('/'));
        if (!dir.empty() && !make_directories(dir, why)) return false;
        // Every value is in it: as private as the keys' permissions can ask.
        int fd = ::open(loc.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            ::close(fd);
            made->push_back(loc);
        } else {
            // An existing empty file may be used; anything else may hold data.
            struct stat st;
            if (errno != EEXIST || ::stat(loc.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0) {
                *why = "location " + loc + " already exists and is not an empty file";
                return false;
            }
        }
        // The library sizes the store by its locations; the file stays
        // sparse until pages are written.
        if (desc.size != 0 && ::truncate(loc.c_str(), static_cast<off_t>(desc.size)) != 0) {
            *why = "cannot make " + loc + " " + std::to_string(desc.size) + " bytes: " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

void remove_made(const std::vector<std::string> &made)
{
    for (const std::string &m : made) {
        if (m[0] == '+') {
            vld_admin_remove_dg(m);
        } else {
            ::unlink(m.c_str());
            ::unlink((m + ".changes").c_str());  // the change count the format made beside it
        }
    }
}

}  // namespace

Session::Session(Root root, const Output &out) : root_(std::move(root)), out_(out), lock_(out)
{
    out_.explain_with([this](uint32_t code) { return explain(code); });
}

Session::~Session()
{
    out_.explain_with(nullptr);
    keys_.reset();
    store_.reset();
    prc_disconnect(daemon_);
    terminate("", false);
    drop_front_end();
}

bool Session::use_daemon()
{
    daemon_ = connect_served(root_.dir);
    // What the configuration says, as a command on the store sees it.
    if (daemon_ != nullptr) describe_store(root_, &desc_);
    return daemon_ != nullptr;
}

KeyStore &Session::store()
{
    if (!store_) {
        if (daemon_ != nullptr)
            store_ = std::make_unique<DaemonStore>(daemon_);
        else
            store_ = std::make_unique<LibraryStore>(ctx_, fe_.meta, fe_.zkv);
    }
    return *store_;
}

void Session::involve(const std::string &name, bool created)
{
    involved_.push_back(Involved{name, created});
}

Cause Session::explain(uint32_t code) const
{
    // Only these say that a file or disk group failed under the library.
    static constexpr uint32_t kStorageCodes[] = {PROP_E_STORAGE,  PROP_E_DEVSPACE, PROP_E_NOSPACE,
                                                 PROP_E_VLDCREATE, PROP_E_BKPFILE, PROP_E_EXPORTFILE};
    bool storage = false;
    for (uint32_t c : kStorageCodes) storage = storage || c == code;
    if (!storage) return {};
    std::vector<Involved> names = involved_;
    for (const std::string &loc : desc_.locations) names.push_back(Involved{loc, false});
    Cause cause = storage_cause(recorded_errno(fe_.zkv), names, writable_);
    if (cause.reason.empty() && code == PROP_E_STORAGE) {
        if (std::string damage = damaged_boot_block(desc_.locations); !damage.empty())
            cause = {damage + ": 'propctl info', or any command that writes, takes a good copy", kExitUnavailable};
    }
    return cause;
}

bool Session::make_front_end(const StoreDesc &desc, uint32_t level)
{
    fe_.meta = prop_fe_meta_create();
    fe_.cls = prop_fe_clsctx_create(nullptr);
    fe_.sec = prop_fe_secctx_create(nullptr, nullptr, fe_.cls);
    if (fe_.meta == nullptr || fe_.cls == nullptr || fe_.sec == nullptr) return false;
    // Root administers the registry: block access shows it what no key's
    // security can grant, free blocks and blocks whose header is damaged.
    fe_.sec->privileged = ::geteuid() == 0 ? 1 : 0;
    prop_fe_zkv_opts opts{};
    opts.registry_kind = desc.kind == Kind::local ? PROP_KIND_NKV : PROP_KIND_ZKV;
    opts.developer_mode = desc.developer ? 1 : 0;
    opts.boot_level = level;
    opts.group_name = kGroup;
    fe_.zkv = prop_fe_zkvctx_create(fe_.meta, fe_.sec, &opts);
    if (level == PROP_LEVEL_CACHING) fe_.grp = prop_fe_grpctx_create(kGroup);
    return fe_.zkv != nullptr && (level != PROP_LEVEL_CACHING || fe_.grp != nullptr);
}

void Session::drop_front_end()
{
    prop_fe_grpctx_destroy(fe_.grp);
    prop_fe_zkvctx_destroy(fe_.zkv);
    prop_fe_secctx_destroy(fe_.sec);
    prop_fe_clsctx_destroy(fe_.cls);
    if (fe_.meta != nullptr) prop_fe_meta_destroy(fe_.meta);
    fe_ = FrontEnd{};
}

sec_attr Session::new_key_security() const
{
    sec_attr sec{};
    if (daemon_ != nullptr) return sec;
    sec.userperm = PROP_PERM_ALL_ACCESS;
    sec.groupperm = PROP_PERM_READ;
    sec.otherperm = PROP_PERM_READ;
    if (fe_.sec != nullptr) {
        std::snprintf(sec.username, sizeof sec.username, "%s", fe_.sec->user);
        std::snprintf(sec.groupname, sizeof sec.groupname, "%s", fe_.sec->group);
    }
    return sec;
}

bool Session::mark_dirty(std::string *why, int *exit)
{
    return put_marker(root_, kDirtyFile, why, exit);
}

int Session::init_store(uint32_t level, const std::string &what)
{
    level_ = level;
    if (!make_front_end(desc_, level)) return out_.fail(what, PROP_E_NOMEM);
    writable_ = level != PROP_LEVEL_BACKUP;  // the library opens locations to write at every level
    uint32_t rc = prop_init(&ctx_, fe_.meta, fe_.sec, fe_.cls, level, fe_.zkv, fe_.grp);
    // A store on one location whose boot block cannot be read there has no
    // valid format at all (22); on more than one it has a location that fails (26).
    const bool unreadable = rc == PROP_E_STORAGE || rc == PROP_E_FORMAT;
    if (unreadable && (level == PROP_LEVEL_RW || level == PROP_LEVEL_UPGRADE) && heal_boot_block(what)) {
        ctx_ = nullptr;
        drop_front_end();
        if (!make_front_end(desc_, level)) return out_.fail(what, PROP_E_NOMEM);
        rc = prop_init(&ctx_, fe_.meta, fe_.sec, fe_.cls, level, fe_.zkv, fe_.grp);
    }
    if (rc != 0) {
        ctx_ = nullptr;
        if (rc == PROP_E_DEVDIFF)
            out_.note("the newest copy of the store names other locations than this configuration: "
                      "'propctl repair --from-cluster' takes the published list, 'propctl overwrite-config' "
                      "makes this list the store's own");
        // Explained while the front end still holds what the library recorded.
        int st = out_.fail(what + ": cannot open the store at " + root_.dir, rc);
        drop_front_end();
        return st;
    }
    if (level != PROP_LEVEL_READONLY && (rc = prop_recover(ctx_, 0)) != 0)
        return out_.fail(what + ": cannot roll back an unfinished write", rc);
    // What the open recorded on the way (a location that is down) is not
    // the cause of anything that fails later.
    forget_recorded(fe_.zkv);
    return 0;
}

KeyBook &Session::keys()
{
    if (!keys_) keys_ = std::make_unique<KeyBook>(store());
    return *keys_;
}

int Session::reopen(const std::string &what)
{
    keys_.reset();
    store_.reset();
    if (ctx_ != nullptr) {
        const uint32_t rc = prop_terminate(ctx_, 0);
        ctx_ = nullptr;
        drop_front_end();
        if (rc != 0) return out_.fail(what + ": cannot close the store", rc);
    }
    return init_store(level_, what);
}

// At the caching level the store takes a block whose copy in a disk group
// is damaged from another mirror copy, and the recovery of the open writes
// the boot block back on every copy; a writer may do that before it opens
// at its own level.
bool Session::heal_boot_block(const std::string &what)
{
    const std::string damage = damaged_boot_block(desc_.locations);
    if (damage.empty()) return false;
    out_.note(what + ": " + damage + ": taking a good copy");
    drop_front_end();
    backend_ctx *ctx = nullptr;
    bool healed = make_front_end(desc_, PROP_LEVEL_CACHING) &&
                  prop_init(&ctx, fe_.meta, fe_.sec, fe_.cls, PROP_LEVEL_CACHING, fe_.zkv, fe_.grp) == 0;
    if (healed) healed = prop_recover(ctx, 0) == 0;
    if (ctx != nullptr) healed = prop_terminate(ctx, 0) == 0 && healed;
    return healed;
}

int Session::terminate(const std::string &what, bool clean)
{
    keys_.reset();
    if (daemon_ == nullptr) store_.reset();
    if (ctx_ == nullptr) return 0;
    uint32_t rc = prop_terminate(ctx_, 0);
    ctx_ = nullptr;
    drop_front_end();
    if (rc != 0) return what.empty() ? 1 : out_.fail(what + ": cannot close the store", rc);
    if (dirty_ && clean) ::unlink(root_file(root_, kDirtyFile).c_str());
    dirty_ = false;
    return 0;
}

int Session::take_lock(bool exclusive, const std::string &what)
{
    std::string why;
    if (int st = lock_.acquire(root_file(root_, kLockFile), exclusive, &why); st != 0)
        return out_.problem(what + ": " + why, st);
    return 0;
}

int Session::recover_for_reader(const std::string &what)
{
    if (int st = take_lock(true, what); st != 0) return st;
    if (exists(root_file(root_, kDirtyFile))) {
        dirty_ = true;
        if (int st = init_store(PROP_LEVEL_RW, what); st != 0) return st;
        if (int st = terminate(what, true); st != 0) return st;
    }
    return take_lock(false, what);
}

int Session::make_root(const std::string &what)
{
    std::string why;
    int err = 0;
    if (!make_directories(root_.dir, &why, &err)) return out_.problem(what + ": " + why, exit_status_of_errno(err));
    return 0;
}

int Session::create_default(const std::string &what)
{
    if (int st = make_root(what); st != 0) return st;
    if (int st = take_lock(true, what); st != 0) return st;
    StoreDesc found;
    // Another first command may have made it meanwhile.
    if (!init_unfinished(root_) && describe_store(root_, &found) == 0 && found.kind != Kind::none) return 0;
    StoreDesc desc;
    desc.kind = Kind::local;
    desc.locations.push_back(default_location(root_, Kind::local, 0));
    out_.note("no store yet: creating a local registry at " + root_.dir);
    return format_locked(desc, what);
}

int Session::open(Access access, const std::string &what)
{
    if (access == Access::none) return 0;
    // Another writer (propctl, or the daemon that holds the lock while it
    // runs) must not have the configuration change under it.
    if (access == Access::config) return directory_exists(root_.dir) ? take_lock(true, what) : 0;
    if (root_.is_default) {
        StoreDesc found;
        if (init_unfinished(root_) || (describe_store(root_, &found) == 0 && found.kind == Kind::none))
            if (int st = create_default(what); st != 0) return st;
    }
    if (int st = lock_store(access != Access::read, what); st != 0) return st;
    std::string why;
    if (access == Access::read) {
        if (exists(root_file(root_, kDirtyFile)))
            if (int st = recover_for_reader(what); st != 0) return st;
        return init_store(PROP_LEVEL_READONLY, what);
    }
    if (int exit = 0; !mark_dirty(&why, &exit)) return out_.problem(what + ": " + why, exit);
    dirty_ = true;
    switch (access) {
    case Access::upgrade:
        return init_store(PROP_LEVEL_UPGRADE, what);
    case Access::caching:
        return init_store(PROP_LEVEL_CACHING, what);
    default:
        return init_store(PROP_LEVEL_RW, what);
    }
}

int Session::open_backup(const std::string &file, const std::string &what)
{
    desc_ = StoreDesc{};
    desc_.kind = Kind::cluster;
    if (!make_front_end(desc_, PROP_LEVEL_BACKUP)) return out_.fail(what, PROP_E_NOMEM);
    std::string path = file_arg(file);
    use_root(root_);  // a backup in a disk group is found beside the root
    involve(path);
    writable_ = false;
    uint32_t rc = prop_init(&ctx_, fe_.meta, fe_.sec, fe_.cls, PROP_LEVEL_BACKUP, fe_.zkv, path.data());
    if (rc != 0) {
        ctx_ = nullptr;
        int st = out_.fail(what + ": cannot open the backup " + file, rc);
        drop_front_end();
        return st;
    }
    return 0;
}

int Session::lock_store(bool exclusive, const std::string &what)
{
    const std::string none = what + ": no store at " + root_.dir + " (propctl init makes one)";
    if (struct stat st; ::stat(root_.dir.c_str(), &st) != 0 && errno != ENOENT) {
        const Cause c = file_cause(errno, root_.dir);
        return out_.problem(what + ": " + c.reason, c.exit);
    }
    if (!directory_exists(root_.dir)) return out_.fail(none, PROP_E_NOCONF);
    if (int st = take_lock(exclusive, what); st != 0) return st;
    // Under the lock: an init still running holds it until it is done.
    if (init_unfinished(root_))
        return out_.fail(what + ": no store at " + root_.dir + " (an init did not finish; propctl init makes one)",
                         PROP_E_NOCONF);
    if (std::string why; uint32_t rc = describe_store(root_, &desc_, &why))
        return configuration_failure(what, rc, why);
    if (desc_.kind == Kind::none) return out_.fail(none, PROP_E_NOCONF);
    return 0;
}

int Session::hold(const std::string &what)
{
    return lock_store(true, what);
}

// The configuration reader's own words say what went wrong with which
// value; the system error in them says what to do about it.
int Session::configuration_failure(const std::string &what, uint32_t rc, const std::string &why)
{
    const int err = errno_in_text(why);
    Cause cause{why.empty() ? "" : why + errno_advice(err), err != 0 ? exit_status_of_errno(err) : -1};
    return out_.fail(what + ": cannot read the configuration under " + root_.dir, rc, cause);
}

int Session::format(const StoreDesc &desc, const std::string &what)
{
    if (int st = make_root(what); st != 0) return st;
    if (int st = take_lock(true, what); st != 0) return st;
    return format_locked(desc, what);
}

int Session::format_locked(const StoreDesc &desc, const std::string &what)
{
    std::string why;
    StoreDesc found;
    // A store is finished once its init took the marker away; one that
    // was cut short is no store, and is made again from the start.
    const bool unfinished = init_unfinished(root_);
    if (uint32_t rc = describe_store(root_, &found, &why); rc != 0 && !unfinished)
        return configuration_failure(what, rc, why);
    if (found.kind != Kind::none && !unfinished)
        return out_.problem(what + ": a " + kind_name(found.kind) + " registry already exists at " + root_.dir);
    if (int exit = 0; !put_marker(root_, kInitFile, &why, &exit)) return out_.problem(what + ": " + why, exit);
    if (unfinished) {
        out_.note("an earlier init did not finish: making the store again");
        discard_unfinished(root_, found);
    }

    std::vector<std::string> made;
    auto undo = [&] {
        remove_made(made);
        remove_configuration(root_, desc.kind);
        drop_marker(root_, kInitFile);
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
    // A store of a chosen size gets bitmap pages to grow into.
    uint32_t grow[2] = {PROP_SETUP_GROW_TO, 0};
    if (desc.size != 0) {
        const uint64_t room = uint64_t{location_pages(desc.size)} * kGrowthRoom;
        grow[1] = static_cast<uint32_t>(std::min<uint64_t>(room, location_pages(largest_location_bytes())));
    }
    uint32_t rc = prop_setup(&ctx_, fe_.sec, fe_.cls, &top, fe_.meta, fe_.zkv, PROP_LEVEL_RW,
                             desc.size != 0 ? grow : nullptr);
    if (rc != 0) {
        ctx_ = nullptr;
        drop_front_end();
        undo();
        return out_.fail(what + ": cannot format the store", rc);
    }
    int st = terminate(what, true);
    if (st == 0) {
        drop_marker(root_, kInitFile);
        // Formatting names a disk group's location by its store file.
        describe_store(root_, &desc_);
    }
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

#include "store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

#include "../propctl/cause.h"
#include "../propctl/oplog.h"
#include "log.h"
#include "propreg/frontend.h"

namespace propregd {

// The daemon takes the lock, the dirty marker and the init check as
// propctl does (root.h), so that the two never write at once and a reader
// after a killed daemon rolls back first.
using propctl::kDirtyFile;
using propctl::kInitFile;
using propctl::kLockFile;

Store::~Store()
{
    close();
}

bool Store::lock(int wait_s)
{
    const std::string path = propctl::root_file(root_, kLockFile);
    lock_fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd_ < 0) {
        log_line("cannot open %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    for (int waited_ms = 0;; waited_ms += 50) {
        if (::flock(lock_fd_, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        if (waited_ms == 0) log_line("waiting for the propctl command that holds %s", path.c_str());
        if (waited_ms >= wait_s * 1000) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    log_line("the store at %s is in use by another process (a propctl command, or another propregd)",
             root_.dir.c_str());
    ::close(lock_fd_);
    lock_fd_ = -1;
    return false;
}

// Only the daemon's user opens the store; every other user goes through
// the daemon, which checks each request.
void Store::restrict_locations()
{
    for (const std::string &loc : desc_.locations) {
        if (propctl::in_volume_manager(loc)) continue;
        if (::chmod(loc.c_str(), 0600) != 0)
            log_line("cannot make %s private to this user: %s", loc.c_str(), std::strerror(errno));
    }
}

bool Store::make_contexts()
{
    meta_ = prop_fe_meta_create();
    cls_ = prop_fe_clsctx_create(nullptr);
    sec_ = prop_fe_secctx_create(nullptr, nullptr, cls_);
    if (meta_ == nullptr || cls_ == nullptr || sec_ == nullptr) return false;
    sec_->privileged = 1;
    prop_fe_zkv_opts opts{};
    opts.registry_kind = desc_.kind == propctl::Kind::local ? PROP_KIND_NKV : PROP_KIND_ZKV;
    opts.developer_mode = desc_.developer ? 1 : 0;
    opts.boot_level = PROP_LEVEL_CACHING;
    opts.group_name = kGroup;
    zkv_ = prop_fe_zkvctx_create(meta_, sec_, &opts);
    grp_ = prop_fe_grpctx_create(kGroup);
    return zkv_ != nullptr && grp_ != nullptr;
}

void Store::drop_contexts()
{
    prop_fe_grpctx_destroy(grp_);
    prop_fe_zkvctx_destroy(zkv_);
    prop_fe_secctx_destroy(sec_);
    prop_fe_clsctx_destroy(cls_);
    if (meta_ != nullptr) prop_fe_meta_destroy(meta_);
    meta_ = nullptr;
    cls_ = nullptr;
    sec_ = nullptr;
    zkv_ = nullptr;
    grp_ = nullptr;
}

// As the Cache Writer: the votes this node read from its locations (the
// re-initialisation publishes them where they differ from the record), and
// the list of locations other nodes repair their configuration from.
void Store::publish()
{
    if (desc_.kind != propctl::Kind::cluster) return;
    if (uint32_t rc = prop_reinit(ctx_, grp_); rc != 0) log_line("the vote record was not published (%u)", rc);
    char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE] = {};
    uint32_t rc = prop_get_conf_handle(ctx_, names);
    int err = rc == 0 ? prop_fe_publish_locations(kGroup, names) : 0;
    if (rc != 0 || err != 0)
        log_line("the configuration could not be published to the other nodes (%u, %s)", rc, std::strerror(err));
}

bool Store::open(const propctl::Root &root, int lock_wait_s)
{
    root_ = root;
    const std::string none = "no store at " + root_.dir + " (propctl init makes one)";
    if (!propctl::directory_exists(root_.dir)) {
        log_line("%s", none.c_str());
        return false;
    }
    if (!lock(lock_wait_s)) return false;
    if (::access(propctl::root_file(root_, kInitFile).c_str(), F_OK) == 0) {
        log_line("%s: an init did not finish", none.c_str());
        return false;
    }
    if (uint32_t rc = propctl::describe_store(root_, &desc_); rc != 0 || desc_.kind == propctl::Kind::none) {
        log_line("%s (reading the configuration: %u)", none.c_str(), rc);
        return false;
    }
    const std::string dirty = propctl::root_file(root_, kDirtyFile);
    int fd = ::open(dirty.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ::fsync(fd) != 0) {
        log_line("cannot write %s: %s", dirty.c_str(), std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    propctl::fsync_dir(root_.dir);
    restrict_locations();
    // The open at the caching level takes a block whose copy in a disk group
    // is damaged from a good copy, and its recovery writes the boot block
    // back on every copy: said here so that the log explains the repair.
    const std::string damage = propctl::damaged_boot_block(desc_.locations);
    if (!damage.empty()) log_line("%s: taking a good copy", damage.c_str());
    if (!make_contexts()) {
        log_line("out of memory making the front end's contexts");
        return false;
    }
    uint32_t rc = prop_init(&ctx_, meta_, sec_, cls_, PROP_LEVEL_CACHING, zkv_, grp_);
    if (rc != 0) {
        ctx_ = nullptr;
        log_line("cannot open the store at %s: error %u: %s", root_.dir.c_str(), rc, prop_fe_msgtext(nullptr, rc));
        return false;
    }
    if ((rc = prop_recover(ctx_, 0)) != 0) {
        log_line("cannot roll back an unfinished write: error %u: %s", rc, prop_fe_msgtext(nullptr, rc));
        return false;
    }
    if (!damage.empty())
        if (const std::string left = propctl::damaged_boot_block(desc_.locations); !left.empty())
            log_line("%s still, after the open", left.c_str());
    publish();
    log_line("serving the %s registry at %s (%s)", propctl::kind_name(desc_.kind), root_.dir.c_str(),
             desc_.developer ? "developer mode: writes are buffered" : "durable");
    return true;
}

void Store::close()
{
    if (ctx_ != nullptr) {
        uint32_t rc = prop_terminate(ctx_, 0);
        ctx_ = nullptr;
        if (rc == 0)
            ::unlink(propctl::root_file(root_, kDirtyFile).c_str());
        else
            log_line("closing the store failed: error %u: %s", rc, prop_fe_msgtext(nullptr, rc));
    }
    drop_contexts();
    if (lock_fd_ >= 0) ::close(lock_fd_);
    lock_fd_ = -1;
}

uint32_t Store::describe(uint32_t *format, char (*names)[PROP_LOCNAME_SIZE], uint32_t *ids)
{
    if (uint32_t rc = prop_get_version(ctx_, format); rc != 0) return rc;
    if (uint32_t rc = prop_get_conf_handle(ctx_, names); rc != 0) return rc;
    char errbuf[1024] = "";
    uint64_t errsz = sizeof errbuf;
    return prop_get_dev(ctx_, ids, errbuf, &errsz, desc_.kind == propctl::Kind::local ? PROP_KIND_NKV : PROP_KIND_ZKV);
}

// A read-only context of its own on the store (the CACHING level offers
// neither the corruption check nor raw blocks), as privileged as the
// daemon's own; the caller makes sure nothing writes meanwhile.
uint32_t Store::read_only(const std::function<uint32_t(backend_ctx *, przkv_ctx *)> &work)
{
    prop_metactx *meta = prop_fe_meta_create();
    prop_secctx *sec = prop_fe_secctx_create(nullptr, nullptr, cls_);
    if (sec != nullptr) sec->privileged = 1;
    prop_fe_zkv_opts opts{};
    opts.registry_kind = desc_.kind == propctl::Kind::local ? PROP_KIND_NKV : PROP_KIND_ZKV;
    opts.developer_mode = desc_.developer ? 1 : 0;
    opts.boot_level = PROP_LEVEL_READONLY;
    przkv_ctx *zkv = meta != nullptr && sec != nullptr ? prop_fe_zkvctx_create(meta, sec, &opts) : nullptr;
    uint32_t rc = PROP_E_NOMEM;
    if (zkv != nullptr) {
        backend_ctx *ro = nullptr;
        uint32_t flag = 0;
        rc = prop_init(&ro, meta, sec, cls_, PROP_LEVEL_READONLY, zkv, &flag);
        if (rc == 0) {
            rc = work(ro, zkv);
            prop_terminate(ro, 0);
        }
    }
    prop_fe_zkvctx_destroy(zkv);
    prop_fe_secctx_destroy(sec);
    if (meta != nullptr) prop_fe_meta_destroy(meta);
    return rc;
}

uint32_t Store::check(std::vector<std::string> *findings)
{
    return read_only([&](backend_ctx *ro, przkv_ctx *zkv) {
        return propctl::logged(zkv, [&] { return prop_check_logical_corruption(ro); }, findings);
    });
}

uint32_t Store::block(const std::string &key, uint32_t location, bool show, propctl::RawBlock *out)
{
    return read_only([&](backend_ctx *ro, przkv_ctx *) { return propctl::read_block(ro, key, location, show, out); });
}

}  // namespace propregd

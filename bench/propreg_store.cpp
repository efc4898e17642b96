#include "propreg_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <algorithm>

#include "format/storemap.h"
#include "platform/cfgstore.h"
#include "platform/vldsim/admin.h"
#include "storage/config.h"
#include "storage/device.h"

namespace {

// Tnode-area pages written before formatting: more than every key and value
// the workloads make (pages are taken lowest first).  Formatting extends a
// location this small to the default store size; the pages beyond stay
// unwritten and unused.
constexpr u32 kStorePages = 24576;
constexpr const char *kConfigKey = "SOFTWARE\\Korvex\\zkv";

std::string location_path(const std::string &dir, u32 i)
{
    return dir + "/location" + std::to_string(i + 1) + ".dat";
}

// Writes every byte of the file and syncs it, so that no measured write
// lands in a hole the file system must first allocate.
int fill_file(const std::string &path, u64 bytes)
{
    struct stat st;
    // A location of a previous store was filled this far; formatting only
    // extended it with unwritten pages beyond.
    if (::stat(path.c_str(), &st) == 0 && static_cast<u64>(st.st_size) >= bytes) return 0;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    std::vector<char> chunk(1u << 20, 0);
    int err = 0;
    for (u64 off = 0; off < bytes && err == 0; off += chunk.size()) {
        size_t n = bytes - off < chunk.size() ? static_cast<size_t>(bytes - off) : chunk.size();
        if (::pwrite(fd, chunk.data(), n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) err = errno != 0 ? errno : EIO;
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    ::close(fd);
    return err;
}

// Clears the head of a location (reserved prefix, boot block, superblocks,
// bitmaps) so that it holds no store: a location that still held the
// previous store would be refused as another configuration's.
int clear_head(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno;
    std::vector<char> zeros(4u << 20, 0);
    int err = 0;
    if (::pwrite(fd, zeros.data(), zeros.size(), 0) != static_cast<ssize_t>(zeros.size())) err = errno != 0 ? errno : EIO;
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    ::close(fd);
    return err;
}

// Names the locations in this node's configuration, slot by slot.
u32 configure(const std::vector<std::string> &paths, std::string *why)
{
    int oserr = 0;
    cfg_key key;
    if (cfg_create_key(kConfigKey, &oserr) != CFG_OK || cfg_open_key(kConfigKey, true, &key, &oserr) != CFG_OK) {
        *why = std::string("cannot create the configuration key: ") + std::strerror(oserr);
        return PROP_E_CONFREAD;
    }
    for (u32 i = 0; i < PROP_MAX_LOCATIONS; i++) {
        const char *value = ut_location_value_name(0, i);
        cfg_result r = i < paths.size() ? cfg_set_sz(&key, value, paths[i].c_str(), &oserr)
                                        : cfg_delete_value(&key, value, &oserr);
        if (r != CFG_OK && r != CFG_NO_VALUE) {
            *why = std::string("cannot write ") + value + ": " + std::strerror(oserr);
            return PROP_E_CONFREAD;
        }
    }
    return PROP_OK;
}

std::string disk_group(u32 i)
{
    return "+BENCH" + std::to_string(i + 1);
}

// Writes zeros into the holes of a file's first bytes: reads see the same,
// and no measured write lands where the file system must first allocate.
int fill_holes(const std::string &path, u64 bytes)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno;
    std::vector<char> zeros(1u << 20, 0);
    int err = 0;
    for (off_t at = 0; err == 0 && static_cast<u64>(at) < bytes;) {
        off_t hole = ::lseek(fd, at, SEEK_HOLE);
        if (hole < 0 || static_cast<u64>(hole) >= bytes) break;
        off_t data = ::lseek(fd, hole, SEEK_DATA);
        u64 end = data < 0 || static_cast<u64>(data) > bytes ? bytes : static_cast<u64>(data);
        for (u64 off = static_cast<u64>(hole); err == 0 && off < end; off += zeros.size()) {
            size_t n = end - off < zeros.size() ? static_cast<size_t>(end - off) : zeros.size();
            if (::pwrite(fd, zeros.data(), n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) err = errno != 0 ? errno : EIO;
        }
        at = static_cast<off_t>(end);
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    ::close(fd);
    return err;
}

std::string code_text(const char *what, u32 rc)
{
    return std::string(what) + " returned " + std::to_string(rc);
}

}  // namespace

PropregStore::~PropregStore()
{
    close();
}

u32 PropregStore::make_contexts(std::string *why)
{
    meta_ = prop_fe_meta_create();
    cls_ = prop_fe_clsctx_create(nullptr);
    secctx_ = cls_ != nullptr ? prop_fe_secctx_create(nullptr, nullptr, cls_) : nullptr;
    grp_ = prop_fe_grpctx_create("bench");
    prop_fe_zkv_opts opts{};
    opts.registry_kind = PROP_KIND_ZKV;
    zkv_ = meta_ != nullptr && secctx_ != nullptr ? prop_fe_zkvctx_create(meta_, secctx_, &opts) : nullptr;
    if (zkv_ == nullptr || grp_ == nullptr) {
        *why = "cannot make the front-end contexts";
        return PROP_E_NOMEM;
    }
    sec_.userperm = PROP_PERM_ALL_ACCESS;
    sec_.groupperm = PROP_PERM_ALL_ACCESS;
    sec_.otherperm = PROP_PERM_READ;
    std::snprintf(sec_.username, sizeof sec_.username, "%s", secctx_->user);
    std::snprintf(sec_.groupname, sizeof sec_.groupname, "%s", secctx_->group);
    return PROP_OK;
}

void PropregStore::destroy_contexts()
{
    if (zkv_ != nullptr) prop_fe_zkvctx_destroy(zkv_);
    if (grp_ != nullptr) prop_fe_grpctx_destroy(grp_);
    if (secctx_ != nullptr) prop_fe_secctx_destroy(secctx_);
    if (cls_ != nullptr) prop_fe_clsctx_destroy(cls_);
    if (meta_ != nullptr) {
        if (prop_fe_meta_live_blocks(meta_) != 0)
            std::fprintf(stderr, "propreg_bench: %llu blocks still held after terminate\n",
                         static_cast<unsigned long long>(prop_fe_meta_live_blocks(meta_)));
        prop_fe_meta_destroy(meta_);
    }
    zkv_ = nullptr;
    grp_ = nullptr;
    secctx_ = nullptr;
    cls_ = nullptr;
    meta_ = nullptr;
}

u32 lay_out_locations(const std::string &dir, u32 locations, std::string *why)
{
    propr_storemap map{};
    if (propr_storemap_compute(kStorePages, &map) != PROP_OK) {
        *why = "cannot size the locations";
        return PROP_E_STORAGE;
    }
    for (u32 i = 0; i < locations; i++) {
        std::string path = location_path(dir, i);
        if (int err = fill_file(path, map.file_bytes); err != 0) {
            *why = "cannot lay out " + path + ": " + std::strerror(err);
            return PROP_E_STORAGE;
        }
    }
    return PROP_OK;
}

// The locations a new store is made on, and where their writes are
// counted; the names go into the configuration.
u32 PropregStore::place_locations(const std::string &dir, u32 locations, bool disk_groups,
                                  std::vector<std::string> *names, std::string *why)
{
    paths_.clear();
    if (disk_groups) {
        setenv("ZKV_VLD_ROOT", (dir + "/vld").c_str(), 1);
        for (u32 i = 0; i < locations; i++) {
            vld_admin_remove_dg(disk_group(i));
            if (std::string w = vld_admin_create_dg(disk_group(i), 1, true); !w.empty()) {
                *why = w;
                return PROP_E_STORAGE;
            }
            names->push_back(disk_group(i));
            paths_.push_back(dir + "/vld/" + disk_group(i).substr(1) + "/");
        }
        return PROP_OK;
    }
    u32 rc = lay_out_locations(dir, locations, why);
    if (rc != PROP_OK) return rc;
    for (u32 i = 0; i < locations; i++) {
        paths_.push_back(location_path(dir, i));
        if (int err = clear_head(paths_.back()); err != 0) {
            *why = "cannot clear " + paths_.back() + ": " + std::strerror(err);
            return PROP_E_STORAGE;
        }
    }
    *names = paths_;
    return PROP_OK;
}

// Formatting runs without workers (front end at level 0).
u32 PropregStore::format(std::string *why)
{
    zkv_->boot_level = PROP_LEVEL_RW;
    u32 open_flag = 0;
    u32 rc = prop_setup(&ctx_, secctx_, cls_, &sec_, meta_, zkv_, PROP_LEVEL_RW, &open_flag);
    if (rc != PROP_OK) {
        *why = code_text("prop_setup", rc);
        ctx_ = nullptr;
        return rc;
    }
    rc = prop_terminate(ctx_, 0);
    ctx_ = nullptr;
    if (rc != PROP_OK) *why = code_text("prop_terminate after formatting", rc);
    return rc;
}

u32 PropregStore::open(const std::string &dir, u32 locations, bool disk_groups, u32 level, std::string *why)
{
    close();
    setenv("ZKV_REGISTRY_ROOT", (dir + "/registry").c_str(), 1);
    std::vector<std::string> names;
    u32 rc = place_locations(dir, locations, disk_groups, &names, why);
    if (rc == PROP_OK) rc = configure(names, why);
    if (rc == PROP_OK) rc = make_contexts(why);
    if (rc == PROP_OK) rc = format(why);
    if (rc != PROP_OK) return rc;
    propr_storemap map{};
    propr_storemap_compute(kStorePages, &map);
    for (u32 i = 0; disk_groups && i < locations; i++) {
        std::string copy;
        std::string w = vld_admin_copy_path(disk_group(i), 1, &copy);
        if (int err = w.empty() ? fill_holes(copy, map.file_bytes) : EIO; err != 0) {
            *why = "cannot fill " + disk_group(i) + ": " + (w.empty() ? std::strerror(err) : w);
            return PROP_E_STORAGE;
        }
    }

    // Opened again at the level asked: at the CACHING level mirrors are
    // written by the workers.
    zkv_->boot_level = level;
    rc = prop_init(&ctx_, meta_, secctx_, cls_, level, zkv_, level == PROP_LEVEL_CACHING ? grp_ : nullptr);
    if (rc != PROP_OK) {
        *why = code_text(("prop_init at level " + std::to_string(level)).c_str(), rc);
        ctx_ = nullptr;
    }
    return rc;
}

namespace {

constexpr u32 kChildrenPerParent = 1000;
constexpr u32 kKeyValueBytes = 64;

void link_last(prop_list_node *head, prop_list_node *node)
{
    node->prev = head->prev;
    node->next = head;
    head->prev->next = node;
    head->prev = node;
}

// One parent's children, created with their values in one transaction.
u32 create_children(backend_ctx *ctx, propr_keyhandle *parent, u32 first, u32 count, const sec_attr &sec)
{
    BatchOf b(count);
    for (u32 i = 0; i < count; i++) {
        prop_batch_op &op = b.ops[i];
        op.opcode = PROP_BATCH_CREATE_SET;
        op.key = parent;
        std::snprintf(op.name, sizeof op.name, "k%05u", first + i);
        op.sec = sec;
        op.dtype = PROP_TYPE_BYTES;
        op.value_size = kKeyValueBytes;
        std::memset(op.value, static_cast<int>('a' + i % 26), kKeyValueBytes);
    }
    u32 rc = prop_batch_execute(ctx, &b.batch, 0);
    for (prop_batch_result &r : b.results)
        if (r.key != nullptr) prop_close(ctx, r.key);
    return rc;
}

int sync_file(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

}  // namespace

u32 PropregStore::fill_keys(u32 keys, u32 per_parent, std::string *why)
{
    propr_keyhandle *system = nullptr;
    u32 rc = prop_open(ctx_, "SYSTEM", &system, 0);
    for (u32 first = 0; rc == PROP_OK && first < keys; first += per_parent) {
        char name[16];
        std::snprintf(name, sizeof name, "p%03u", first / per_parent);
        propr_keyhandle *parent = nullptr;
        u32 disposition = 0;
        rc = prop_create_key(ctx_, system, name, &sec_, &parent, &disposition, 0);
        // At most a thousand keys to a batch, as a front end fills a store.
        const u32 end = std::min(first + per_parent, keys);
        for (u32 at = first; rc == PROP_OK && at < end; at += kChildrenPerParent)
            rc = create_children(ctx_, parent, at, std::min(kChildrenPerParent, end - at), sec_);
        if (parent != nullptr) prop_close(ctx_, parent);
    }
    if (system != nullptr) prop_close(ctx_, system);
    if (rc != PROP_OK) *why = code_text("making the keys", rc);
    return rc;
}

u32 PropregStore::open_with_keys(const std::string &dir, u32 keys, u32 level, std::string *why, u32 per_parent)
{
    close();
    setenv("ZKV_REGISTRY_ROOT", (dir + "/registry").c_str(), 1);
    paths_ = {dir + "/keystore1.dat"};
    // Room for every key's tnode and its parents' child-entry pages, in a
    // sparse file that formatting takes the store's size from.
    const u64 pages = std::max<u64>(PROPR_DEFAULT_PAGES, keys + keys / 10 + 10000);
    int fd = ::open(paths_[0].c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(UT_UNCOUNTED_BYTES + pages * PROP_PAGE_SIZE)) != 0) {
        *why = "cannot lay out " + paths_[0] + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return PROP_E_STORAGE;
    }
    ::close(fd);
    u32 rc = configure(paths_, why);
    if (rc == PROP_OK) rc = make_contexts(why);
    if (rc != PROP_OK) return rc;

    zkv_->developer_mode = 1;
    zkv_->boot_level = PROP_LEVEL_RW;
    rc = prop_setup(&ctx_, secctx_, cls_, &sec_, meta_, zkv_, PROP_LEVEL_RW, nullptr);
    if (rc != PROP_OK) {
        *why = code_text("prop_setup", rc);
        ctx_ = nullptr;
        return rc;
    }
    rc = fill_keys(keys, per_parent, why);
    u32 term = prop_terminate(ctx_, 0);
    ctx_ = nullptr;
    if (rc == PROP_OK && term != PROP_OK) *why = code_text("prop_terminate after filling", rc = term);
    if (rc != PROP_OK) return rc;
    if (int err = sync_file(paths_[0]); err != 0) {
        *why = "cannot sync " + paths_[0] + ": " + std::strerror(err);
        return PROP_E_STORAGE;
    }
    zkv_->developer_mode = 0;
    return reopen(level, why);
}

u32 PropregStore::reopen(u32 level, std::string *why)
{
    if (ctx_ != nullptr) {
        u32 rc = prop_terminate(ctx_, 0);
        ctx_ = nullptr;
        if (rc != PROP_OK) {
            *why = code_text("prop_terminate", rc);
            return rc;
        }
    }
    zkv_->boot_level = level;
    u32 rc = prop_init(&ctx_, meta_, secctx_, cls_, level, zkv_, level == PROP_LEVEL_CACHING ? grp_ : nullptr);
    if (rc != PROP_OK) {
        *why = code_text("prop_init", rc);
        ctx_ = nullptr;
    }
    return rc;
}

u32 PropregStore::open_backup(const std::string &file, std::string *why)
{
    close();
    if (u32 rc = make_contexts(why); rc != PROP_OK) return rc;
    zkv_->boot_level = PROP_LEVEL_BACKUP;
    std::string path = file;
    u32 rc = prop_init(&ctx_, meta_, secctx_, cls_, PROP_LEVEL_BACKUP, zkv_, path.data());
    if (rc != PROP_OK) {
        *why = code_text("prop_init of the backup", rc);
        ctx_ = nullptr;
    }
    return rc;
}

void PropregStore::close()
{
    if (ctx_ != nullptr) {
        u32 rc = prop_terminate(ctx_, 0);
        if (rc != PROP_OK) std::fprintf(stderr, "propreg_bench: prop_terminate returned %u\n", rc);
        ctx_ = nullptr;
    }
    destroy_contexts();
}

void remove_store_files(const std::string &dir)
{
    for (u32 i = 0; i < PROP_MAX_LOCATIONS; i++) ::unlink(location_path(dir, i).c_str());
    ::unlink((dir + "/keystore1.dat").c_str());
    std::error_code ec;
    std::filesystem::remove_all(dir + "/registry", ec);
    std::filesystem::remove_all(dir + "/vld", ec);
}

BatchOf::BatchOf(u32 n) : ops(n), results(n)
{
    batch.count = n;
    batch.ops.next = batch.ops.prev = &batch.ops;
    batch.results.next = batch.results.prev = &batch.results;
    for (u32 i = 0; i < n; i++) {
        link_last(&batch.ops, &ops[i].link);
        link_last(&batch.results, &results[i].link);
    }
}

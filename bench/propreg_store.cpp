#include "propreg_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "format/storemap.h"
#include "platform/cfgstore.h"
#include "storage/config.h"

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

u32 PropregStore::open(const std::string &dir, u32 locations, std::string *why)
{
    close();
    setenv("ZKV_REGISTRY_ROOT", (dir + "/registry").c_str(), 1);
    u32 rc = lay_out_locations(dir, locations, why);
    if (rc != PROP_OK) return rc;
    paths_.clear();
    for (u32 i = 0; i < locations; i++) {
        paths_.push_back(location_path(dir, i));
        if (int err = clear_head(paths_.back()); err != 0) {
            *why = "cannot clear " + paths_.back() + ": " + std::strerror(err);
            return PROP_E_STORAGE;
        }
    }
    rc = configure(paths_, why);
    if (rc == PROP_OK) rc = make_contexts(why);
    if (rc != PROP_OK) return rc;

    // Formatting runs without workers (front end at level 0); the store is
    // then opened again at the CACHING level, where mirrors are written by
    // the workers.
    zkv_->boot_level = PROP_LEVEL_RW;
    u32 open_flag = 0;
    rc = prop_setup(&ctx_, secctx_, cls_, &sec_, meta_, zkv_, PROP_LEVEL_RW, &open_flag);
    if (rc != PROP_OK) {
        *why = code_text("prop_setup", rc);
        ctx_ = nullptr;
        return rc;
    }
    rc = prop_terminate(ctx_, 0);
    ctx_ = nullptr;
    if (rc != PROP_OK) {
        *why = code_text("prop_terminate after formatting", rc);
        return rc;
    }
    zkv_->boot_level = PROP_LEVEL_CACHING;
    rc = prop_init(&ctx_, meta_, secctx_, cls_, PROP_LEVEL_CACHING, zkv_, grp_);
    if (rc != PROP_OK) {
        *why = code_text("prop_init at the CACHING level", rc);
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
    std::error_code ec;
    std::filesystem::remove_all(dir + "/registry", ec);
}

u32 fill_with_keys(PropregStore &store, u32 keys, std::string *why)
{
    constexpr u32 kPerBatch = 1000;
    constexpr u32 kPerParent = 2000;  // a key holds at most 10000 subkeys
    propr_keyhandle *system = nullptr;
    u32 rc = prop_open(store.ctx(), "SYSTEM", &system, 0);
    std::vector<prop_batch_op> ops(kPerBatch);
    std::vector<prop_batch_result> results(kPerBatch);
    for (u32 first = 0; first < keys && rc == PROP_OK; first += kPerBatch) {
        prop_batch batch{};
        batch.ops.next = batch.ops.prev = &batch.ops;
        batch.results.next = batch.results.prev = &batch.results;
        const u32 n = keys - first < kPerBatch ? keys - first : kPerBatch;
        for (u32 i = 0; i < n; i++) {
            const u32 k = first + i;
            prop_batch_op &op = ops[i];
            op = prop_batch_op{};
            results[i] = prop_batch_result{};
            op.opcode = PROP_BATCH_CREATE_SET;
            op.key = system;
            std::snprintf(op.name, sizeof op.name, "many.p%03u.k%05u", k / kPerParent, k);
            op.sec = store.security();
            op.value_size = static_cast<u32>(std::snprintf(reinterpret_cast<char *>(op.value), sizeof op.value,
                                                           "value of key %020u", k)) + 1;
            op.dtype = PROP_TYPE_TEXT;
            for (auto [head, node] : {std::pair{&batch.ops, &op.link}, std::pair{&batch.results, &results[i].link}}) {
                node->prev = head->prev;
                node->next = head;
                head->prev->next = node;
                head->prev = node;
            }
        }
        batch.count = n;
        rc = prop_batch_execute(store.ctx(), &batch, 0);
        for (u32 i = 0; i < n; i++)
            if (results[i].key != nullptr) prop_close(store.ctx(), results[i].key);
    }
    if (system != nullptr) prop_close(store.ctx(), system);
    if (rc != PROP_OK) *why = code_text("making the keys", rc);
    return rc;
}

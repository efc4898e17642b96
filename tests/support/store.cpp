#include "support/store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "io/pagecache.h"
#include "platform/cfgstore.h"
#include "platform/vldsim/admin.h"
#include "storage/config.h"

namespace {

constexpr uint64_t kReservedPrefix = 0x19000;

void set_value(const char *key_path, const char *value, const std::string &data)
{
    int err = 0;
    ASSERT_EQ(cfg_create_key(key_path, &err), CFG_OK) << key_path;
    cfg_key key;
    ASSERT_EQ(cfg_open_key(key_path, true, &key, &err), CFG_OK) << key_path;
    ASSERT_EQ(cfg_set_sz(&key, value, data.c_str(), &err), CFG_OK) << value;
}

void create_empty_file(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ::close(fd);
}

}  // namespace

Store::Store(const StoreOptions &options)
    : options_(options),
      root_("ZKV_REGISTRY_ROOT", (dir_.path() + "/registry").c_str()),
      developer_("ZKV_DEVELOPER_ENV", options.developer ? "TRUE" : nullptr),
      faults_(std::make_unique<FaultEnv>(env_posix()))
{
    previous_env_ = env_install(faults_.get());
    meta_ = prop_fe_meta_create();
    fe_meta_ = prop_fe_meta_create();
    cls_ = prop_fe_clsctx_create(options_.hostname);
    sec_ = prop_fe_secctx_create(nullptr, nullptr, cls_);
    prop_fe_zkv_opts opts{};
    opts.registry_kind = options_.nkv ? PROP_KIND_NKV : PROP_KIND_ZKV;
    opts.developer_mode = options_.developer ? 1 : 0;
    opts.group_name = "testgroup";
    zkv_ = prop_fe_zkvctx_create(fe_meta_, sec_, &opts);
    grp_ = prop_fe_grpctx_create("testgroup");
    topsec_.userperm = PROP_PERM_ALL_ACCESS;
    topsec_.groupperm = PROP_PERM_READ;
    topsec_.otherperm = PROP_PERM_QUERY_KEY;
    std::snprintf(topsec_.username, sizeof topsec_.username, "%s", sec_->user);
    std::snprintf(topsec_.groupname, sizeof topsec_.groupname, "%s", sec_->group);
    configure();
}

Store::~Store()
{
    if (ctx_ != nullptr) {
        EXPECT_EQ(terminate(), 0u);
    }
    EXPECT_EQ(live_blocks(), 0u) << "blocks left in the meta context";
    prop_fe_grpctx_destroy(grp_);
    prop_fe_zkvctx_destroy(zkv_);
    prop_fe_secctx_destroy(sec_);
    prop_fe_clsctx_destroy(cls_);
    prop_fe_meta_destroy(fe_meta_);
    prop_fe_meta_destroy(meta_);
    env_install(previous_env_);
}

std::string Store::location_tag(uint32_t slot) const
{
    return "store-location-" + std::to_string(slot);
}

std::string Store::location(uint32_t slot) const
{
    if (!options_.vld) return dir_.file(location_tag(slot));
    std::string path;
    std::string why = vld_admin_copy_path(config_name(slot), 1, &path);
    EXPECT_EQ(why, "");
    return path;
}

std::string Store::config_name(uint32_t slot) const
{
    return options_.vld ? "+" + location_tag(slot) : location(slot);
}

std::vector<std::string> Store::files() const
{
    std::vector<std::string> all;
    for (uint32_t i = 0; i < options_.locations; i++) {
        if (!options_.vld) {
            all.push_back(location(i));
            continue;
        }
        std::vector<std::string> some;
        EXPECT_EQ(vld_admin_host_files(config_name(i), &some), "");
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

// The locations exist (empty: a location is never created by opening it)
// and the configuration names them.
void Store::configure()
{
    const uint32_t is_nkv = options_.nkv ? 1 : 0;
    char key_path[PROP_LOCNAME_SIZE];
    ASSERT_EQ(ut_get_loc_path(is_nkv, options_.hostname, key_path, sizeof key_path), PROP_OK);
    for (uint32_t i = 0; i < options_.locations; i++) {
        if (options_.vld)
            ASSERT_EQ(vld_admin_create_dg(config_name(i), 2, !options_.developer), "");
        else
            create_empty_file(location(i));
        const char *value = ut_location_value_name(is_nkv, i);
        ASSERT_NE(value, nullptr) << "slot " << i;
        set_value(key_path, value, config_name(i));
    }
    if (options_.nkv) set_value(key_path, "hwk_home", dir_.path());
}

uint32_t Store::setup(int32_t level, uint32_t *levelarg)
{
    zkv_->boot_level = static_cast<uint32_t>(level);
    return prop_setup(&ctx_, sec_, cls_, &topsec_, meta_, zkv_, level, levelarg);
}

uint32_t Store::init(uint32_t level, void *levelarg)
{
    backend_ctx *out = nullptr;
    return init_into(&out, level, levelarg);
}

uint32_t Store::init_into(backend_ctx **out, uint32_t level, void *levelarg)
{
    EXPECT_EQ(ctx_, nullptr) << "the store is already open";
    zkv_->boot_level = level;
    if (level == PROP_LEVEL_CACHING && levelarg == nullptr) levelarg = grp_;
    uint32_t rc = prop_init(out, meta_, sec_, cls_, level, zkv_, levelarg);
    if (rc == 0) ctx_ = *out;
    return rc;
}

uint32_t Store::terminate(uint32_t flags)
{
    uint32_t rc = prop_terminate(ctx_, flags);
    if (rc == 0) ctx_ = nullptr;
    return rc;
}

void Store::format()
{
    ASSERT_EQ(setup(), 0u);
    ASSERT_EQ(terminate(), 0u);
}

std::string Store::read_block(uint32_t slot, uint32_t addr) const
{
    std::string block(4096, '\0');
    int fd = ::open(location(slot).c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    ssize_t n = ::pread(fd, block.data(), block.size(), static_cast<off_t>(addr + kReservedPrefix));
    ::close(fd);
    EXPECT_EQ(n, 4096);
    return block;
}

void Store::write_block(uint32_t slot, uint32_t addr, const std::string &block) const
{
    int fd = ::open(location(slot).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::pwrite(fd, block.data(), block.size(), static_cast<off_t>(addr + kReservedPrefix)),
              static_cast<ssize_t>(block.size()));
    ::close(fd);
    // Written behind the open context's back, without a commit it could
    // see: the pages it keeps must not hide what the test made.
    pagecache_stores_rewritten();
}

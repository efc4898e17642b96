#include "support/store.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "io/pagecache.h"
#include "platform/trace.h"
#include "platform/vldsim/admin.h"
#include "storage/config.h"

constexpr uint64_t kReservedPrefix = 0x19000;

Store::Store(const StoreOptions &options)
    : options_(options),
      root_("ZKV_REGISTRY_ROOT", (dir_.path() + "/registry").c_str()),
      developer_("ZKV_DEVELOPER_ENV", options.developer ? "TRUE" : nullptr),
      c_({.hostname = options.hostname, .nkv = options.nkv, .developer = options.developer})
{
    topsec_.userperm = PROP_PERM_ALL_ACCESS;
    topsec_.groupperm = PROP_PERM_READ;
    topsec_.otherperm = PROP_PERM_QUERY_KEY;
    std::snprintf(topsec_.username, sizeof topsec_.username, "%s", c_.sec->user);
    std::snprintf(topsec_.groupname, sizeof topsec_.groupname, "%s", c_.sec->group);
    configure();
}

Store::~Store()
{
    if (ctx_ != nullptr) {
        EXPECT_EQ(terminate(), 0u);
    }
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
            make_file(location(i));
        const char *value = ut_location_value_name(is_nkv, i);
        ASSERT_NE(value, nullptr) << "slot " << i;
        set_config_value(key_path, value, config_name(i));
    }
    if (options_.nkv) set_config_value(key_path, "hwk_home", dir_.path());
}

uint32_t Store::setup(int32_t level, uint32_t *levelarg)
{
    c_.zkv->boot_level = static_cast<uint32_t>(level);
    return prop_setup(&ctx_, c_.sec, c_.cls, &topsec_, c_.meta, c_.zkv, level, levelarg);
}

uint32_t Store::init(uint32_t level, void *levelarg)
{
    backend_ctx *out = nullptr;
    return init_into(&out, level, levelarg);
}

uint32_t Store::init_into(backend_ctx **out, uint32_t level, void *levelarg)
{
    EXPECT_EQ(ctx_, nullptr) << "the store is already open";
    c_.zkv->boot_level = level;
    if (level == PROP_LEVEL_CACHING && levelarg == nullptr) levelarg = c_.grp;
    uint32_t rc = prop_init(out, c_.meta, c_.sec, c_.cls, level, c_.zkv, levelarg);
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
    std::string block = read_at(location(slot), addr + kReservedPrefix, 4096);
    EXPECT_EQ(block.size(), 4096u);
    block.resize(4096);
    return block;
}

void Store::write_block(uint32_t slot, uint32_t addr, const std::string &block) const
{
    write_at(location(slot), addr + kReservedPrefix, block.data(), block.size());
    // Written behind the open context's back, without a commit it could
    // see: the pages it keeps must not hide what the test made.
    pagecache_stores_rewritten();
}

uint32_t put_value(const Store &store, const std::string &name, const std::string &value)
{
    backend_ctx *ctx = store.ctx();
    propr_keyhandle *system = nullptr, *key = nullptr;
    uint32_t disp = 0;
    uint32_t rc = prop_open(ctx, "SYSTEM", &system, 0);
    if (rc == 0) rc = prop_create_key(ctx, system, name.c_str(), &store.top_security(), &key, &disp, 0);
    if (rc == 0)
        rc = prop_set_value(ctx, key, PROP_TYPE_BYTES, value.data(), static_cast<uint32_t>(value.size()), 0);
    for (propr_keyhandle *kh : {key, system})
        if (kh != nullptr) prop_close(ctx, kh);
    return rc;
}

std::string get_value(const Store &store, const std::string &name)
{
    backend_ctx *ctx = store.ctx();
    propr_keyhandle *key = nullptr;
    uint32_t rc = prop_open(ctx, ("SYSTEM." + name).c_str(), &key, 0);
    std::string value(100000, '\0');
    uint32_t type = 0, size = static_cast<uint32_t>(value.size());
    if (rc == 0) rc = prop_get_value(ctx, key, &type, value.data(), &size, 0);
    if (key != nullptr) prop_close(ctx, key);
    if (rc != 0) return "<error " + std::to_string(rc) + ">";
    value.resize(size);
    return value;
}

bool alerted(uint32_t number, const std::string &arg)
{
    for (const AlertRecord &a : alerts_captured())
        if (a.number == number && a.args.find(arg) != std::string::npos) return true;
    return false;
}

std::vector<std::string> configured_locations()
{
    char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE] = {};
    uint32_t count = 0, local = 0;
    char home[4096], err[256];
    uint64_t errsz = sizeof err;
    EXPECT_EQ(prop_get_conf(nullptr, nullptr, &count, names, &local, home, err, &errsz,
                            PROP_KIND_ZKV | PROP_CONF_COMPLETE_VLD_NAMES), PROP_OK);
    std::vector<std::string> out;
    for (const auto &n : names)
        if (n[0] != '\0') out.push_back(n);
    return out;
}

#include "support/contexts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "core/error.h"
#include "platform/cfgstore.h"

Contexts::Contexts(const ContextOptions &options)
{
    previous_env_ = env_install(&faults);
    cls = prop_fe_clsctx_create(options.hostname);
    sec = prop_fe_secctx_create(nullptr, nullptr, cls);
    prop_fe_zkv_opts opts{};
    opts.registry_kind = options.nkv ? PROP_KIND_NKV : PROP_KIND_ZKV;
    opts.developer_mode = options.developer ? 1 : 0;
    opts.boot_level = options.boot_level;
    opts.group_name = "testgroup";
    zkv = prop_fe_zkvctx_create(fe_meta, sec, &opts);
    EXPECT_NE(zkv, nullptr);
    grp = prop_fe_grpctx_create("testgroup");
}

Contexts::~Contexts()
{
    EXPECT_EQ(live_blocks(), 0u) << "blocks left in the meta context";
    prop_fe_grpctx_destroy(grp);
    prop_fe_zkvctx_destroy(zkv);
    prop_fe_secctx_destroy(sec);
    prop_fe_clsctx_destroy(cls);
    prop_fe_meta_destroy(fe_meta);
    prop_fe_meta_destroy(meta);
    env_install(previous_env_);
}

const prop_errelem &Contexts::error() const
{
    prop_errelem *e = nullptr;
    u_get_error(zkv, nullptr, &e);
    return *e;
}

std::string read_at(const std::string &path, uint64_t offset, size_t len)
{
    std::string s(len, '\0');
    int fd = ::open(path.c_str(), O_RDONLY);
    ssize_t n = ::pread(fd, s.data(), len, static_cast<off_t>(offset));
    ::close(fd);
    s.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return s;
}

void write_at(const std::string &path, uint64_t offset, const void *data, size_t len)
{
    int fd = ::open(path.c_str(), O_RDWR);
    EXPECT_GE(fd, 0) << path;
    ssize_t n = ::pwrite(fd, data, len, static_cast<off_t>(offset));
    EXPECT_EQ(n, static_cast<ssize_t>(len)) << path;
    ::close(fd);
}

void make_file(const std::string &path, uint64_t bytes)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(bytes)), 0) << path;
    ::close(fd);
}

void set_config_value(const char *key, const char *value, const std::string &data)
{
    int err = 0;
    ASSERT_EQ(cfg_create_key(key, &err), CFG_OK) << key;
    cfg_key k;
    ASSERT_EQ(cfg_open_key(key, true, &k, &err), CFG_OK) << key;
    ASSERT_EQ(cfg_set_sz(&k, value, data.c_str(), &err), CFG_OK) << value;
}

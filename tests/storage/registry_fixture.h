// A configuration store of its own under a temporary directory, outside
// developer mode unless a test says otherwise.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/cfgstore.h"
#include "support/tmpdir.h"

inline constexpr const char *kZkvKeyPath = "SOFTWARE\\Korvex\\zkv";
inline constexpr const char *kNkvKeyPath = "SOFTWARE\\Korvex\\nkv";

class RegistryRoot {
  public:
    void create_key(const char *key)
    {
        int err = 0;
        ASSERT_EQ(cfg_create_key(key, &err), CFG_OK);
    }
    void set(const char *key, const char *value, const std::string &data, const char *type = "REG_SZ")
    {
        int err = 0;
        cfg_key k;
        create_key(key);
        ASSERT_EQ(cfg_open_key(key, true, &k, &err), CFG_OK);
        ASSERT_EQ(cfg_set_raw(&k, value, type, data.data(), data.size(), &err), CFG_OK);
    }
    // The value's data, or "<none>" when it does not exist.
    std::string get(const char *key, const char *value)
    {
        int err = 0;
        cfg_key k;
        if (cfg_open_key(key, false, &k, &err) != CFG_OK) return "<nokey>";
        char buf[5000];
        cfg_result r = cfg_read_sz(&k, value, buf, sizeof buf, nullptr, nullptr, &err);
        return r == CFG_OK ? std::string(buf) : r == CFG_NO_VALUE ? "<none>" : "<error>";
    }
    std::string dir(const char *key) const
    {
        std::string d = root_.path() + "/" + key;
        for (char &c : d)
            if (c == '\\') c = '/';
        return d;
    }

  private:
    TempDir root_;
    ScopedEnv env_{"ZKV_REGISTRY_ROOT", root_.path().c_str()};
    ScopedEnv developer_{"ZKV_DEVELOPER_ENV", nullptr};
    ScopedEnv zkv_loc_{"ZKV_LOC", nullptr};
    ScopedEnv nkv_loc_{"NKV_LOC", nullptr};
};

// What the volume-manager tests share: a cluster store whose locations are
// disk groups, and keys through the exports.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/handle.h"
#include "platform/trace.h"
#include "platform/vldsim/admin.h"
#include "support/store.h"

inline StoreOptions vld_store(uint32_t locations = 1)
{
    return {.locations = locations, .vld = true};
}

// Sets SYSTEM.<name> to a value, creating the key; the first failing code.
inline uint32_t put_value(Store &store, const std::string &name, const std::string &value)
{
    backend_ctx *ctx = store.ctx();
    propr_keyhandle *system = nullptr, *key = nullptr;
    sec_attr sec = store.top_security();
    uint32_t disp = 0;
    uint32_t rc = prop_open(ctx, "SYSTEM", &system, 0);
    if (rc == 0) rc = prop_create_key(ctx, system, name.c_str(), &sec, &key, &disp, 0);
    if (rc == 0)
        rc = prop_set_value(ctx, key, PROP_TYPE_BYTES, value.data(), static_cast<uint32_t>(value.size()), 0);
    if (key != nullptr) prop_close(ctx, key);
    if (system != nullptr) prop_close(ctx, system);
    return rc;
}

// The value of SYSTEM.<name>, or "<error N>".
inline std::string get_value(Store &store, const std::string &name)
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

// The disk group of a store's location, as the stand-in lists it.
inline vld_admin_dg disk_group(const std::string &name)
{
    std::vector<vld_admin_dg> all;
    EXPECT_EQ(vld_admin_list(&all), "");
    for (const vld_admin_dg &dg : all)
        if (dg.name == name) return dg;
    ADD_FAILURE() << "no disk group " << name;
    return {};
}

// The registry file of a disk group, as listed.
inline vld_admin_file registry_file(const std::string &dg)
{
    for (const vld_admin_file &f : disk_group(dg).files)
        if (f.registry) return f;
    ADD_FAILURE() << dg << " has no registry file";
    return {};
}

inline bool alert_raised(u32 number)
{
    for (const AlertRecord &a : alerts_captured())
        if (a.number == number) return true;
    return false;
}

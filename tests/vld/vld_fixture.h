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

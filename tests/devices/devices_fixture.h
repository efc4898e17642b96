// A store of one to five locations holding a workload's keys, spare
// location files to add or to replace with, and the checks every change of
// locations must pass.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/handle.h"
#include "devices/devices.h"
#include "format/block.h"
#include "io/devhist.h"
#include "io/devid.h"
#include "pages.h"
#include "platform/cfgstore.h"
#include "platform/resource.h"
#include "storage/config.h"
#include "platform/trace.h"
#include "support/store.h"
#include "workload.h"

// The keys of an open store, read whole.
inline Tree tree_of(backend_ctx *ctx)
{
    Tree t;
    EXPECT_EQ(read_tree(ctx, &t), 0u);
    return t;
}

class FilledStore {
  public:
    explicit FilledStore(uint32_t locations) : store_({.locations = locations})
    {
        store_.format();
        EXPECT_EQ(store_.init(PROP_LEVEL_RW), PROP_OK);
        for (const Op &op : make_workload(7, 16, tree_of(store_.ctx())).ops)
            EXPECT_EQ(run_op(store_.ctx(), op), 0u) << describe(op);
        tree_ = tree_of(store_.ctx());
        EXPECT_EQ(store_.terminate(), 0u);
    }

    Store &store() { return store_; }
    const Tree &tree() const { return tree_; }
    // An empty file beside the store's locations (a name fault rules on
    // "store-location-N" never match).
    std::string spare(uint32_t n) const
    {
        std::string dir = store_.location(0).substr(0, store_.location(0).rfind('/'));
        std::string path = dir + "/spare-" + std::to_string(n);
        if (FILE *f = std::fopen(path.c_str(), "a")) std::fclose(f);
        return path;
    }
    // The names the open context holds.
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (const auto &n : store_.handle()->proprhandle_filename)
            if (n[0] != '\0') out.push_back(n);
        return out;
    }

  private:
    Store store_;
    Tree tree_;
};

// A location's boot block, read around the library.
inline std::string boot_block_at(const std::string &path)
{
    std::string block = read_at(path, 0x19000, 4096);
    return block.size() == 4096 ? block : std::string(4096, '\0');
}

inline bool is_boot_block(const std::string &block)
{
    return proprut_isblk_valid_buf(reinterpret_cast<const u8 *>(block.data()), PROPR_BLK_METADATA) != 0;
}

// The device history in a location's boot block.
struct History {
    u32 count = 0;
    std::vector<u32> prev, next;
    bool operator==(const History &) const = default;
};
inline History history_at(const std::string &path)
{
    std::string b = boot_block_at(path);
    History h;
    u32 prev[5] = {}, next[5] = {};
    dev_rhist(4, reinterpret_cast<const u8 *>(b.data()), &h.count, prev, next);
    h.prev.assign(prev, prev + 5);
    h.next.assign(next, next + 5);
    return h;
}

inline std::vector<u32> id_vector(const std::vector<std::string> &names)
{
    std::vector<u32> ids;
    for (size_t i = 0; i < 5; i++)
        ids.push_back(i < names.size() ? proprdev_id_of_name(names[i].c_str()) : i < 2 ? proprdev_id_of_name("") : 0);
    return ids;
}

// Sets a value under a configuration key (this node's by default), making
// the key when it is new.
inline void set_config(const char *value, const std::string &data, const char *key = nullptr)
{
    char own[PROP_LOCNAME_SIZE];
    if (key == nullptr) {
        ASSERT_EQ(ut_get_loc_path(0, "node1", own, sizeof own), PROP_OK);
        key = own;
    }
    set_config_value(key, value, data);
}

// A dependency attribute of the storage resource, or "<none>".
inline std::string dependency(const char *attr = RES_START_DEPENDENCIES)
{
    char buf[256] = "";
    return res_read_attr(RES_STORAGE, attr, buf, sizeof buf) == 0 ? buf : "<none>";
}

// A key cache over a counting meta context; tear-down proves that
// proprch_terminate gives back every byte, whatever the test left cached.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "cache/cache.h"
#include "propreg/frontend.h"

constexpr u32 kBatch = PROP_FLAG_IN_BATCH;

class CacheTest : public ::testing::Test {
  protected:
    prop_metactx *meta = prop_fe_meta_create();
    std::unique_ptr<proprhandle> handle = std::make_unique<proprhandle>();
    proprch_ctx *cache = nullptr;

    void SetUp() override
    {
        handle->metactx = meta;
        ASSERT_EQ(proprch_init(handle.get(), &cache), PROP_OK);
    }
    void TearDown() override
    {
        EXPECT_EQ(proprch_terminate(cache), PROP_OK);
        EXPECT_EQ(prop_fe_meta_live_blocks(meta), 0u);
        prop_fe_meta_destroy(meta);
    }

    // The cached element of name, or nullptr.
    proprch_hashelement *elem(const std::string &name)
    {
        proprch_hashelement *e = nullptr;
        return proprch_keycached(cache, name.c_str(), &e, 0) == 0 ? e : nullptr;
    }
    // get_addr's code, and the address when it is 0.
    std::pair<u32, u32> addr(const std::string &name)
    {
        u32 a = 0;
        u32 rc = proprch_get_addr(cache, name.c_str(), &a, 0, 0);
        return {rc, rc == 0 ? a : 0};
    }
    u32 set(const std::string &name, u32 tnode, u32 flags = 0)
    {
        return proprch_set_addr(cache, name.c_str(), tnode, 0, flags);
    }
    u32 insert(const std::string &name, u32 flags = 0) { return proprch_insert(cache, name.c_str(), flags); }
    u32 del(const std::string &name, u32 recurse, u32 flags = 0)
    {
        return proprch_delete(cache, name.c_str(), recurse, 0, flags);
    }
    // True when parent's child list holds child's hash key at child's index.
    bool lists(const std::string &parent, const std::string &child)
    {
        proprch_hashelement *p = elem(parent), *c = elem(child);
        return p != nullptr && c != nullptr && c->index >= 0 &&
               static_cast<u32>(c->index) < p->cached_max_subkey &&
               p->cached_subkey_list[c->index] != nullptr &&
               std::string(p->cached_subkey_list[c->index]) == c->hashkey;
    }
};

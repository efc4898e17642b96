// A formatted store opened at level 0, and the block-level views the
// diagnostics tests take of it through the exports.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "format/block.h"
#include "format/cursor.h"
#include "keys/keys_fixture.h"
#include "platform/trace.h"
#include "tree/tnode.h"

struct BlockRead {
    uint32_t rc = 0;
    uint32_t blkno = 0;
    std::string bytes;
};

inline BlockRead get_block(backend_ctx *ctx, uint32_t blkno, uint32_t location = PROP_BLOCK_ALL_LOCATIONS,
                           uint32_t flags = PROP_BLOCK_BY_NUMBER, propr_keyhandle *key = nullptr)
{
    BlockRead r;
    r.bytes.assign(4096, '\0');
    uint32_t size = 4096;
    r.blkno = blkno;
    r.rc = prop_get_block(ctx, key, location, r.bytes.data(), &size, &r.blkno, flags);
    return r;
}

inline uint32_t set_block(backend_ctx *ctx, const std::string &bytes, uint32_t location = PROP_BLOCK_ALL_LOCATIONS,
                          uint32_t flags = PROP_BLOCK_BY_NUMBER, propr_keyhandle *key = nullptr)
{
    uint32_t size = static_cast<uint32_t>(bytes.size());
    return prop_set_block(ctx, key, location, bytes.data(), &size, flags);
}

inline uint32_t be32(const std::string &b, size_t off)
{
    return be32_at(reinterpret_cast<const uint8_t *>(b.data()), static_cast<int32_t>(off));
}
inline void put_be32(std::string &b, size_t off, uint32_t v)
{
    be32_put(reinterpret_cast<uint8_t *>(b.data()), static_cast<int32_t>(off), v);
}

// What one call traced at level 0, with its result.
struct Traced {
    uint32_t rc = 0;
    std::vector<std::string> lines;
    bool has(const std::string &text) const
    {
        for (const std::string &l : lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    std::string all() const
    {
        std::string s;
        for (const std::string &l : lines) s += l + "\n";
        return s;
    }
};

template <class F>
Traced traced(F call)
{
    Traced t;
    trace_capture_start();
    t.rc = call();
    for (const TraceLine &l : trace_captured())
        if (l.level == 0) t.lines.push_back(l.text);
    trace_capture_stop();
    return t;
}

// The report interpret-block gives of bytes as block number, as one line.
inline Traced interpret(backend_ctx *ctx, uint32_t number, const std::string &bytes,
                        uint32_t size = 8192)
{
    std::string text(size, '\x7f');
    Traced t;
    t.rc = prop_interpret_block(ctx, number, bytes.data(), 4096, text.data(), &size, 0);
    EXPECT_TRUE(t.rc != 0 || text.find('\0') != std::string::npos)
        << "the report does not end in its buffer";
    t.lines.push_back(text.substr(0, text.find('\0')));
    return t;
}

inline Traced check(backend_ctx *ctx)
{
    return traced([&] { return prop_check_logical_corruption(ctx); });
}

class DiagTest : public ::testing::Test {
  protected:
    explicit DiagTest(StoreOptions options = {}) : store(options)
    {
        store.format();
        EXPECT_EQ(store.init(), PROP_OK);
        v.ctx = store.ctx();
    }

    backend_ctx *ctx() const { return store.ctx(); }
    proprhandle *handle() const { return store.handle(); }
    // Header number of page p of the tnode area.
    uint32_t number_of_page(uint32_t page) const { return (handle()->proprhandle_rtnst >> 12) + page + 25; }
    uint32_t tnode_page(const Key &k) const { return k.get()->propr_keyhandle_kdesc->kd_tnode; }
    std::string page_bytes(uint32_t page) const { return get_block(ctx(), number_of_page(page)).bytes; }
    // The i-th value page a key's tnode names.
    uint32_t value_page(const Key &k, uint32_t i) const
    {
        return be32(page_bytes(tnode_page(k)), TNODE_OFF_DIRECT_ADDR + 4 * i);
    }
    // Rewrites page p of the tnode area through set-block, after change.
    template <class F>
    uint32_t patch_page(uint32_t page, F change)
    {
        std::string b = page_bytes(page);
        change(b);
        return set_block(ctx(), b);
    }

    Store store;
    StoreView v{nullptr};
};

// The raw store for the tree tests: it gives the name caches back before
// the store checks for leaks, and reads the lists the tree code keeps.
#pragma once

#include <string>
#include <vector>

#include "format/block.h"
#include "format/cursor.h"
#include "io/io.h"
#include "support/raw_store.h"
#include "tree/names.h"
#include "txn/pending.h"

class TreeStore : public RawStore {
  public:
    explicit TreeStore(const RawStoreOptions &o = {}) : RawStore(o) {}
    ~TreeStore() { proprut_free_namecache(handle()); }
    // A page as the library reads it, the open transaction's copy first
    // (cheaper than reopening the file).
    Block page(u32 p) const
    {
        Block b{};
        EXPECT_EQ(ut_page_read(handle(), b.data(), page_addr(p), 0), PROP_OK);
        return b;
    }
};

// Words of a page-number list in a block.
inline std::vector<u32> list_of(const Block &b, i32 offset, u32 count)
{
    std::vector<u32> v;
    for (u32 i = 0; i < count; i++) v.push_back(be32_at(b.data(), offset + static_cast<i32>(4 * i)));
    return v;
}

// Every non-zero number comes before every zero.
inline bool dense(const std::vector<u32> &v)
{
    bool zero = false;
    for (u32 p : v) {
        if (p == 0)
            zero = true;
        else if (zero)
            return false;
    }
    return true;
}

// Helpers the transaction tests share: a caller that changes pages the way
// the key operations do, and the writes the fault layer saw.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "format/block.h"
#include "format/storemap.h"
#include "io/io.h"
#include "support/raw_store.h"
#include "txn/log.h"
#include "txn/pending.h"

// Saves the page's image unless it already has one, then changes it as
// the tree does (kept until the commit).
inline void change_page(RawStore &store, u32 page, u8 fill)
{
    proprhandle *h = store.handle();
    u32 exists = 0;
    ASSERT_EQ(proprutlogexists(h, page, &exists), PROP_OK);
    if (!exists) {
        ASSERT_EQ(proprutlog(h, page, nullptr), PROP_OK);
    }
    Block b = store.page_block(page, fill);
    ASSERT_EQ(ut_page_write(h, b.data(), store.page_addr(page)), PROP_OK);
}

// One write recorded on the store's one location: the group it belongs to
// (counted from the first write seen), its block address and its pages.
struct Written {
    u64 group;
    u64 addr;
    u64 pages;
    bool operator==(const Written &) const = default;
};

inline std::ostream &operator<<(std::ostream &out, const Written &w)
{
    return out << "{group " << w.group << ", addr " << w.addr << ", " << w.pages << " pages}";
}

inline std::vector<Written> written_blocks(RawStore &store)
{
    std::vector<Written> seen;
    const auto records = store.faults().recorded();
    for (const fault_write_record &w : records) {
        EXPECT_EQ(w.path, store.path(0));
        seen.push_back({w.barriers - records.front().barriers, w.offset - PROPR_RESERVED_PREFIX,
                        w.length / 4096});
    }
    return seen;
}

// The order of every write of a transaction, recorded under the file seam:
// an image reaches its slot before the metadata that counts it, both before
// the page changes; at commit the new bitmap and superblock copies come
// before the boot block, which is last.
#include <gtest/gtest.h>

#include <vector>

#include "format/storemap.h"
#include "space/fcl.h"
#include "txn/commit.h"
#include "txn_support.h"

namespace {

TEST(TransactionOrder, EveryWriteComesInTheOrderThatKeepsACrashRecoverable)
{
    FaultScope faults;
    RawStore store;
    proprhandle *h = store.handle();
    store.put_page(3, PROPR_BLK_TNODE, 0xA3);
    store.put_page(5, PROPR_BLK_TNODE, 0xA5);
    faults.env().set_record(true);

    ASSERT_EQ(proprutbeginlog(h, 11), PROP_OK);
    change_page(store, 3, 0xB3);
    change_page(store, 5, 0xB5);
    change_page(store, 3, 0xC3);
    u32 page = 0;
    ASSERT_EQ(proprutffp(h, &page), PROP_OK);
    ASSERT_EQ(proprutfsu(h), PROP_OK);

    const u32 boot = 0, meta = store.lsst();
    const std::vector<u32> expected = {
        meta, boot,                                            // begin: metadata, then the live byte
        store.log_slot_addr(1), meta, store.page_addr(3),      // image, its count, the page
        store.log_slot_addr(2), meta, store.page_addr(5),
        store.page_addr(3),                                    // logged once: no second image
        propr_fcl_addr(0, 1), 8192,                            // the other bitmap and superblock copies
        boot,                                                  // the commit point
    };
    std::vector<u32> seen;
    for (const fault_write_record &w : faults.env().recorded()) {
        ASSERT_EQ(w.path, store.path(0));
        ASSERT_EQ(w.length, 4096u);
        seen.push_back(static_cast<u32>(w.offset - PROPR_RESERVED_PREFIX));
    }
    EXPECT_EQ(seen, expected);
}

}  // namespace

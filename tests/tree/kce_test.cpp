// Child-key entries on a store: the in-tnode area, then the 25 direct KCE
// pages, then KCE pages under ADDR pages; the child limits; deletion that
// frees pages and keeps every list dense.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/handle.h"
#include "space/fcl.h"
#include "space/used.h"
#include "tree/kce.h"
#include "tree/kce_pages.h"
#include "tree/slotted.h"
#include "tree/tree_store.h"
#include "txn/commit.h"
#include "txn/log.h"
#include "txn/recover.h"

namespace {

constexpr u32 kRoot = 0;

// prefix and i in digits decimal digits, zero-padded.
std::string child_name(u32 i, const std::string &prefix = "child", int digits = 5)
{
    std::string n = std::to_string(i);
    return prefix + std::string(static_cast<size_t>(std::max(0, digits - static_cast<int>(n.size()))), '0') +
           n;
}

class Kce : public ::testing::Test {
  protected:
    std::unique_ptr<TreeStore> store;
    proprhandle *h = nullptr;

    void open(const RawStoreOptions &o)
    {
        store = std::make_unique<TreeStore>(o);
        h = store->handle();
    }
    void SetUp() override { open(RawStoreOptions{.numpage = 2048}); }

    // A transaction whose parent tnode is logged, as the key operations do.
    void begin(u32 parent = kRoot)
    {
        ASSERT_EQ(proprutbeginlog(h, 12), PROP_OK);
        ASSERT_EQ(proprutlog(h, parent, nullptr), PROP_OK);
    }
    void commit() { ASSERT_EQ(proprutfsu(h), PROP_OK); }

    u32 add(const std::string &name, u32 child_page, u32 parent = kRoot)
    {
        key_desc child{}, par{};
        child.kd_name = const_cast<char *>(name.c_str());
        child.kd_namelen = static_cast<u32>(name.size());
        child.kd_tnode = child_page;
        par.kd_tnode = parent;
        return proprutckce(h, &child, &par);
    }
    u32 find(const std::string &name, u32 parent = kRoot, u32 *child = nullptr)
    {
        key_desc kd{};
        u32 rc = proprutfkce(h, parent, name.c_str(), &kd);
        if (child != nullptr) *child = kd.kd_tnode;
        return rc;
    }
    u32 remove(const std::string &name, u32 parent = kRoot)
    {
        key_desc kd{};
        kd.kd_name = const_cast<char *>(name.c_str());
        kd.kd_namelen = static_cast<u32>(name.size());
        kd.kd_parent = parent;
        return proprutdkce(h, &kd, PROPR_FREE_DEFERRED);
    }

    Block root() const { return store->page(kRoot); }
    std::vector<u32> direct() const { return list_of(root(), KCE_LIST_DIRECT, KCE_NUM_DIRECT); }
    std::vector<u32> addrs() const { return list_of(root(), KCE_LIST_ADDR, KCE_NUM_ADDR); }
    u32 num_subkey() const { return be32_at(root().data(), KCE_OFF_NUM_SUBKEY); }

    void expect_dense_lists() const
    {
        EXPECT_TRUE(dense(direct()));
        EXPECT_TRUE(dense(addrs()));
        for (u32 a : addrs()) {
            if (a == 0) break;
            EXPECT_TRUE(dense(list_of(store->page(a), KCE_LIST_IN_ADDR, KCE_NUM_IN_ADDR)));
        }
    }
    // Where entries live: 0 in-tnode only, 1 direct pages, 2 ADDR pages.
    int phase() const
    {
        Block r = root();
        if (be32_at(r.data(), KCE_LIST_ADDR) != 0) return 2;
        return be32_at(r.data(), KCE_LIST_DIRECT) != 0 ? 1 : 0;
    }
};

TEST_F(Kce, TenThousandChildrenFillEveryAreaInOrderAndLeaveNoTrace)
{
    const u32 n = 10000, entry = kce_entry_size(10);
    begin();
    int seen = 0;
    Block before = root();
    for (u32 i = 0; i < n; i++) {
        ASSERT_EQ(add(child_name(i), 50000 + i), 0u) << i;
        // Searched twice between changes, as a batch searches its parent.
        ASSERT_EQ(find(child_name(i)), PROP_R_FOUND) << i;
        ASSERT_EQ(find(child_name(i + 1)), PROP_R_NOTFOUND) << i;
        if (int now = phase(); now != seen) {
            // An area is opened only when the one before it is full.
            ASSERT_EQ(now, seen + 1) << i;
            if (now == 1) {
                EXPECT_FALSE(kce_fits_tnode(before.data(), entry)) << i;
            } else {
                std::vector<u32> d = list_of(before, KCE_LIST_DIRECT, KCE_NUM_DIRECT);
                EXPECT_EQ(std::count(d.begin(), d.end(), 0u), 0) << i;
            }
            seen = now;
        }
        before = root();
    }
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(add("one-too-many", 1), PROP_E_MAXSUBKEY);
    EXPECT_EQ(num_subkey(), n);
    expect_dense_lists();
    commit();
    for (u32 i = 0, child = 0; i < n; i++) {
        ASSERT_EQ(find(child_name(i), kRoot, &child), PROP_R_FOUND) << i;
        ASSERT_EQ(child, 50000 + i);
    }

    std::vector<u32> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    begin();
    for (u32 k = 0; k < n; k++) {
        ASSERT_EQ(remove(child_name(order[k])), 0u) << order[k];
        if (k % 1000 == 0) expect_dense_lists();
    }
    commit();
    EXPECT_EQ(num_subkey(), 0u);
    EXPECT_EQ(direct(), std::vector<u32>(KCE_NUM_DIRECT, 0));
    EXPECT_EQ(addrs(), std::vector<u32>(KCE_NUM_ADDR, 0));
    // Every KCE and ADDR page went back to free space.
    u32 used = 99;
    ASSERT_EQ(proprut_used_pages(h, &used), PROP_OK);
    EXPECT_EQ(used, 0u);
}

TEST_F(Kce, OldClusterAtCachingLevelStopsAt4096WithoutAddrPages)
{
    open(RawStoreOptions{.numpage = 256, .boot_level = PROP_LEVEL_CACHING});
    std::snprintf(h->proprhandle_zkvctx->active_version, 64, "%s", "12.1.0.2.0");
    begin();
    for (u32 i = 0; i < 4096; i++) ASSERT_EQ(add(child_name(i, "name-", 7), 9000 + i), 0u) << i;
    EXPECT_EQ(add(child_name(4096, "name-", 7), 1), PROP_E_MAXSUBKEY);
    EXPECT_EQ(num_subkey(), 4096u);
    std::vector<u32> d = direct();
    EXPECT_EQ(std::count(d.begin(), d.end(), 0u), 0);  // every direct page in use
    EXPECT_EQ(addrs(), std::vector<u32>(KCE_NUM_ADDR, 0));
}

TEST_F(Kce, ChangedPagesAreSavedOnceAndRollBack)
{
    // 3000-byte names: one in the tnode, one per direct KCE page, then the
    // 27th under an ADDR page.
    std::string big(3000, 'a');
    begin();
    for (u32 i = 0; i < 27; i++) ASSERT_EQ(add(big + std::to_string(i), 100 + i), 0u);
    commit();
    u32 addr_page = addrs()[0], kce_page = direct()[0];
    Block old_root = root(), old_addr = store->page(addr_page), old_kce = store->page(kce_page);

    begin();
    ASSERT_EQ(add(big + "27", 127), 0u);  // a second KCE page under the ADDR page
    ASSERT_EQ(remove(big + "1"), 0u);     // empties the first direct page
    ASSERT_EQ(add("small", 7), 0u);       // and reuses a direct page
    u32 copy = addrs()[0];
    EXPECT_EQ(store->page(addr_page), old_addr);  // replaced, never overwritten
    // Images: the root (saved by the caller) and the first direct page, once.
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_ltail, 2u);
    ASSERT_EQ(ut_pending_flush(h), PROP_OK);
    Block image = store->read(0, store->log_slot_addr(2));
    EXPECT_TRUE(std::equal(old_kce.begin() + 32, old_kce.end(), image.begin() + 32));

    ASSERT_EQ(proprrecover(store->ctx(), PROPR_RECOVER_HOLDS_LOCK), PROP_OK);
    EXPECT_EQ(root(), old_root);
    EXPECT_EQ(store->page(kce_page), old_kce);
    EXPECT_EQ(page_is_free(h, copy), 1u);
}

TEST_F(Kce, BadPagesAndMissingNamesAreRefused)
{
    store->put_page(5, PROPR_BLK_VAL, 0);
    EXPECT_EQ(find("a", 5), PROP_R_BADTNODE);
    EXPECT_EQ(add("a", 1, 5), PROP_R_BADTNODE);
    EXPECT_EQ(remove("a", 5), PROP_R_BADTNODE);

    begin();
    EXPECT_EQ(remove("absent"), PROP_R_NOTFOUND);
    EXPECT_EQ(add(std::string(4040, 'z'), 1), PROP_E_NOSPACE);  // no page can hold it
    EXPECT_EQ(direct()[0], 0u);
    ASSERT_EQ(add(std::string(3489, 'q'), 1), 0u);  // the largest the tnode takes
    ASSERT_EQ(add("spill", 2), 0u);
    commit();  // the page is on disk, to be spoilt there
    begin();
    store->put_page(direct()[0], PROPR_BLK_VAL, 0);
    EXPECT_EQ(find("nothere"), PROP_E_STORAGE);
    EXPECT_EQ(add("more", 3), PROP_E_STORAGE);
    EXPECT_EQ(remove("spill"), PROP_E_STORAGE);
    EXPECT_EQ(num_subkey(), 2u);
}

}  // namespace

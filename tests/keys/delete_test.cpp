// Deleting keys through the export: a subtree whose entries fill every kind
// of entry page is found, listed whole (in one buffer, or none when memory
// runs out) and gives every page back; a refused or failed delete changes
// nothing (a page of the wrong type is refused by the tree code itself),
// and a handle whose key is gone can never write.
#include <pthread.h>

#include <functional>

#include "format/cursor.h"
#include "tree/slotted.h"
#include "keys_fixture.h"

namespace {

constexpr uint32_t kFanOut = 420;  // past the 25 direct KCE pages

using DeleteTest = KeysTest;

std::string child(uint32_t i)
{
    return "SYSTEM.fan." + long_name(i);
}

// Finding, listing and deleting a key whose children fill its own entry
// area, the 25 direct KCE pages and KCE pages under an ADDR page; every
// 40th child has a grandchild with a three-page value and every 70th a
// two-page value of its own.
TEST_F(DeleteTest, EveryChildIsListedOnceAndARecursiveDeleteFreesEveryPage)
{
    uint64_t before = view().used_pages();
    {
        Key fan = make(system_, "fan");
        for (uint32_t i = 0; i < kFanOut; i++) {
            Key c = make(fan, long_name(i));
            const auto seed = static_cast<uint8_t>(i);
            if (i % 70 == 0) {
                ASSERT_EQ(view().set(c, pattern(5000, seed)), PROP_OK);
            }
            if (i % 40 == 0) {
                ASSERT_EQ(view().set(make(c, "g"), pattern(9000, seed)), PROP_OK);
            }
        }
        EntryPages pages = entry_pages(ctx()->propb_ctx, fan);
        ASSERT_EQ(pages.direct.size(), 25u);
        ASSERT_EQ(pages.addr.size(), 1u);
        ASSERT_GE(pages.indirect.size(), 2u);

        uint64_t blocks = store_->live_blocks();
        Listing l = list_subkeys(ctx(), fan);
        ASSERT_EQ(l.rc, PROP_OK);
        // Nothing was ever deleted, so disk order is the order of creation.
        for (uint32_t i = 0; i < kFanOut; i++) EXPECT_EQ(l.names.at(i), long_name(i));
        EXPECT_EQ(l.num_keys, kFanOut);
        EXPECT_EQ(l.buflen, kFanOut * (245 + 1) + 1);
        EXPECT_EQ(l.bytes.back(), '\0');
        EXPECT_EQ(l.allocated, 4096u * (1 + pages.direct.size() + pages.indirect.size()));
        EXPECT_EQ(store_->live_blocks(), blocks) << "the buffer was the only block handed out";
        prop_fe_meta_fail_from(store_->meta(), 1);
        l = list_subkeys(ctx(), fan);
        prop_fe_meta_fail_from(store_->meta(), 0);
        EXPECT_EQ(std::tie(l.rc, l.buffer), std::make_tuple(uint32_t{PROP_E_NOMEM}, false));
        EXPECT_EQ(store_->live_blocks(), blocks);
    }
    // Without the key cache a walk waits for the device once per group of
    // pages: the root's, SYSTEM's and fan's tnodes, the direct KCE pages,
    // the ADDR page, its KCE pages and the child's tnode.
    reopen(PROP_LEVEL_READONLY);
    const uint64_t waits = store_->faults().read_waits();
    view().open(child(419).c_str());
    EXPECT_LE(store_->faults().read_waits() - waits, 7u);
    reopen();
    StoreView v = view();
    {
        Key fan = v.open("SYSTEM.fan");
        // Cache names below the key, so that a stale cache would show.
        for (uint32_t i : {0u, 40u, 419u}) Key k = v.open(child(i).c_str());
        Key g = v.open((child(400) + ".g").c_str());
        ASSERT_EQ(prop_delete_key(ctx(), fan.get(), 1, 0), PROP_OK);
    }
    EXPECT_EQ(v.used_pages(), before);
    for (const std::string &name : {std::string("SYSTEM.fan"), child(0), child(40), child(419), child(400) + ".g"})
        EXPECT_EQ(v.open_rc(name), static_cast<uint32_t>(PROP_E_STALE)) << name.substr(0, 20);
}

TEST_F(DeleteTest, APlainDeleteRefusesAKeyWithSubkeysAndStrandsEveryOtherHandle)
{
    StoreView v = view();
    uint64_t before = v.used_pages();
    Key p = make(system_, "p");
    Key c = make(p, "c");
    ASSERT_EQ(v.set(c, pattern(5000, 1)), PROP_OK);
    uint64_t made = v.used_pages();
    uint32_t lsn = lsn_of(ctx());

    EXPECT_EQ(prop_delete_key(ctx(), p.get(), 0, 0), static_cast<uint32_t>(PROP_E_NOTEMPTY));
    EXPECT_EQ(lsn_of(ctx()), lsn) << "refused before anything was written";
    Key other = v.open("SYSTEM.p.c");

    EXPECT_EQ(prop_delete_key(ctx(), c.get(), 0, 0), PROP_OK);
    EXPECT_EQ(v.used_pages(), made - 3) << "the tnode and two value pages";
    expect_all_refused(v, other, system_, PROP_E_STALE);
    Listing none = list_subkeys(ctx(), p);  // no subkeys: no buffer at all
    EXPECT_EQ(std::tie(none.rc, none.num_keys, none.buflen, none.buffer), std::make_tuple(0u, 0u, 0u, false));
    EXPECT_EQ(prop_delete_key(ctx(), p.get(), 0, 0), PROP_OK);
    EXPECT_EQ(v.used_pages(), before);
}

// Runs fn on a thread whose stack is small: a walk that recursed once per
// level of the tree would overflow it long before the bottom.
void run_on_small_stack(const std::function<void()> &fn)
{
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    pthread_t t;
    auto body = [](void *arg) -> void * {
        (*static_cast<const std::function<void()> *>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&t, &attr, body, const_cast<std::function<void()> *>(&fn)), 0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
}

// The key cache holds keys down to depth 128: below it the tree alone
// says whether a handle's key is still there.
TEST_F(DeleteTest, ADeepChainIsUsableBelowTheCacheAndDeletedWithoutDeepRecursion)
{
    StoreView v = view();
    uint64_t before = v.used_pages();
    std::string chain = "d";
    for (int i = 1; i < 500; i++) chain += ".d";
    make(system_, chain);
    const std::string deep_name = "SYSTEM." + chain.substr(0, 2 * 130 - 1);  // depth 131
    Key deep = v.open(deep_name.c_str());
    ASSERT_EQ(v.set(deep, pattern(5000, 7)), PROP_OK);
    EXPECT_EQ(v.get(v.open(deep_name.c_str())).bytes, pattern(5000, 7));

    Key top = v.open("SYSTEM.d");
    uint32_t rc = 1;
    run_on_small_stack([&] { rc = prop_delete_key(ctx(), top.get(), 1, 0); });
    EXPECT_EQ(rc, PROP_OK);
    EXPECT_EQ(v.used_pages(), before);
    EXPECT_EQ(v.set(deep, pattern(10, 1)), static_cast<uint32_t>(PROP_E_STALE));
}

TEST_F(DeleteTest, AnEntryLeadingBackUpTheTreeFailsTheDeleteWithNothingFreed)
{
    StoreView v = view();
    Key loop = make(system_, "loop");
    Key a = make(loop, "a");
    Key b = make(a, "b");
    uint64_t used = v.used_pages();
    // a's only entry ("b") is made to name loop's tnode instead.
    uint32_t addr = ut_page_addr(ctx()->propb_ctx, tnode_of(a));
    std::string good = store_->read_block(0, addr);
    std::string bad = good;
    const auto *raw = reinterpret_cast<const uint8_t *>(good.data());
    uint32_t loc = be32_at(raw, KCE_TNODE_START + KCE_AREA_HEADER + 4);
    be32_put(reinterpret_cast<uint8_t *>(bad.data()), static_cast<int32_t>(loc + 1 + 1), tnode_of(loop));
    store_->write_block(0, addr, restamped(bad));

    EXPECT_EQ(prop_delete_key(ctx(), loop.get(), 1, 0), static_cast<uint32_t>(PROP_E_STORAGE));
    EXPECT_EQ(v.used_pages(), used);
    store_->write_block(0, addr, good);
    EXPECT_EQ(prop_delete_key(ctx(), loop.get(), 1, 0), PROP_OK);
}

// At the CACHING level a key may be missing from the cache and still
// exist, so a miss does not condemn a handle: the tree decides.
TEST_F(DeleteTest, AtTheCachingLevelAnEvictedKeyStillWorksButADeletedOneNeverWrites)
{
    reopen(PROP_LEVEL_CACHING);
    StoreView v = view();
    proprch_ctx *cache = ctx()->propb_ctx->proprhandle_cache;
    Key a = make(system_, "s");
    Key b = v.open("SYSTEM.s");
    ASSERT_EQ(proprch_delete(cache, "SYSTEM.s", 1, 0, 0), PROP_OK);
    EXPECT_EQ(v.set(b, pattern(300, 1)), PROP_OK) << "live, only evicted";
    EXPECT_EQ(v.get(a).bytes, pattern(300, 1));

    // The key goes, and its tnode page is given to the next key made.
    uint32_t page = tnode_of(a);
    ASSERT_EQ(prop_delete_key(ctx(), a.get(), 0, 0), PROP_OK);
    Key t = make(system_, "t");
    ASSERT_EQ(tnode_of(t), page) << "the freed page is taken again";
    expect_all_refused(v, b, system_, PROP_E_STALE);
    Value tv = v.get(v.open("SYSTEM.t"));
    EXPECT_EQ(tv.rc, PROP_OK);
    EXPECT_TRUE(tv.bytes.empty()) << "the new key's tnode was not written through the stale handle";

    // The same name made again lives elsewhere: the handle is refused too.
    Key s2 = make(system_, "s");
    ASSERT_NE(tnode_of(s2), page);
    ASSERT_EQ(proprch_delete(cache, "SYSTEM.s", 1, 0, 0), PROP_OK);
    EXPECT_EQ(v.set(b, pattern(10, 2)), static_cast<uint32_t>(PROP_E_KEYH));
    EXPECT_TRUE(v.get(s2).bytes.empty());
}

}  // namespace

// Deleting keys through the export: a subtree whose entries fill every kind
// of entry page is listed whole and gives every page back, a refused or
// failed delete changes nothing (a page of the wrong type is refused by the
// tree code itself), and a handle whose key is gone can never write.
#include <pthread.h>

#include <functional>

#include "format/cursor.h"
#include "tree/slotted.h"
#include "keys_fixture.h"

namespace {

constexpr uint32_t kFanOut = 420;  // past the 25 direct KCE pages

class DeleteTest : public KeysTest {
  protected:
    // SYSTEM.fan: kFanOut children; every 40th has a grandchild with a
    // three-page value and every 70th a two-page value of its own.
    Key make_fan() const
    {
        StoreView v = view();
        Key fan = make(system_, "fan");
        for (uint32_t i = 0; i < kFanOut; i++) {
            Key c = make(fan, long_name(i));
            if (i % 70 == 0) {
                EXPECT_EQ(v.set(c, pattern(5000, static_cast<uint8_t>(i))), PROP_OK);
            }
            if (i % 40 == 0) {
                Key g = make(c, "g");
                EXPECT_EQ(v.set(g, pattern(9000, static_cast<uint8_t>(i))), PROP_OK);
            }
        }
        return fan;
    }
    static std::string child(uint32_t i) { return "SYSTEM.fan." + long_name(i); }
};

// Listing and deleting a key whose children fill its own entry area, the
// 25 direct KCE pages and KCE pages under an ADDR page.
TEST_F(DeleteTest, EveryChildIsListedOnceAndARecursiveDeleteFreesEveryPage)
{
    StoreView v = view();
    uint64_t before = v.used_pages();
    {
        Key fan = make_fan();
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

        // Cache names below the key, so that a stale cache would show.
        for (uint32_t i : {0u, 40u, 419u}) Key k = v.open(child(i).c_str());
        Key g = v.open((child(400) + ".g").c_str());
        ASSERT_EQ(prop_delete_key(ctx(), fan.get(), 1, 0), PROP_OK);
    }
    EXPECT_EQ(v.used_pages(), before);
    auto gone = [&](StoreView view) {
        for (const std::string &name :
             {std::string("SYSTEM.fan"), child(0), child(40), child(419), child(400) + ".g"}) {
            EXPECT_EQ(view.open_rc(name), static_cast<uint32_t>(PROP_E_STALE)) << name.substr(0, 20);
        }
    };
    gone(v);
    reopen();
    gone(view());
    EXPECT_EQ(view().used_pages(), before);
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
    EXPECT_EQ(v.used_pages(), made);
    EXPECT_EQ(lsn_of(ctx()), lsn) << "refused before anything was written";
    Key other = v.open("SYSTEM.p.c");
    EXPECT_EQ(v.get(other).bytes, pattern(5000, 1));

    EXPECT_EQ(prop_delete_key(ctx(), c.get(), 0, 0), PROP_OK);
    EXPECT_EQ(v.used_pages(), made - 3) << "the tnode and two value pages";
    expect_all_refused(v, other, system_, PROP_E_STALE);
    EXPECT_EQ(list_subkeys(ctx(), p).num_keys, 0u);
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
    Key bottom = make(system_, chain);
    ASSERT_EQ(bottom.get()->propr_keyhandle_depth, 501u);
    const std::string deep_name = "SYSTEM." + chain.substr(0, 2 * 130 - 1);
    Key deep = v.open(deep_name.c_str());
    ASSERT_EQ(deep.get()->propr_keyhandle_depth, 131u);
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
class CachingDeleteTest : public DeleteTest {
  protected:
    void SetUp() override
    {
        store_->format();
        ASSERT_EQ(store_->init(PROP_LEVEL_CACHING), PROP_OK);
        system_ = view().open("SYSTEM");
    }
};

TEST_F(CachingDeleteTest, AnEvictedKeyStillWorksButADeletedOneNeverWrites)
{
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

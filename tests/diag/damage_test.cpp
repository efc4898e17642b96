// A byte flipped in any page of the tree, one page at a time.  With a
// mirror, the other copy serves every read and the damaged location, taken
// out of service, is copied back at the next open.  On a single location
// the reads that need the page fail with 26, never hand the damaged bytes
// on, and the corruption check names the page and its key.
#include <map>

#include "diag_fixture.h"
#include "io/pagecache.h"
#include "space/fcl.h"

namespace {

constexpr uint32_t kChildren = 40;  // enough for KCE pages beside the tnode's own area

template <uint32_t kLocations>
class Damage : public DiagTest {
  protected:
    Damage() : DiagTest(StoreOptions{kLocations}) {}

    // Keys owning every kind of page: a value inside the tnode, value pages,
    // and children in KCE pages.
    void build()
    {
        const sec_attr &sec = store.top_security();
        Key top = v.create(v.open("SYSTEM"), "d", sec);
        ASSERT_EQ(v.set(v.create(top, "small", sec), pattern(100, 1)), PROP_OK);
        ASSERT_EQ(v.set(v.create(top, "big", sec), pattern(9000, 2)), PROP_OK);
        Key fan = v.create(top, "fan", sec);
        for (uint32_t i = 0; i < kChildren; i++)
            ASSERT_EQ(v.set(v.create(fan, long_name(i).c_str(), sec), pattern(10 + i, 3)), PROP_OK);
        tree_ = observe_tree(ctx(), "SYSTEM");
    }

    // Every allocated page of the tree area, with the key that owns it.
    std::map<uint32_t, std::string> owners()
    {
        std::map<uint32_t, std::string> own;
        for (const auto &[name, seen] : tree_) {
            if (name == "used pages") continue;
            Key k = v.open(name.c_str());
            own[tnode_page(k)] = name;
            for (uint32_t i = 0; i < TNODE_NUM_DIRECT && value_page(k, i) != 0; i++) own[value_page(k, i)] = name;
            EntryPages e = entry_pages(handle(), k);
            for (const auto *list : {&e.direct, &e.addr, &e.indirect})
                for (uint32_t p : *list) own[p] = name;
        }
        EXPECT_EQ(proprut_read_fcl(handle(), 0), PROP_OK);
        const u8 *bits = handle()->proprhandle_fcl[0]->propr_fcl_page;
        for (uint32_t p = 1; p < 32512; p++)
            if ((bits[(p - 1) / 8] >> ((p - 1) % 8) & 1) != 0 && own.count(p) == 0)
                own[p] = "";  // a key above the tree built here
        return own;
    }

    // The block with one byte past its header changed, a different one for
    // each page.
    static std::string flipped(std::string block, uint32_t page)
    {
        block[32 + (page * 997) % (4096 - 32)] ^= 0x5a;
        return block;
    }

    // Opens the store as a front end does: init, then the recovery that
    // also brings stale locations up to date.
    void open_store()
    {
        ASSERT_EQ(store.init(), PROP_OK);
        v.ctx = store.ctx();
        ASSERT_EQ(prop_recover(ctx(), 0), PROP_OK);
    }
    void reopen()
    {
        ASSERT_EQ(store.terminate(), 0u);
        open_store();
    }

    // Builds the tree, then for each page in use puts a copy with one byte
    // changed on location slot, opens the store and hands it to
    // check(page, owner, addr, good), which leaves the store open.
    template <class Check> void damage_each_page(uint32_t slot, Check check)
    {
        build();
        const std::map<uint32_t, std::string> pages = owners();
        ASSERT_GT(pages.size(), kChildren + 5);
        for (const auto &[page, owner] : pages) {
            SCOPED_TRACE("page " + std::to_string(page) + " of " + owner.substr(0, 20));
            const uint32_t addr = handle()->proprhandle_rtnst + 4096 * page;
            const std::string good = store.read_block(slot, addr);
            ASSERT_EQ(store.terminate(), 0u);
            store.write_block(slot, addr, flipped(good, page));
            open_store();
            check(page, owner, addr, good);
            if (HasFatalFailure()) return;
        }
    }

    // Opens, reads and lists every key of the tree: each either matches what
    // was written or fails with 26.  How many failed.
    uint32_t read_all()
    {
        uint32_t failed = 0;
        auto judge = [&](uint32_t rc, bool same, const std::string &name) {
            EXPECT_TRUE(rc == PROP_E_STORAGE || (rc == 0 && same)) << name << ": " << rc;
            failed += rc != 0 ? 1 : 0;
        };
        for (const auto &[name, seen] : tree_) {
            if (name == "used pages") continue;
            uint32_t rc = 0;
            Key k = v.open(name.c_str(), &rc);
            judge(rc, true, name);
            if (rc != 0) continue;
            Value got = v.get(k);
            const std::string bytes(got.bytes.begin(), got.bytes.end());
            judge(got.rc, seen.compare(0, bytes.size() + 1, bytes + "/") == 0, name);
            Listing l = list_subkeys(ctx(), k);
            judge(l.rc, true, name);
        }
        return failed;
    }

    std::map<std::string, std::string> tree_;
};

using MirrorDamage = Damage<2>;
using SingleDamage = Damage<1>;

TEST_F(MirrorDamage, TheOtherCopyServesAndTheDamagedOneIsCopiedBack)
{
    damage_each_page(1, [&](uint32_t, const std::string &, uint32_t addr, const std::string &good) {
        EXPECT_EQ(observe_tree(ctx(), "SYSTEM"), tree_);
        // Two reads in a row start on different locations, so one of them
        // meets the damaged copy whatever the walk read before (and kept).
        for (int i = 0; i < 2; i++) {
            pagecache_clear(handle());
            std::string b(4096, '\0');
            ASSERT_EQ(proprior(handle(), b.data(), 4096, addr, 0, PROPRIO_ALL), PROP_OK);
            ASSERT_TRUE(b == good);
        }
        EXPECT_EQ(handle()->proprhandle_native_state[1], static_cast<uint32_t>(PROP_SLOT_UNUSABLE));
        reopen();
        EXPECT_TRUE(store.read_block(1, addr) == good) << "the damaged location was not copied back";
        EXPECT_EQ(handle()->proprhandle_native_state[1], static_cast<uint32_t>(PROP_SLOT_OPEN));
    });
}

TEST_F(SingleDamage, ReadsFailWith26AndTheCheckNamesThePageAndItsKey)
{
    damage_each_page(0, [&](uint32_t page, const std::string &owner, uint32_t addr, const std::string &good) {
        if (!owner.empty()) {
            EXPECT_GT(read_all(), 0u) << "the damaged page was never refused";
        }
        reopen();
        Traced t = check(ctx());
        EXPECT_NE(t.rc, PROP_OK);
        bool named = false;
        for (const std::string &line : t.lines)
            named |= line.find("page [" + std::to_string(page) + "]") != std::string::npos &&
                     line.find("key [" + owner) != std::string::npos;
        EXPECT_TRUE(named) << t.all();
        ASSERT_EQ(store.terminate(), 0u);
        store.write_block(0, addr, good);
        open_store();
    });
    EXPECT_EQ(read_all(), 0u);
}

}  // namespace

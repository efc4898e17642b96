// The logical corruption check on sound stores, on stores damaged in the
// ways a crash or a bad block leaves them, and on stores of garbage; and
// the recursive permission check over the same trees.
#include <functional>

#include "diag_fixture.h"
#include "format/storemap.h"
#include "space/fcl.h"
#include "tree/kce_pages.h"
#include "tree/slotted.h"

namespace {

class Check : public DiagTest {
  protected:
    explicit Check(StoreOptions options = {}) : DiagTest(options) {}

    // n long-named children of parent, made in one batch.
    void add_children(const Key &parent, uint32_t n)
    {
        BatchBuilder b;
        for (uint32_t i = 0; i < n; i++) b.add(PROP_BATCH_CREATE_KEY, parent.get(), long_name(i).c_str()).sec = store.top_security();
        ASSERT_EQ(prop_batch_execute(ctx(), b.get(), 0), PROP_OK);
        for (propr_keyhandle *h : b.take_handles()) prop_close(ctx(), h);
    }
    // Flips the bit of page in the current copy of bitmap page 0.
    uint32_t flip_bit(uint32_t page)
    {
        EXPECT_LE(page, 32512u);
        std::string b = get_block(ctx(), (propr_fcl_addr(0, handle()->proprhandle_fcl[0]->free_space_addr) >> 12) + 25).bytes;
        b[32 + (page - 1) / 8] = static_cast<char>(b[32 + (page - 1) / 8] ^ (1 << ((page - 1) % 8)));
        return set_block(ctx(), b);
    }
};

TEST_F(Check, ABusyStoreIsSoundAndALeakedPageIsNoCorruption)
{
    // Every kind of page a key can own: values of 0 to 20 pages, children
    // in the tnode, in KCE pages and behind ADDR pages; and the traces of
    // deletes, moves and security changes.
    const sec_attr &sec = store.top_security();
    Key system = v.open("SYSTEM");
    Key values = v.create(system, "values", sec);
    const uint32_t sizes[] = {0, 100, 257, 5000, 81536};
    for (uint32_t i = 0; i < 5; i++) {
        Key k = v.create(values, ("v" + std::to_string(i)).c_str(), sec);
        if (sizes[i] == 0) continue;
        ASSERT_EQ(v.set(k, pattern(sizes[i], static_cast<uint8_t>(i))), PROP_OK);
    }
    Key wide = v.create(system, "wide", sec);
    add_children(wide, 400);
    for (uint32_t i = 0; i < 400; i += 7) {
        Key c = v.open(("SYSTEM.wide." + long_name(i)).c_str());
        ASSERT_EQ(prop_delete_key(ctx(), c.get(), 0, 0), PROP_OK);
    }
    Key moved = v.open("SYSTEM.values.v3");
    Key dest = v.create(system, "dest", sec);
    propr_keyhandle *out = nullptr;
    ASSERT_EQ(prop_move_key(ctx(), moved.get(), dest.get(), "v3", nullptr, &out, 0), PROP_OK);
    prop_close(ctx(), out);
    ASSERT_EQ(prop_set_security(ctx(), dest.get(), &sec, 0), PROP_OK);
    Traced busy = check(ctx());
    EXPECT_EQ(busy.rc, PROP_OK) << busy.all();
    EXPECT_FALSE(busy.has("LEAKED")) << busy.all();

    // A leaked page is listed, but is no corruption.
    const uint32_t page = 32000;  // free, and covered by bitmap page 0
    ASSERT_EQ(flip_bit(page), 0u);
    Traced t = check(ctx());
    EXPECT_EQ(t.rc, PROP_OK) << t.all();
    EXPECT_TRUE(t.has("LEAKED PAGE: page [" + std::to_string(page) + "]")) << t.all();
}

TEST_F(Check, AValuePageTheMapCallsFreeIsNamedAndTheWalkGoesOn)
{
    Key system = v.open("SYSTEM");
    Key a = v.create(system, "a", store.top_security());
    Key b = v.create(system, "b", store.top_security());
    ASSERT_EQ(v.set(a, pattern(5000, 1)), PROP_OK);
    ASSERT_EQ(v.set(b, pattern(5000, 2)), PROP_OK);
    ASSERT_EQ(flip_bit(value_page(a, 1)), 0u);
    ASSERT_EQ(flip_bit(value_page(b, 0)), 0u);
    Traced t = check(ctx());
    EXPECT_EQ(t.rc, PROP_E_CORRUPT);
    EXPECT_TRUE(t.has("FCL map shows an allocated block [" + std::to_string(value_page(a, 1)) + "] as free"));
    EXPECT_TRUE(t.has("Keyname:[SYSTEM.a]")) << t.all();
    EXPECT_TRUE(t.has("Keyname:[SYSTEM.b]")) << t.all();
}

TEST_F(Check, TwoTnodesClaimingOnePageAreReportedWithBothNames)
{
    Key system = v.open("SYSTEM");
    Key a = v.create(system, "a", store.top_security());
    Key b = v.create(system, "b", store.top_security());
    const uint32_t pa = tnode_page(a), pb = tnode_page(b);
    ASSERT_EQ(patch_page(tnode_page(system), [&](std::string &t) {
                  auto *raw = reinterpret_cast<uint8_t *>(t.data());
                  kce_for_each(raw, KCE_TNODE_START, [&](const kce_hit &h) {
                      if (h.child == pb) be32_put(raw, static_cast<int32_t>(h.loc + h.size - 4), pa);
                      return true;
                  });
              }),
              0u);
    Traced t = check(ctx());
    EXPECT_EQ(t.rc, PROP_E_CORRUPT);
    EXPECT_TRUE(t.has("Tnode block for key [SYSTEM.b] and tnode for key [SYSTEM.a] points to same block number [" +
                      std::to_string(pa) + "]"))
        << t.all();
}

TEST_F(Check, ACorruptValueSizeIsReportedWithoutReadingPastTheTnode)
{
    Key k = v.create(v.open("SYSTEM"), "k", store.top_security());
    ASSERT_EQ(v.set(k, pattern(5000, 1)), PROP_OK);
    add_children(k, 40);  // KCE pages follow the value-page list in the tnode
    ASSERT_EQ(patch_page(tnode_page(k), [](std::string &t) { put_be32(t, TNODE_OFF_VALUE_SIZE, 0xffffff00u); }), 0u);
    Traced t = check(ctx());
    EXPECT_EQ(t.rc, PROP_E_CORRUPT);
    EXPECT_EQ(t.lines.size(), 1u) << "one finding: " << t.all();
    EXPECT_TRUE(t.has("key [SYSTEM.k] has a value size of 4294967040 bytes")) << t.all();
}

// A mirrored store damaged in one way per case, through set-block or on a
// location's file, and the finding the check must give for it.
class Harm : public Check {
  protected:
    Harm() : Check(StoreOptions{2}) {}

  public:
    using DiagTest::handle;
    using DiagTest::number_of_page;

    uint32_t page_of(const char *key) { return tnode_page(v.open(key)); }
    template <class F> void patch(const char *key, F change) { ASSERT_EQ(patch_page(page_of(key), change), 0u); }
    void rename_child(std::string &t, const std::string &from, const std::string &to)
    {
        auto *raw = reinterpret_cast<uint8_t *>(t.data());
        kce_for_each(raw, KCE_TNODE_START, [&](const kce_hit &h) {
            if (t.compare(h.loc, h.size - 5, from) == 0) t.replace(h.loc, to.size(), to);
            return true;
        });
    }
    // Rewrites a block on the given locations' files, the store closed.
    void on_files(std::initializer_list<uint32_t> slots, uint32_t addr, const std::function<void(std::string &)> &change)
    {
        ASSERT_EQ(store.terminate(), 0u);
        for (uint32_t slot : slots) {
            std::string b = store.read_block(slot, addr);
            change(b);
            store.write_block(slot, addr, b);
        }
        ASSERT_EQ(store.init(), PROP_OK);
        v.ctx = store.ctx();
    }
    uint32_t addr_of(uint32_t page) const { return handle()->proprhandle_rtnst + 4096 * page; }
};

struct HarmCase {
    const char *what;
    std::function<std::string(Harm &)> damage;  // the finding expected
};

const HarmCase kHarms[] = {
    {"the last KCE page of a key unlinked",
     [](Harm &h) {
         std::string kce;
         h.patch("SYSTEM.fan", [&](std::string &t) {
             const size_t last = TNODE_OFF_KCE_PAGE_ADDR + 4 * (be32(t, TNODE_OFF_KCE_PAGE_ADDR + 4) != 0 ? 1 : 0);
             kce = std::to_string(be32(t, last));
             put_be32(t, last, 0);
         });
         return "LOST SUBTREE: page [" + kce + "] (block ";
     }},
    {"a subkey count of 0 over two children",
     [](Harm &h) {
         h.patch("SYSTEM.pair", [](std::string &t) { put_be32(t, TNODE_OFF_NUM_SUBKEY, 0); });
         return std::string("key [SYSTEM.pair] counts 0 subkeys but its child entries name 2");
     }},
    {"two children of one name",
     [](Harm &h) {
         h.patch("SYSTEM.pair", [&](std::string &t) { h.rename_child(t, "c2", "c1"); });
         return std::string("key [SYSTEM.pair] has two child entries named [c1]");
     }},
    {"a child name holding a dot",
     [](Harm &h) {
         h.patch("SYSTEM.pair", [&](std::string &t) { h.rename_child(t, "c2", "c."); });
         return std::string("key [SYSTEM.pair] has a child entry [c.] that is no valid key name");
     }},
    {"an owner id past the owner table",
     [](Harm &h) {
         h.patch("SYSTEM.small", [](std::string &t) { put_be32(t, TNODE_OFF_OWNER_ID, 99); });
         return std::string("key [SYSTEM.small] has owner id 99, which names no entry of the owner table");
     }},
    {"a value size cut short of its pages",
     [](Harm &h) {
         std::string third;
         h.patch("SYSTEM.big", [&](std::string &t) {
             third = std::to_string(be32(t, TNODE_OFF_DIRECT_ADDR + 8));
             put_be32(t, TNODE_OFF_VALUE_SIZE, 5000);
         });
         return "of key [SYSTEM.big] holds page number " + third + " at offset 330, in a value page slot";
     }},
    {"a KCE page number after the end of the list",
     [](Harm &h) {
         h.patch("SYSTEM.pair", [](std::string &t) { put_be32(t, TNODE_OFF_KCE_PAGE_ADDR + 4 * 24, 3); });
         return std::string("of key [SYSTEM.pair] holds page number 3 at offset 502, in a slot past the end of its kce page list");
     }},
    {"copies of a tnode that differ while both verify",
     [](Harm &h) {
         const uint32_t page = h.page_of("SYSTEM.small");
         h.on_files({1}, h.addr_of(page), [](std::string &b) {
             b[TNODE_OFF_INLINE_VALUE] ^= 1;
             hdr_stamp_checksum(reinterpret_cast<uint8_t *>(b.data()), 4096);
         });
         return "page [" + std::to_string(page) + "] (block " + std::to_string(h.number_of_page(page)) +
                ") of key [SYSTEM.small] differs between locations 0 and 1, though both copies verify";
     }},
    {"a bitmap page bad on every location",
     [](Harm &h) {
         const uint32_t addr = propr_fcl_addr(0, h.handle()->proprhandle_fcl[0]->free_space_addr);
         h.on_files({0, 1}, addr, [](std::string &b) { b[100] ^= 1; });
         return std::string("bitmap page 0 does not verify on any location");
     }},
};

TEST_F(Harm, EachDamageIsFoundAsCorruption)
{
    for (const HarmCase &c : kHarms) {
        SCOPED_TRACE(c.what);
        const sec_attr &sec = store.top_security();
        {
            Key system = v.open("SYSTEM");
            add_children(v.create(system, "fan", sec), 40);  // children in two KCE pages
            Key pair = v.create(system, "pair", sec);
            v.create(pair, "c1", sec);
            v.create(pair, "c2", sec);
            ASSERT_EQ(v.set(v.create(system, "big", sec), pattern(9000, 1)), PROP_OK);
            ASSERT_EQ(v.set(v.create(system, "small", sec), pattern(10, 2)), PROP_OK);
        }
        ASSERT_EQ(check(ctx()).rc, PROP_OK);
        const std::string expected = c.damage(*this);
        Traced t = check(ctx());
        EXPECT_EQ(t.rc, PROP_E_CORRUPT);
        EXPECT_TRUE(t.has(expected)) << expected << "\n" << t.all();
        // A new store in place of the damaged one.
        ASSERT_EQ(store.terminate(), 0u);
        store.format();
        ASSERT_EQ(store.init(), PROP_OK);
        v.ctx = store.ctx();
    }
}

// The recursive permission check reaches every key below the one asked
// about, wherever its entry lies.
class Perm : public Check {};

TEST_F(Perm, AGrandchildBehindAnAddrPageDecidesAndBadHandlesAreRefused)
{
    const sec_attr &sec = store.top_security();
    Key top = v.create(v.open("SYSTEM"), "top", sec);
    // 13 long entries fill the tnode, 15 a KCE page, 25 KCE pages the
    // tnode's list: the last children sit in KCE pages an ADDR page lists.
    add_children(top, 400);
    ASSERT_NE(be32(page_bytes(tnode_page(top)), KCE_LIST_ADDR), 0u) << "the children reach an ADDR page";

    Key last = v.open(("SYSTEM.top." + long_name(399)).c_str());
    Key grandchild = v.create(last, "g", make_sec("nobody-here", "no-group-here", 63, 0, 0));
    EXPECT_EQ(prop_check_perm_recurse(ctx(), store.sec(), top.get(), PROP_PERM_READ), PROP_E_PERM);

    ASSERT_EQ(prop_set_security(ctx(), grandchild.get(), &sec, 0), PROP_OK);
    EXPECT_EQ(prop_check_perm_recurse(ctx(), store.sec(), top.get(), PROP_PERM_READ), PROP_OK);

    EXPECT_EQ(prop_check_perm_recurse(ctx(), store.sec(), nullptr, PROP_PERM_READ), PROP_E_KEYH);
    EXPECT_EQ(prop_check_perm_recurse(nullptr, store.sec(), top.get(), PROP_PERM_READ), PROP_E_CTX);
}

}  // namespace

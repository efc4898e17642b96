// Moving keys through the export: a subtree of any size moves in the same
// number of page writes, is found under its new name and not under its
// old one; an existing target goes in the same transaction; a move that
// would cut the subtree off the tree is refused and changes nothing.
#include "keys_fixture.h"

namespace {

class MoveTest : public KeysTest {
  protected:
    uint32_t move(const Key &src, const Key &parent, const char *name, const Key *tgt, Key *out) const
    {
        return prop_move_key(ctx(), src.get(), parent.get(), name, tgt != nullptr ? tgt->get() : nullptr, out->out(),
                             0);
    }
};

TEST_F(MoveTest, ASubtreeOfAThousandKeysMovesInTheWritesOfOneKey)
{
    StoreView v = view();
    Key big = make(system_, "big");
    std::vector<std::string> below;  // 10 children of 99 grandchildren each
    for (int c = 0; c < 10; c++) {
        below.push_back(".c" + std::to_string(c));
        Key child = make(big, below.back().substr(1));
        for (int g = 0; g < 99; g++) {
            below.push_back(".c" + std::to_string(c) + ".g" + std::to_string(g));
            Key gk = make(child, "g" + std::to_string(g));
        }
    }
    Key one = make(system_, "one");
    Key to = make(system_, "to");
    for (const std::string &n : below) Key k = v.open(("SYSTEM.big" + n).c_str());  // all cached

    uint64_t w0 = store_->faults().writes();
    Key moved_one(ctx());
    ASSERT_EQ(move(one, to, "one", nullptr, &moved_one), 0u);
    uint64_t w1 = store_->faults().writes();
    Key moved(ctx());
    ASSERT_EQ(move(big, to, "big", nullptr, &moved), 0u);
    uint64_t w2 = store_->faults().writes();
    EXPECT_EQ(w2 - w1, w1 - w0);

    EXPECT_STREQ(moved.get()->propr_keyhandle_keyname, "SYSTEM.to.big");
    for (const std::string &n : below) {
        ASSERT_EQ(v.open_rc("SYSTEM.big" + n), static_cast<uint32_t>(PROP_E_STALE)) << n;
        ASSERT_EQ(v.open_rc("SYSTEM.to.big" + n), 0u) << n;
    }
    for (const std::string &name : list_subkeys(ctx(), system_).names) EXPECT_TRUE(name != "big" && name != "one");
    // The old handle names a key that is no longer there; the new one works.
    EXPECT_EQ(v.set(big, pattern(10, 1)), static_cast<uint32_t>(PROP_E_STALE));
    EXPECT_EQ(v.set(moved, pattern(10, 1)), PROP_OK);
}

TEST_F(MoveTest, AnExistingTargetIsReplacedInTheSameTransaction)
{
    StoreView v = view();
    Key src = make(system_, "src");
    ASSERT_EQ(v.set(src, pattern(700, 1)), PROP_OK);
    Key dst = make(system_, "dst");
    uint64_t before_target = v.used_pages();
    Key tgt = make(dst, "x");
    Key tc = make(tgt, "child");
    ASSERT_EQ(v.set(tc, pattern(9000, 2)), PROP_OK);
    Key tgc = v.open("SYSTEM.dst.x.child");
    uint32_t lsn = lsn_of(ctx());

    Key moved(ctx());
    ASSERT_EQ(move(src, dst, "x", &tgt, &moved), 0u);
    EXPECT_EQ(lsn_of(ctx()), lsn + 1) << "one transaction";
    EXPECT_EQ(v.used_pages(), before_target) << "the replaced subtree's pages are free";
    EXPECT_EQ(v.get(v.open("SYSTEM.dst.x")).bytes, pattern(700, 1));
    EXPECT_EQ(v.open_rc("SYSTEM.dst.x.child"), static_cast<uint32_t>(PROP_E_STALE));
    EXPECT_EQ(v.open_rc("SYSTEM.src"), static_cast<uint32_t>(PROP_E_STALE));
    EXPECT_EQ(list_subkeys(ctx(), dst).names, std::vector<std::string>{"x"});
}

TEST_F(MoveTest, MovesThatWouldLoseKeysAreRefusedBeforeAnythingIsWritten)
{
    StoreView v = view();
    Key a = make(system_, "a");
    Key ab = make(a, "b");
    Key abc = make(ab, "c");
    Key aa = make(system_, "aa");  // a sibling whose name begins like "a"
    Key taken = make(aa, "b");
    uint32_t lsn = lsn_of(ctx());
    uint64_t writes = store_->faults().writes();
    struct Case {
        const char *what;
        const Key *src, *parent;
        const char *name;
        const Key *tgt;
        uint32_t rc;
    };
    const Case cases[] = {
        {"under itself", &a, &a, "x", nullptr, PROP_E_ARG},
        {"under its child", &a, &ab, "x", nullptr, PROP_E_ARG},
        {"onto a key that exists", &ab, &aa, "b", nullptr, PROP_E_EXISTS},
        {"replacing its own ancestor", &abc, &system_, "a", &a, PROP_E_ARG},
        {"replacing a key of another name", &abc, &aa, "z", &taken, PROP_E_ARG},
        {"to a dotted name", &abc, &aa, "x.y", nullptr, PROP_E_ARG},
    };
    for (const Case &c : cases) {
        Key out(ctx());
        EXPECT_EQ(move(*c.src, *c.parent, c.name, c.tgt, &out), c.rc) << c.what;
        EXPECT_FALSE(out) << c.what;
    }
    EXPECT_EQ(lsn_of(ctx()), lsn);
    EXPECT_EQ(store_->faults().writes(), writes);
    // The sibling is not inside "SYSTEM.a": a moves under it.
    Key out(ctx());
    EXPECT_EQ(move(a, aa, "a", nullptr, &out), 0u);
    EXPECT_EQ(v.open_rc("SYSTEM.aa.a.b.c"), 0u);
}

// No key of the moved subtree may end up with a name the walks cannot
// take: one character over 1023 anywhere below refuses the move before
// anything is written; exactly 1023 moves.
TEST_F(MoveTest, ANameBelowTheMovedKeyMayNotGrowPastTheLimit)
{
    StoreView v = view();
    Key m = make(system_, "m");
    std::string deepest = "SYSTEM.m";
    {
        Key at = v.open("SYSTEM.m");
        for (char c : {'x', 'y', 'z'}) {
            std::string comp(250, c);
            at = make(at, comp);
            deepest += "." + comp;
        }
    }
    Key p = make(system_, std::string(250, 'p'));
    const size_t grows = deepest.size() - std::string("SYSTEM.m").size();
    // Under SYSTEM.ppp.qqq the deepest key's name is 8 + 250 + q + 2 + grows.
    auto target = [&](size_t deepest_len) { return make(p, std::string(deepest_len - 260 - grows, 'q')); };
    Key over = target(1024), fits = target(1023);
    uint32_t lsn = lsn_of(ctx());
    uint64_t writes = store_->faults().writes();
    Key out(ctx());
    EXPECT_EQ(move(m, over, "m", nullptr, &out), static_cast<uint32_t>(PROP_E_ARG));
    EXPECT_FALSE(out);
    EXPECT_EQ(lsn_of(ctx()), lsn);
    EXPECT_EQ(store_->faults().writes(), writes);
    EXPECT_EQ(v.open_rc(deepest), 0u);

    ASSERT_EQ(move(m, fits, "m", nullptr, &out), 0u);
    std::string moved = std::string(fits.get()->propr_keyhandle_keyname) + deepest.substr(6);
    EXPECT_EQ(moved.size(), 1023u);
    EXPECT_EQ(v.open_rc(moved), 0u);
}

}  // namespace

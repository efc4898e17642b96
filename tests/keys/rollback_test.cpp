// Operations that fail part-way, in the process: a full store, a failed
// write, memory that runs out.  Each leaves the store, the bitmaps and the
// key cache as they were and the transaction numbers going, and the next
// operation succeeds; the store's own check finds no block left at the end.
#include <functional>

#include "keys_fixture.h"
#include "txn/commit.h"

namespace {

class RollbackTest : public KeysTest {
  protected:
    // SYSTEM.w with a value; SYSTEM.t: 20 children (past its own entry
    // area into a KCE page), two with a value and a grandchild; SYSTEM.d.x
    // with a child: a target to replace.
    void SetUp() override
    {
        KeysTest::SetUp();
        StoreView v = view();
        const sec_attr &sec = store_->top_security();
        ASSERT_EQ(v.set(v.create(system_, "w", sec), pattern(300, 1)), PROP_OK);
        Key t = v.create(system_, "t", sec);
        for (uint32_t i = 0; i < 20; i++) {
            Key c = v.create(t, (long_name(i) + (i % 10 == 0 ? ".g" : "")).c_str(), sec);
            if (i % 10 == 0) {
                ASSERT_EQ(v.set(c, pattern(5000, static_cast<uint8_t>(i))), PROP_OK);
            }
        }
        ASSERT_EQ(v.set(v.create(system_, "d.x.c", sec), pattern(300, 9)), PROP_OK);
        open_keys();
    }
    // Opened before any fault is set, so that only the operation meets it.
    void open_keys()
    {
        StoreView v = view();
        w_ = v.open("SYSTEM.w");
        t_ = v.open("SYSTEM.t");
        d_ = v.open("SYSTEM.d");
        x_ = v.open("SYSTEM.d.x");
    }
    void close_keys()
    {
        for (Key *k : {&system_, &w_, &t_, &d_, &x_}) k->reset();
    }
    std::map<std::string, std::string> state() const { return observe_tree(ctx(), "SYSTEM"); }

    // The operations failures are injected into; each changes state().
    std::vector<std::pair<const char *, std::function<uint32_t()>>> ops()
    {
        return {
            {"set value", [this] { return view().set(w_, pattern(9000, 2)); }},
            {"delete value", [this] { return prop_delete_value(ctx(), w_.get(), 0); }},
            {"set security",
             [this] {
                 sec_attr s = make_sec("newowner", "newgroup", 1, 2, 3);
                 return prop_set_security(ctx(), w_.get(), &s, 0);
             }},
            {"create and set",
             [this] {
                 Key k(ctx());
                 uint32_t disp = 0;
                 std::vector<uint8_t> v = pattern(5000, 3);
                 return prop_create_n_set_key(ctx(), system_.get(), "n1.n2", &store_->top_security(), k.out(), &disp,
                                              PROP_TYPE_BYTES, v.data(), static_cast<uint32_t>(v.size()), 0);
             }},
            {"delete", [this] { return prop_delete_key(ctx(), w_.get(), 0, 0); }},
            {"delete with subtree", [this] { return prop_delete_key(ctx(), t_.get(), 1, 0); }},
            {"move onto a target",
             [this] {
                 Key out(ctx());
                 return prop_move_key(ctx(), t_.get(), d_.get(), "x", x_.get(), out.out(), 0);
             }},
            {"batch",
             [this] {
                 BatchBuilder b;
                 b.add(PROP_BATCH_CREATE_KEY, system_.get(), "n1.n2").sec = store_->top_security();
                 b.set_value(w_.get(), pattern(2000, 4));
                 b.add(PROP_BATCH_SET_SECURITY, w_.get()).sec = make_sec("newowner", "newgroup", 1, 2, 3);
                 b.add(PROP_BATCH_DELETE_TREE, x_.get());
                 b.add(PROP_BATCH_MOVE_KEY, t_.get(), "m").key2 = d_.get();
                 uint32_t rc = prop_batch_execute(ctx(), b.get(), 0);
                 take_handles(ctx(), b);
                 return rc;
             }},
        };
    }
    // Each operation is tried on a store of its own.
    void fresh()
    {
        close_keys();
        store_.reset();  // the old store puts its environment back first
        store_ = std::make_unique<Store>();
        SetUp();
    }
    // Opens the store again and rolls back what a failed write left, before
    // the keys are looked for: until then a deleted key's entry may be gone.
    void reopen_recovered()
    {
        close_keys();
        reopen();
        ASSERT_EQ(prop_recover(ctx(), 0), PROP_OK);
        open_keys();
    }

    Key w_, t_, d_, x_;
};

TEST_F(RollbackTest, AFullStoreGives36AndChangesNothing)
{
    // Every free page but two is taken in a committed transaction, as other
    // keys would take them.
    proprhandle *h = ctx()->propb_ctx;
    std::vector<uint32_t> taken;
    ASSERT_EQ(proprutbeginlog(h, PROP_BATCH_SET_VALUE), PROP_OK);
    for (uint32_t page = 0; proprutffp(h, &page) == 0;) taken.push_back(page);
    for (uint32_t i = 1; i <= 2; i++) ASSERT_EQ(proprutcfp(h, taken[taken.size() - i], 0), PROP_OK);
    ASSERT_EQ(proprutfsu(h), PROP_OK);
    StoreView v = view();
    auto before = state();
    uint32_t lsn0 = lsn_of(ctx());
    EXPECT_EQ(v.set(w_, pattern(256 + 4 * 4064, 5)), static_cast<uint32_t>(PROP_E_NOSPACE));
    EXPECT_EQ(state(), before);
    EXPECT_EQ(lsn_of(ctx()), lsn0 + 1) << "the failed transaction keeps its number";

    // Inside a batch a failure undoes everything the batch did, and drops
    // the cache entries of the keys it made: two fit, the third does not.
    BatchBuilder b;
    for (const char *name : {"n1", "n2", "n3"}) {
        b.add(PROP_BATCH_CREATE_KEY, system_.get(), name).sec = store_->top_security();
    }
    EXPECT_EQ(prop_batch_execute(ctx(), b.get(), 0), static_cast<uint32_t>(PROP_E_NOSPACE));
    take_handles(ctx(), b);
    EXPECT_EQ(b.result(1).result, 0u);
    EXPECT_FALSE(v.cached("SYSTEM.n1") || v.cached("SYSTEM.n2"));
    EXPECT_EQ(state(), before);

    // What fits still goes in, and commits with the next number.
    EXPECT_EQ(v.set(w_, pattern(256 + 3 * 4064, 6)), PROP_OK);
    EXPECT_EQ(lsn_of(ctx()), lsn0 + 3);
    EXPECT_EQ(v.used_pages(), std::stoull(before["used pages"]) + 2);
}

// A failed write or allocation at every point of every operation.  A
// location that failed a write is out of service until the store is opened
// again (it must never serve the page it missed), so with one location the
// undo reaches the disk at the next open.  Values and deletes take no
// memory; names the name tables took stay cached until the store closes.
TEST_F(RollbackTest, AFailureAnywhereInAnOperationIsUndone)
{
    for (bool memory : {false, true}) {
        for (const auto &[name, run] : ops()) {
            fresh();
            auto before = state();
            uint32_t k = 1;
            for (;; k++) {
                fault_rule r;
                r.kind = fault_kind::fail_write;
                r.nth = k;
                r.path = store_->location_tag(0);
                if (memory) {
                    prop_fe_meta_fail_from(store_->meta(), k);
                } else {
                    store_->faults().add(r);
                }
                uint32_t rc = run();
                store_->faults().reset();
                prop_fe_meta_fail_from(store_->meta(), 0);
                if (rc == 0) break;
                if (!memory) {
                    reopen_recovered();
                }
                ASSERT_EQ(state(), before) << name << (memory ? ", allocation " : ", write ") << k << ", rc " << rc;
            }
            EXPECT_TRUE(memory || k > 3) << name;
            EXPECT_FALSE(state() == before) << name;
        }
    }
}

}  // namespace

// Operations that fail part-way, in the process: a full store, a failed
// write, memory that runs out.  Each must leave the store, the bitmaps and
// the key cache as they were, keep the transaction sequence going, leak
// nothing, and let the next operation succeed.
#include <functional>

#include "keys_fixture.h"
#include "txn/commit.h"
#include "txn/log.h"

namespace {

// What the tests compare before and after a failed operation.
struct State {
    std::vector<uint8_t> value;  // SYSTEM.w
    sec_attr sec{};              // of SYSTEM.w
    bool made = false;           // SYSTEM.n1 exists
    uint64_t used = 0;

    bool operator==(const State &o) const
    {
        return value == o.value && same_sec(sec, o.sec) && made == o.made && used == o.used;
    }
};

class RollbackTest : public KeysTest {
  protected:
    void SetUp() override
    {
        KeysTest::SetUp();
        system_ = view().open("SYSTEM");
        w_ = view().create(system_, "w", store_->top_security());
        ASSERT_EQ(view().set(w_, pattern(300, 1)), 0u);
    }
    State state() const
    {
        StoreView v = view();
        State s;
        s.value = v.get(w_).bytes;
        s.sec = v.security(w_);
        uint32_t rc = 0;
        s.made = static_cast<bool>(v.open("SYSTEM.n1", &rc));
        EXPECT_TRUE(rc == 0 || rc == PROP_E_STALE) << rc;
        s.used = v.used_pages();
        return s;
    }
    uint32_t lsn() const { return ctx()->propb_ctx->proprhandle_propr_log->propr_log_lsn; }

    // Takes every free page but `leave` in a committed transaction, as
    // other keys would.
    void fill(uint32_t leave)
    {
        proprhandle *h = ctx()->propb_ctx;
        std::vector<uint32_t> taken;
        ASSERT_EQ(proprutbeginlog(h, PROP_BATCH_SET_VALUE), 0u);
        uint32_t page = 0;
        while (proprutffp(h, &page) == 0) taken.push_back(page);
        ASSERT_GE(taken.size(), leave);
        for (uint32_t i = 0; i < leave; i++) ASSERT_EQ(proprutcfp(h, taken[taken.size() - 1 - i], 0), 0u);
        ASSERT_EQ(proprutfsu(h), 0u);
    }

    // The operations a failure is injected into; each changes State.
    struct Op {
        const char *name;
        std::function<uint32_t()> run;
    };
    std::vector<Op> ops()
    {
        return {
            {"set value", [this] { return view().set(w_, pattern(9000, 2)); }},
            {"delete value", [this] { return prop_delete_value(ctx(), w_.get(), 0); }},
            {"set security",
             [this] {
                 sec_attr s = make_sec("newowner", "newgroup", 1, 2, 3);
                 return prop_set_security(ctx(), w_.get(), &s, 0);
             }},
            {"create",
             [this] {
                 Key k = view().create(system_, "n1.n2.n3", store_->top_security(), nullptr, &rc_);
                 return rc_;
             }},
            {"create and set",
             [this] {
                 Key k(ctx(), nullptr);
                 uint32_t disp = 0;
                 std::vector<uint8_t> v = pattern(5000, 3);
                 return prop_create_n_set_key(ctx(), system_.get(), "n1.n2", &store_->top_security(), k.out(),
                                              &disp, PROP_TYPE_BYTES, v.data(), static_cast<uint32_t>(v.size()), 0);
             }},
        };
    }
    // Undoes a successful op so that the next one starts from the same state.
    void restore(const State &s)
    {
        ASSERT_EQ(view().set(w_, s.value), 0u);
        ASSERT_EQ(prop_set_security(ctx(), w_.get(), &s.sec, 0), 0u);
        if (state().made) {
            // No delete-key yet: start the creating ops over on a fresh store.
            w_.reset();
            system_.reset();
            store_.reset();  // the old store puts its environment back first
            store_ = std::make_unique<Store>();
            SetUp();
        }
    }

    Key system_;
    Key w_;
    uint32_t rc_ = 0;
};

TEST_F(RollbackTest, AFullStoreGives36AndChangesNothing)
{
    fill(2);
    StoreView v = view();
    State before = state();
    uint32_t lsn0 = lsn();
    EXPECT_EQ(v.set(w_, pattern(256 + 4 * 4064, 5)), static_cast<uint32_t>(PROP_E_NOSPACE));
    EXPECT_EQ(state(), before);
    EXPECT_EQ(lsn(), lsn0 + 1) << "the failed transaction keeps its number";

    Key none = v.create(system_, "n1.n2.n3", store_->top_security(), nullptr, &rc_);
    EXPECT_EQ(rc_, static_cast<uint32_t>(PROP_E_NOSPACE));
    EXPECT_FALSE(none);
    EXPECT_EQ(state(), before);
    EXPECT_FALSE(v.cached("SYSTEM.n1"));

    // What fits still goes in, and commits with the next number.
    EXPECT_EQ(v.set(w_, pattern(256 + 3 * 4064, 6)), 0u);
    EXPECT_EQ(lsn(), lsn0 + 3);
    EXPECT_EQ(v.get(w_).bytes, pattern(256 + 3 * 4064, 6));
    EXPECT_EQ(v.used_pages(), before.used + 2);
}

// A location that failed a write is out of service until the store is
// opened again (it must never serve the page it missed), so with one
// location the undo reaches the disk when the store is next opened.
TEST_F(RollbackTest, AFailedWriteAnywhereInAnOperationIsUndone)
{
    for (const Op &op : ops()) {
        State before = state();
        uint32_t k = 1;
        for (;; k++) {
            fault_rule r;
            r.kind = fault_kind::fail_write;
            r.nth = k;
            r.path = store_->location_tag(0);
            store_->faults().add(r);
            uint32_t rc = op.run();
            store_->faults().reset();
            if (rc == 0) break;
            w_.reset();
            system_.reset();
            ASSERT_EQ(store_->terminate(), 0u);
            ASSERT_EQ(store_->init(), 0u);
            ASSERT_EQ(prop_recover(ctx(), 0), 0u);
            system_ = view().open("SYSTEM");
            w_ = view().open("SYSTEM.w");
            ASSERT_EQ(state(), before) << op.name << ", write " << k << " failed, rc " << rc;
        }
        EXPECT_GT(k, 3u) << op.name;
        EXPECT_FALSE(state() == before) << op.name << " succeeded without changing anything";
        restore(before);
    }
}

// Every allocation of every operation fails in turn.  Names the name
// tables took stay cached until the store closes, where the store checks
// that no block is left.
TEST_F(RollbackTest, RunningOutOfMemoryAnywhereChangesNothing)
{
    for (const Op &op : ops()) {
        State before = state();
        uint64_t n = 1;
        for (;; n++) {
            prop_fe_meta_fail_from(store_->meta(), n);
            uint32_t rc = op.run();
            prop_fe_meta_fail_from(store_->meta(), 0);
            if (rc == 0) break;
            ASSERT_EQ(state(), before) << op.name << ", allocation " << n << ", rc " << rc;
        }
        restore(before);
    }
}

// Reinitialisation (a CACHING-level operation) re-reads the boot block and
// superblock; the next transaction needs them.
class ReinitTest : public KeysTest {
  protected:
    void SetUp() override
    {
        store_->format();
        ASSERT_EQ(store_->init(PROP_LEVEL_CACHING), 0u);
    }
};

TEST_F(ReinitTest, ASetValueAfterReinitWorks)
{
    StoreView v = view();
    Key system = v.open("SYSTEM");
    Key k = v.create(system, "r", store_->top_security());
    ASSERT_EQ(prop_reinit(ctx(), store_->grp()), 0u);
    EXPECT_EQ(v.set(k, pattern(6000, 8)), 0u);
    EXPECT_EQ(v.get(k).bytes, pattern(6000, 8));
    k.reset();
    system.reset();
    reopen();
    EXPECT_EQ(view().get(view().open("SYSTEM.r")).bytes, pattern(6000, 8));
}

}  // namespace

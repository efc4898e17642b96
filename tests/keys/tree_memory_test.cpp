// Deletes, moves, listings and batches when memory runs out at any
// allocation: each either succeeds or fails with the tree as it was and
// every block given back.
#include <functional>

#include "tree_fixture.h"

namespace {

class TreeMemoryTest : public TreeTest {
  protected:
    // SYSTEM.t with 20 children (past its own area into a KCE page), two of
    // them with values and a grandchild; SYSTEM.d.t with a child, a target
    // to replace.
    void build()
    {
        StoreView v = view();
        t_ = make(system_, "t");
        for (uint32_t i = 0; i < 20; i++) {
            Key c = make(t_, "child-with-a-longer-name-" + std::to_string(100 + i) + std::string(200, 'x'));
            if (i % 10 == 0) {
                ASSERT_EQ(v.set(c, pattern(5000, static_cast<uint8_t>(i))), 0u);
                Key g = make(c, "g");
            }
        }
        ASSERT_FALSE(entry_pages(ctx()->propb_ctx, t_).direct.empty());
        d_ = make(system_, "d");
        target_ = make(d_, "t");
        Key tc = make(target_, "c");
        ASSERT_EQ(v.set(tc, pattern(300, 9)), 0u);
        leaf_ = make(system_, "leaf");
        ASSERT_EQ(v.set(leaf_, pattern(4500, 2)), 0u);
    }
    void fresh()
    {
        t_.reset();
        d_.reset();
        target_.reset();
        leaf_.reset();
        system_.reset();
        store_.reset();  // the old store puts its environment back first
        store_ = std::make_unique<Store>();
        SetUp();
        build();
    }

    struct Op {
        const char *name;
        std::function<uint32_t(std::vector<Key> *made)> run;
    };
    std::vector<Op> ops()
    {
        return {
            {"recursive delete", [this](std::vector<Key> *) { return prop_delete_key(ctx(), t_.get(), 1, 0); }},
            {"plain delete", [this](std::vector<Key> *) { return prop_delete_key(ctx(), leaf_.get(), 0, 0); }},
            {"move onto a target",
             [this](std::vector<Key> *made) {
                 Key out(ctx(), nullptr);
                 uint32_t rc = prop_move_key(ctx(), t_.get(), d_.get(), "t", target_.get(), out.out(), 0);
                 made->push_back(std::move(out));
                 return rc;
             }},
            {"listing",
             [this](std::vector<Key> *) {
                 Listing l = list_subkeys(ctx(), t_);
                 return l.rc == 0 && l.num_keys != 20 ? static_cast<uint32_t>(PROP_E_STORAGE) : l.rc;
             }},
            {"batch",
             [this](std::vector<Key> *made) {
                 BatchBuilder b;
                 b.add(PROP_BATCH_CREATE_KEY, system_.get(), "n1.n2").sec = store_->top_security();
                 b.set_value(leaf_.get(), pattern(2000, 4));
                 b.add(PROP_BATCH_SET_SECURITY, leaf_.get()).sec = store_->top_security();
                 b.add(PROP_BATCH_DELETE_TREE, target_.get());
                 b.add(PROP_BATCH_MOVE_KEY, t_.get(), "t").key2 = d_.get();
                 uint32_t rc = prop_batch_execute(ctx(), b.get(), 0);
                 for (Key &k : take_handles(ctx(), b)) made->push_back(std::move(k));
                 return rc;
             }},
        };
    }

    Key t_, d_, target_, leaf_;
};

TEST_F(TreeMemoryTest, RunningOutOfMemoryAnywhereChangesNothingAndLeaksNothing)
{
    size_t count = ops().size();
    for (size_t i = 0; i < count; i++) {
        fresh();
        Op op = ops()[i];
        TreeState before = tree_state(ctx(), "SYSTEM");
        for (uint64_t n = 1;; n++) {
            uint64_t live = store_->live_blocks();
            std::vector<Key> made;
            prop_fe_meta_fail_from(store_->meta(), n);
            uint32_t rc = op.run(&made);
            prop_fe_meta_fail_from(store_->meta(), 0);
            if (rc == 0) break;
            made.clear();
            ASSERT_EQ(store_->live_blocks(), live) << op.name << ", allocation " << n << ", rc " << rc;
            ASSERT_TRUE(tree_state(ctx(), "SYSTEM") == before) << op.name << ", allocation " << n << ", rc " << rc;
        }
    }
}

}  // namespace

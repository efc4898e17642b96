// Batches through the export: all operations commit together or none
// does, whichever operation ends the batch; a delete of a key that is not
// there lets the batch go on.
#include <functional>

#include "keys/batch_log.h"
#include "keys_fixture.h"

namespace {

constexpr uint32_t kUntouched = 0xDEADu;

class BatchTest : public KeysTest {
  protected:
    bool exists(const std::string &name) const
    {
        uint32_t rc = view().open_rc(name);
        EXPECT_TRUE(rc == 0 || rc == PROP_E_STALE) << name << " " << rc;
        return rc == 0;
    }
};

// Every case runs: create SYSTEM.m<i>, delete SYSTEM.v<i> with its child,
// then its own operations.  A committed batch leaves m<i> and not v<i>; a
// rolled-back one the reverse.
struct Keys {
    propr_keyhandle *w;      // SYSTEM.w, which every case may change
    propr_keyhandle *child;  // v<i>.c
    propr_keyhandle *gone;   // a key deleted before the batch
};

struct Case {
    const char *what;
    std::function<void(BatchBuilder &, const Keys &)> add;
    uint32_t rc;
    bool commits;
    std::vector<uint32_t> results;  // the create and the delete first
};

TEST_F(BatchTest, TheBatchCommitsOrRollsBackAsAWhole)
{
    StoreView v = view();
    Key w = make(system_, "w");
    sec_attr sec = store_->top_security();
    using B = BatchBuilder;
    const Case cases[] = {
        {"every operation succeeds",
         [&](B &b, const Keys &k) {
             b.set_value(k.w, pattern(3000, 7));
             b.add(PROP_BATCH_SET_SECURITY, k.w).sec = sec;
         },
         0, true, {0, 0, 0, 0}},
        {"a set value too big", [](B &b, const Keys &k) { b.set_value(k.w, pattern(81537, 1)); },
         PROP_E_TOOBIG, false, {0, 0, PROP_E_TOOBIG}},
        {"a delete of a missing key in the middle",
         [](B &b, const Keys &k) {
             b.add(PROP_BATCH_DELETE_KEY, k.gone);
             b.set_value(k.w, pattern(100, 4));
         },
         0, true, {0, 0, PROP_E_STALE, 0}},
        {"a missing key deleted last",
         [](B &b, const Keys &k) { b.add(PROP_BATCH_DELETE_TREE, k.gone); }, PROP_E_STALE, false,
         {0, 0, PROP_E_STALE}},
        {"create-and-set of a key that exists",
         [&](B &b, const Keys &k) {
             b.add(PROP_BATCH_CREATE_SET_NEW, system_.get(), "w").sec = sec;
             b.set_value(k.w, pattern(10, 5));
         },
         PROP_E_EXISTS, false, {0, 0, PROP_E_EXISTS, kUntouched}},
        {"a set value on a key deleted earlier in the batch",
         [](B &b, const Keys &k) { b.set_value(k.child, pattern(10, 6)); }, PROP_E_STALE, false,
         {0, 0, PROP_E_STALE}},
    };
    int i = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string n = std::to_string(i++);
        Key victim = make(system_, "v" + n);
        Key child = make(victim, "c");
        ASSERT_EQ(v.set(child, pattern(5000, 1)), PROP_OK);
        Key gone = make(system_, "g" + n);
        ASSERT_EQ(prop_delete_key(ctx(), v.open(("SYSTEM.g" + n).c_str()).get(), 0, 0), PROP_OK);
        std::vector<uint8_t> w_before = v.get(w).bytes;
        uint64_t used = v.used_pages();

        BatchBuilder b;
        b.add(PROP_BATCH_CREATE_KEY, system_.get(), ("m" + n).c_str()).sec = sec;
        b.add(PROP_BATCH_DELETE_TREE, victim.get());
        c.add(b, Keys{w.get(), child.get(), gone.get()});
        for (size_t r = 0; r < b.get()->count; r++) b.result(r).result = kUntouched;
        EXPECT_EQ(prop_batch_execute(ctx(), b.get(), 0), c.rc);
        std::vector<Key> handles = take_handles(ctx(), b);

        EXPECT_EQ(b.results(), c.results);
        EXPECT_EQ(exists("SYSTEM.m" + n), c.commits);
        EXPECT_EQ(exists("SYSTEM.v" + n), !c.commits);
        if (c.commits) {
            EXPECT_STREQ(b.result(0).fullname, ("SYSTEM.m" + n).c_str());
            EXPECT_EQ(b.result(0).disposition, PROP_DISP_CREATED);
        } else {
            EXPECT_EQ(v.get(w).bytes, w_before);
            EXPECT_EQ(v.used_pages(), used);
            EXPECT_EQ(v.get(v.open(("SYSTEM.v" + n + ".c").c_str())).bytes, pattern(5000, 1));
        }
    }
}

// One transaction keeps at most num_log - 1 page images.  A batch is
// measured before it writes: with as much room as the measure says, it
// runs to its commit (so the measure is never short); with one page less,
// it is refused with 36, says the limit, and nothing reaches the store.
TEST_F(BatchTest, ABatchTheUndoLogCannotHoldIsRefusedBeforeItWrites)
{
    StoreView v = view();
    sec_attr sec = store_->top_security();
    const std::string long_name(40, 'x');
    Key big = make(system_, "big");  // children enough for entry pages of its own
    Key w = make(system_, "w");
    {
        BatchBuilder fill;
        for (int i = 0; i < 200; i++) fill.add(PROP_BATCH_CREATE_KEY, big.get(), (long_name + std::to_string(i)).c_str()).sec = sec;
        for (int i = 0; i < 20; i++) fill.add(PROP_BATCH_CREATE_KEY, w.get(), ("s" + std::to_string(i)).c_str()).sec = sec;
        ASSERT_EQ(prop_batch_execute(ctx(), fill.get(), 0), PROP_OK);
        take_handles(ctx(), fill);
    }
    ASSERT_EQ(v.set(w, pattern(3000, 1)), PROP_OK);
    std::vector<Key> keep;
    auto key = [&](const std::string &name) {
        keep.push_back(v.open(("SYSTEM." + name).c_str()));
        return keep.back().get();
    };
    const std::function<void(BatchBuilder &)> batches[] = {
        [&](BatchBuilder &b) {  // new keys under new parents, some deeper
            for (int i = 0; i < 60; i++) {
                std::string name = "n" + std::to_string(i % 3) + (i % 4 == 0 ? ".d." : ".") + std::to_string(i);
                prop_batch_op &op = b.add(PROP_BATCH_CREATE_SET, system_.get(), name.c_str());
                op.sec = sec;
                op.value_size = 8;
                op.dtype = PROP_TYPE_BYTES;
            }
        },
        [&](BatchBuilder &b) {  // a parent with entry pages gains, loses and hands on keys
            for (int i = 0; i < 30; i++) b.add(PROP_BATCH_CREATE_KEY, big.get(), ("new" + std::to_string(i)).c_str()).sec = sec;
            for (int i = 0; i < 40; i++) b.add(PROP_BATCH_DELETE_KEY, key("big." + long_name + std::to_string(i * 3)));
            for (int i = 1; i < 30; i += 3) {
                b.add(PROP_BATCH_MOVE_KEY, key("big." + long_name + std::to_string(i)), ("m" + std::to_string(i)).c_str())
                    .key2 = system_.get();
            }
        },
        [&](BatchBuilder &b) {  // values over the tnode's share, twice on one key, security, unsets
            b.set_value(w.get(), pattern(4000, 2));
            b.set_value(w.get(), pattern(3500, 3));
            for (int i = 0; i < 20; i++) b.set_value(key("w.s" + std::to_string(i)), pattern(2000, 4));
            b.add(PROP_BATCH_SET_SECURITY, key("w.s3")).sec = sec;
            b.add(PROP_BATCH_DELETE_VALUE, key("w.s4"));
        },
    };
    // Runs the batch; whether it wrote anything.
    auto execute = [&](BatchBuilder &b, uint32_t rc) {
        store_->faults().reset();
        store_->faults().set_record(true);
        EXPECT_EQ(prop_batch_execute(ctx(), b.get(), 0), rc);
        store_->faults().set_record(false);
        return !store_->faults().recorded().empty();
    };
    proprhandle *h = ctx()->propb_ctx;
    const u32 num_log = h->proprhandle_num_log;
    int n = 0;
    for (const auto &add : batches) {
        SCOPED_TRACE("batch " + std::to_string(n++));
        BatchBuilder b;
        add(b);
        batch_log_need need;
        ASSERT_EQ(batch_log_estimate(h, b.get(), &need), 0u);
        ASSERT_GT(need.pages, 0u);
        ASSERT_LT(need.pages, num_log);

        h->proprhandle_num_log = static_cast<u32>(need.pages);  // room for one page less
        for (size_t r = 0; r < b.get()->count; r++) b.result(r).result = kUntouched;
        EXPECT_FALSE(execute(b, PROP_E_NOSPACE)) << "refused before it writes";
        EXPECT_EQ(b.results(), std::vector<uint32_t>(b.get()->count, kUntouched));
        const std::string why = prop_fe_thread_error(store_->zkv())->comp_text;
        EXPECT_NE(why.find("the " + std::to_string(need.pages - 1) + " one transaction holds: a batch like it"),
                  std::string::npos) << why;

        h->proprhandle_num_log = static_cast<u32>(need.pages) + 1;
        EXPECT_TRUE(execute(b, PROP_OK));
        h->proprhandle_num_log = num_log;
        take_handles(ctx(), b);
    }
    EXPECT_EQ(v.get(w).bytes, pattern(3500, 3));
    EXPECT_EQ(list_subkeys(ctx(), big).names.size(), 200u + 30 - 40 - 10);
}

}  // namespace

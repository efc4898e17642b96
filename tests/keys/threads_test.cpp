// Several threads on one context at the CACHING level, where the key cache
// and the mirror workers run beside the callers.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "keys_fixture.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 20;

// One thread commits batches that each make two keys; the others make,
// set, read and delete keys of their own meanwhile, and keep looking for
// the batches' keys, waiting on the context's lock whenever a batch holds
// it.  Each thread's keys end as its own record says, and whoever finds a
// batch's first key finds its second.
TEST(ThreadsTest, KeyOperationsAndBatchesOfSeveralThreadsOnOneContext)
{
    Store store(StoreOptions{.locations = 2});
    store.format();
    ASSERT_EQ(store.init(PROP_LEVEL_CACHING), PROP_OK);
    backend_ctx *ctx = store.ctx();
    const sec_attr sec = store.top_security();
    auto value_of = [](int t, int r) {
        return std::vector<uint8_t>(static_cast<size_t>(1 + r * 211), static_cast<uint8_t>(t * 16 + r));
    };
    constexpr int kBatches = 30;
    std::atomic<bool> done{false};
    std::atomic<int> halves{0}, seen{0};
    auto look = [&](StoreView v) {
        for (int i = 0; i < kBatches; i++) {
            if (v.open_rc("DATABASE.a" + std::to_string(i)) != 0) continue;
            seen++;
            if (v.open_rc("DATABASE.b" + std::to_string(i)) != 0) halves++;
        }
    };
    auto batcher = [&] {
        StoreView v{ctx};
        Key db = v.open("DATABASE");
        for (int i = 0; i < kBatches; i++) {
            BatchBuilder b;
            for (const char *side : {"a", "b"}) {
                prop_batch_op &op = b.add(PROP_BATCH_CREATE_SET, db.get(), (side + std::to_string(i)).c_str());
                op.sec = sec;
                op.dtype = PROP_TYPE_BYTES;
                op.value_size = 300;
                std::memset(op.value, i, op.value_size);
            }
            EXPECT_EQ(prop_batch_execute(ctx, b.get(), 0), PROP_OK);
            for (propr_keyhandle *kh : b.take_handles()) EXPECT_EQ(prop_close(ctx, kh), PROP_OK);
        }
        done = true;
    };
    auto worker = [&](int t) {
        StoreView v{ctx};
        Key top = v.open(t % 2 == 0 ? "DATABASE" : "SYSTEM");
        Key mine = v.create(top, ("thread" + std::to_string(t)).c_str(), sec);
        for (int r = 0; r < kRounds; r++) {
            Key k = v.create(mine, ("k" + std::to_string(r)).c_str(), sec);
            EXPECT_EQ(v.set(k, value_of(t, r)), PROP_OK);
            EXPECT_EQ(v.get(k).bytes, value_of(t, r));
            if (r % 3 == 2) {
                EXPECT_EQ(prop_delete_key(ctx, k.get(), 0, 0), PROP_OK);
            }
            look(v);
        }
        while (!done) look(v);
        look(v);  // one whole look after the last batch
    };
    std::vector<std::thread> threads;
    threads.emplace_back(batcher);
    for (int t = 0; t < kThreads; t++) threads.emplace_back(worker, t);
    for (auto &th : threads) th.join();

    EXPECT_EQ(halves.load(), 0);
    EXPECT_GT(seen.load(), 0);
    StoreView v{ctx};
    for (int t = 0; t < kThreads; t++)
        for (int r = 0; r < kRounds; r++) {
            const std::string name = std::string(t % 2 == 0 ? "DATABASE" : "SYSTEM") + ".thread" + std::to_string(t) +
                                     ".k" + std::to_string(r);
            EXPECT_EQ(v.open_rc(name), r % 3 == 2 ? uint32_t{PROP_E_STALE} : 0u) << name;
        }
    // Reopened at a level that may check the whole tree.
    ASSERT_EQ(store.terminate(), 0u);
    ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
    EXPECT_EQ(prop_check_logical_corruption(store.ctx()), PROP_OK);
}

}  // namespace

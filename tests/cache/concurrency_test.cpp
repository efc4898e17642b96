// Lookups from several threads while another thread inserts, sets
// addresses, deletes and ends batches: a reader sees a key's own address,
// 141 or 144, never another key's address and never a torn state.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cache_fixture.h"

namespace {

constexpr int kStable = 200;
constexpr int kDynamic = 3000;
constexpr int kReaders = 3;

TEST_F(CacheTest, ReadersRunBesideAWriter)
{
    std::vector<std::string> stable, dynamic;
    for (int i = 0; i < kStable; i++) {
        stable.push_back("s.k" + std::to_string(i) + ".v");
        ASSERT_EQ(set(stable.back(), 1000 + i), PROP_OK);
    }
    for (int i = 0; i < kDynamic; i++) dynamic.push_back("dyn.g" + std::to_string(i % 7) + ".k" + std::to_string(i));

    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::atomic<long> hits{0};
    auto reader = [&](int seed) {
        u32 a = 0;
        for (int round = 0; !done.load(std::memory_order_relaxed) || round < 2; round++) {
            for (int i = seed; i < kDynamic; i += 5) {
                const std::string &s = stable[static_cast<size_t>(i % kStable)];
                if (proprch_get_addr(cache, s.c_str(), &a, 0, 0) != 0 || a != 1000u + static_cast<u32>(i % kStable))
                    wrong++;
                u32 rc = proprch_get_addr(cache, dynamic[static_cast<size_t>(i)].c_str(), &a, 0, 0);
                if (rc == 0) {
                    hits++;
                    if (a != 5000u + static_cast<u32>(i)) wrong++;
                } else if (rc != 141 && rc != 144) {
                    wrong++;
                }
            }
        }
    };
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; r++) readers.emplace_back(reader, r);

    // The writer: batches of ten, committed and rolled back in turn, with
    // deletes of keys already cached and of a whole group now and then.
    int failures = 0;
    auto gone_or_ok = [](u32 rc) { return rc == 0 || rc == 141; };
    for (int i = 0; i < kDynamic; i++) {
        const char *k = dynamic[static_cast<size_t>(i)].c_str();
        u32 flags = i % 3 == 0 ? kBatch : 0;
        failures += proprch_insert(cache, k, flags) != 0;
        failures += proprch_set_addr(cache, k, 5000 + static_cast<u32>(i), 0, flags) != 0;
        if (i % 10 == 9) {
            failures += !gone_or_ok(proprch_delete(cache, dynamic[static_cast<size_t>(i - 5)].c_str(), 1, 0, kBatch));
            failures += (i % 20 == 9 ? proprch_make_permanent(cache, 0) : proprch_delete_transient(cache, 0)) != 0;
        }
        if (i % 50 == 49) failures += !gone_or_ok(proprch_delete(cache, "dyn.g3", 1, 0, 0));
    }
    done = true;
    for (auto &t : readers) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(hits.load(), 0);
}

}  // namespace

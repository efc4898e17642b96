// propregd killed at any moment under eight writers: after the restart
// every write a client was told had succeeded is there, and no batch is
// half applied.  The default run kills it a few times;
// $PROPREG_DAEMON_KILLS sets how many (the full run: 200).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "daemon_fixture.h"

namespace {

constexpr int kWriters = 8;

int kills()
{
    const char *n = std::getenv("PROPREG_DAEMON_KILLS");
    return n != nullptr && std::atoi(n) > 0 ? std::atoi(n) : 4;
}

std::string key_of(int w, const char *leaf)
{
    return "SYSTEM.crash.w" + std::to_string(w) + "." + leaf;
}

long number(Conn &c, const std::string &key)
{
    const std::string v = c.get(key);
    return v.empty() || v[0] == '<' ? -1 : std::stol(v);
}

// What one writer was told: the last batch (a and b together) and the last
// single write (c) that succeeded, and the last of each it sent.
struct Told {
    long batch = 0, single = 0, batch_sent = 0, single_sent = 0;
};

// Writes until the daemon goes away: a batch setting a and b to n, then a
// single write of c.  Counts itself in ready once its keys are open.
void write_until_closed(const Daemon &d, int w, long from, Told *told, std::atomic<int> *ready)
{
    Conn c = d.connect();
    prc_key a = c.key(key_of(w, "a")), b = c.key(key_of(w, "b")), s = c.key(key_of(w, "c"));
    ++*ready;
    for (long n = from;; n++) {
        const std::string v = std::to_string(n);
        const auto len = static_cast<uint32_t>(v.size() + 1);
        prc_batch *batch = prc_batch_new();
        prc_batch_set_value(batch, a, PROP_TYPE_TEXT, v.c_str(), len);
        prc_batch_set_value(batch, b, PROP_TYPE_TEXT, v.c_str(), len);
        told->batch_sent = n;
        uint32_t rc = prc_batch_run(c, batch);
        prc_batch_free(batch);
        if (rc != 0) return;
        told->batch = n;
        told->single_sent = n;
        if (prc_set_value(c, s, PROP_TYPE_TEXT, v.c_str(), len) != 0) return;
        told->single = n;
    }
}

TEST(DaemonCrash, KilledAnywhereUnderEightWritersLosesNothingItAnswered)
{
    Daemon d(kServed);
    {
        Conn c = d.connect();
        for (int w = 0; w < kWriters; w++)
            for (const char *leaf : {"a", "b", "c"}) ASSERT_EQ(c.set(key_of(w, leaf), "0"), 0u);
    }
    std::mt19937 random(31);
    std::vector<Told> told(kWriters);
    const int trials = kills();
    for (int trial = 0; trial < trials; trial++) {
        std::vector<std::thread> writers;
        std::atomic<int> ready{0};
        for (int w = 0; w < kWriters; w++)
            writers.emplace_back(write_until_closed, std::cref(d), w, told[static_cast<size_t>(w)].batch + 1,
                                 &told[static_cast<size_t>(w)], &ready);
        // The moment is random from when every writer is writing: on a busy
        // machine a writer may start later than the kill would come.
        while (ready < kWriters) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 300));
        ASSERT_EQ(d.stop(9), 128 + 9);
        for (std::thread &t : writers) t.join();
        d.start();
        Conn c = d.connect();
        for (int w = 0; w < kWriters; w++) {
            const Told &t = told[static_cast<size_t>(w)];
            const long a = number(c, key_of(w, "a")), b = number(c, key_of(w, "b")), s = number(c, key_of(w, "c"));
            ASSERT_EQ(a, b) << "trial " << trial << ", writer " << w << ": half a batch";
            // At least what it was told, at most what it sent.
            ASSERT_TRUE(a >= t.batch && a <= t.batch_sent) << "trial " << trial << ": " << a << " after " << t.batch;
            ASSERT_TRUE(s >= t.single && s <= t.single_sent) << "trial " << trial << ": " << s << " after " << t.single;
            // The next trial starts from what the store holds.
            told[static_cast<size_t>(w)] = Told{a, s, a, s};
        }
    }
    long batches = 0, singles = 0;
    for (const Told &t : told) batches += t.batch, singles += t.single;
    std::printf("%d kills under %d writers, %ld batches and %ld single writes committed: every answered write was "
                "there after each restart\n", trials, kWriters, batches, singles);
}

}  // namespace

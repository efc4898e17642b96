// Watchers see every committed change below their key once, in commit
// order; one that stops reading gets a single resync and holds nobody up.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "daemon_fixture.h"

namespace {

constexpr int kWriters = 4;
// Long names make the events big enough that a stalled watcher's socket
// fills long before the last one.
const std::string kPad = "." + std::string(200, 'p') + "." + std::string(150, 'q');

std::string writer_key(int w)
{
    return "SYSTEM.w.writer" + std::to_string(w) + kPad;
}

// Each writer makes `count` keys under its own parent, k<from> on; the
// seconds it took them all.
double write_all(const Daemon &d, int from, int count)
{
    const auto start = std::chrono::steady_clock::now();
    on_threads(kWriters, [&](int w) {
        Conn c = d.connect();
        prc_key parent = c.key(writer_key(w));
        for (int j = from; j < from + count; j++) {
            const std::string name = "k" + std::to_string(j);
            const uint32_t rc = prc_create_n_set_key(c, parent, name.c_str(), nullptr,
                                                     PROP_TYPE_TEXT, "v", 2, 0, nullptr, nullptr);
            ASSERT_EQ(rc, 0u);
        }
    });
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Seen {
    uint64_t seq;
    uint32_t kind;
    std::string key;
};

// Events until want have come or none for idle_ms; kept small, so that the
// reader keeps up on a busy machine.
std::vector<Seen> read_events(Conn &c, size_t want, int idle_ms)
{
    std::vector<Seen> got;
    got.reserve(want);
    prc_event e;
    while (got.size() < want && prc_next_event(c, &e, idle_ms) == 0) got.push_back({e.seq, e.kind, e.key});
    return got;
}

TEST(DaemonWatch, EveryChangeInCommitOrderAndAStalledWatcherGetsOneResync)
{
    Daemon d;
    // A queue the reading watcher never fills however the machine is loaded,
    // and the stalled one does.
    d.start({"--watch-queue", "6000"});
    {
        Conn setup = d.connect();
        for (int w = 0; w < kWriters; w++) ASSERT_NE(setup.key(writer_key(w)), 0u);
    }
    Conn watcher = d.connect();
    uint64_t first = 0;
    ASSERT_EQ(prc_watch(watcher, "SYSTEM.w", &first), 0u);
    std::vector<Seen> seen;
    std::thread reader([&] { seen = read_events(watcher, 10000, 20000); });

    // 2,000 changes, then 8,000 beside a watcher that reads nothing: more
    // than its queue and its socket hold.
    const double alone = write_all(d, 0, 500) / 2000;
    Conn stalled = d.connect();
    uint64_t stalled_from = 0;
    ASSERT_EQ(prc_watch(stalled, "SYSTEM.w", &stalled_from), 0u);
    const double beside_stalled = write_all(d, 500, 2000) / 8000;
    reader.join();

    ASSERT_EQ(seen.size(), 10000u);
    std::map<std::string, int> next;  // per writer: the key number expected next
    for (size_t i = 0; i < seen.size(); i++) {
        ASSERT_EQ(seen[i].seq, first + 1 + i) << "events come numbered in commit order, none missing";
        ASSERT_EQ(seen[i].kind, uint32_t{PRC_EV_CREATED});
        const std::string &key = seen[i].key;
        const size_t dot = key.find_last_of('.');
        EXPECT_EQ(std::stoi(key.substr(dot + 2)), next[key.substr(0, dot)]++) << key;
    }
    // The writers went on at their speed while a watcher did not read.
    std::printf("changes from %d writers: %.0f us each watched, %.0f us beside a stalled watcher\n", kWriters,
                alone * 1e6, beside_stalled * 1e6);
    // (Generous: a daemon that waited for the watcher would not go on at all.)
    EXPECT_LT(beside_stalled, 4 * alone) << alone * 1e6 << " us alone";

    const std::vector<Seen> late = read_events(stalled, 20000, 2000);
    size_t resyncs = 0;
    for (size_t i = 0; i < late.size(); i++) {
        if (late[i].kind == PRC_EV_RESYNC) {
            resyncs++;
            EXPECT_EQ(late[i].seq, first + 10000) << "the resync stands for everything after what it sent";
        } else {
            EXPECT_EQ(late[i].seq, stalled_from + 1 + i);
        }
    }
    EXPECT_EQ(resyncs, 1u);
    EXPECT_LT(late.size(), 8000u);
}

}  // namespace

// Crash safety: each operation runs in a child process whose writes stop
// for good after the n-th (a power cut); the store, opened and recovered
// afterwards, must hold exactly the state before or exactly the state after
// the operation, and take new writes.  The default run samples n; with
// $PROPREG_CRASH_SWEEP=full every n of every operation is tried.
#include <fstream>
#include <random>

#include "support/child.h"
#include "keys_fixture.h"

namespace {

constexpr int kCrashStatus = 86;

// Runs the child under the fault rules; its exit status.
int run_child(const std::string &op, const std::string &faults, const char *report = nullptr)
{
    std::vector<std::string> args = {op};
    if (report != nullptr) args.emplace_back(report);
    return ::run_child(PROPREG_KEYS_CRASH_CHILD, args, faults);
}

// Loses every write after the n-th and ends the process at the first one
// lost (a write torn after 0 bytes is the 0th).
std::string power_cut_after(unsigned long long n)
{
    std::string cut = n == 0 ? "tear:nth=1,bytes=0" : "drop_after:nth=" + std::to_string(n);
    return cut + "; crash:status=" + std::to_string(kCrashStatus);
}

// Every crash point from the first write of the operation to just past
// its last, or a fixed sample of them with both ends.
std::vector<unsigned long long> crash_points(unsigned long long first, unsigned long long last)
{
    std::vector<unsigned long long> all;
    for (unsigned long long n = first; n <= last; n++) all.push_back(n);
    const char *mode = std::getenv("PROPREG_CRASH_SWEEP");
    if (mode != nullptr && std::strcmp(mode, "full") == 0) return all;
    std::vector<unsigned long long> some = {first, last};
    std::mt19937 rng(7);
    std::sample(all.begin() + 1, all.end() - 1, std::back_inserter(some), 4, rng);
    return some;
}

// What the child's operations work on: SYSTEM.crash with a two-page value;
// SYSTEM.tree with c1 and c2, each with a grandchild g holding a two-page
// value, and 20 children with long names, enough to fill a KCE page;
// SYSTEM.dest, empty.
void prepare(const Store &store)
{
    StoreView v{store.ctx()};
    const sec_attr &sec = store.top_security();
    Key system = v.open("SYSTEM");
    ASSERT_EQ(v.set(v.create(system, "crash", sec), pattern(5000, 1)), PROP_OK);
    Key tree = v.create(system, "tree", sec);
    v.create(system, "dest", sec);
    for (const char *c : {"c1.g", "c2.g"}) {
        ASSERT_EQ(v.set(v.create(tree, c, sec), pattern(5000, static_cast<uint8_t>(c[1]))), PROP_OK);
    }
    for (uint32_t i = 0; i < 20; i++) v.create(tree, long_name(i).c_str(), sec);
}

void sweep(const std::string &op, uint32_t locations)
{
    SCOPED_TRACE(op + " on " + std::to_string(locations) + " location(s)");
    StoreOptions so;
    so.locations = locations;
    Store store(so);
    store.format();
    ASSERT_EQ(store.init(), PROP_OK);
    prepare(store);
    auto before = observe_tree(store.ctx(), "SYSTEM");
    ASSERT_EQ(store.terminate(), 0u);
    std::vector<std::string> paths;
    for (uint32_t i = 0; i < locations; i++) paths.push_back(store.location(i));
    StoreImages images;
    images.capture(paths);

    // One run without a crash: where the operation's writes lie, and the
    // state after it.
    std::string report = store.location(0) + ".report";
    ASSERT_EQ(run_child(op, "record", report.c_str()), 0);
    unsigned long long first = 0, last = 0;
    std::ifstream(report) >> first >> last;
    ASSERT_LT(first, last);
    ASSERT_EQ(store.init(), PROP_OK);
    auto after = observe_tree(store.ctx(), "SYSTEM");
    ASSERT_EQ(store.terminate(), 0u);
    ASSERT_NE(after, before);

    for (unsigned long long n : crash_points(first, last)) {
        SCOPED_TRACE("writes lost after the " + std::to_string(n) + "th");
        images.restore();
        int status = run_child(op, power_cut_after(n));
        if (n < last || status != 0) {  // past the last write the child may finish
            ASSERT_EQ(status, kCrashStatus);
        }
        ASSERT_EQ(store.init(), PROP_OK);
        ASSERT_EQ(prop_recover(store.ctx(), 0), PROP_OK);
        auto now = observe_tree(store.ctx(), "SYSTEM");
        if (n == first) {
            EXPECT_EQ(now, before);
        } else if (n == last) {
            EXPECT_EQ(now, after);
        } else {
            EXPECT_TRUE(now == before || now == after);
        }
        StoreView v{store.ctx()};
        Key k = v.open("SYSTEM.crash");
        EXPECT_EQ(v.set(k, pattern(6000, static_cast<uint8_t>(n))), PROP_OK);
        EXPECT_EQ(v.get(k).bytes, pattern(6000, static_cast<uint8_t>(n)));
        k.reset();
        ASSERT_EQ(store.terminate(), 0u);
    }
}

class CrashTest : public ::testing::TestWithParam<const char *> {};

TEST_P(CrashTest, IsAllOrNothingOnOneAndTwoLocations)
{
    sweep(GetParam(), 1);
    sweep(GetParam(), 2);
}

INSTANTIATE_TEST_SUITE_P(Operations, CrashTest,
                         ::testing::Values("set", "create", "cnset", "rdelete", "move", "batch"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

}  // namespace

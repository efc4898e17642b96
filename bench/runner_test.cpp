#include "runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "counting.h"
#include "support/tmpdir.h"

namespace {

// One block through the library's file seam, as the store's own I/O goes.
u32 io(const std::string &path, bool write)
{
    Env *env = env_current();
    env_file *f = nullptr;
    if (env->open(path.c_str(), O_RDWR | O_CREAT, 0600, &f) != 0) return 1;
    char block[4096] = {};
    size_t done = 0;
    int err = write ? env->pwrite(f, block, sizeof block, 0, &done) : env->pread(f, block, sizeof block, 0, &done);
    env->close(f);
    return err == 0 ? 0 : 1;
}

}  // namespace

TEST(RunWorkload, CountsOnlyTheTimedCallsOfEachLocation)
{
    TempDir dir;
    std::string a = dir.file("a"), b = dir.file("b");
    Env *outside = env_current();
    {
        IoCounter counter;
        int runs = 0;
        Workload w{[&](int) { return io(a, true) | io(b, true); },
                   [&](int) {
                       runs++;
                       return io(a, true) | io(a, true) | io(b, true) | io(a, false);
                   },
                   [&](int) { return io(b, true); }};
        Measured m = run_workload(w, 2, 5, &counter, {a, b});
        ASSERT_TRUE(m.ran) << m.why;
        EXPECT_EQ(runs, 7);
        EXPECT_EQ(m.latency.count, 5u);
        EXPECT_EQ(m.writes_per_op, (std::vector<double>{2, 1}));
        EXPECT_DOUBLE_EQ(m.reads_per_op, 1);
    }
    EXPECT_EQ(env_current(), outside);  // the library's files go back to the plain seam
}

TEST(RunWorkload, StopsAtTheFirstFailingStepWithItsCode)
{
    const struct {
        int step;  // 0 prepare, 1 run, 2 finish
        const char *why;
    } cases[] = {{0, "preparation failed at iteration 3 with code 26"},
                 {1, "the operation failed at iteration 3 with code 26"},
                 {2, "clean-up failed at iteration 3 with code 26"}};
    for (const auto &c : cases) {
        int calls = 0;
        auto fail_at_3 = [&](int step) { return [&, step](int i) -> u32 { return step == c.step && i == 3 ? 26 : 0; }; };
        Workload w{fail_at_3(0), [&](int i) -> u32 {
                       calls++;
                       return fail_at_3(1)(i);
                   },
                   fail_at_3(2)};
        Measured m = run_workload(w, 1, 10, nullptr, {});
        EXPECT_FALSE(m.ran);
        EXPECT_EQ(m.error, 26u);
        EXPECT_EQ(m.why, c.why);
        EXPECT_EQ(calls, c.step == 0 ? 3 : 4);
    }
}

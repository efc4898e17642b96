// The crash bench: a formatted store, the workload run once without faults
// to learn where its writes fall, and runs of the driver under fault rules,
// each from the same store and each verified afterwards.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/store.h"
#include "workload.h"

constexpr int kCrashStatus = 86;

struct BenchOptions {
    uint32_t locations = 1;
    uint32_t level = PROP_LEVEL_RW;  // of the driver and of the check
    uint32_t seed = 21;  // of the workload and of the crash points sampled
    uint32_t ops = 30;
    bool vld = false;  // locations in disk groups of the volume manager
};

// Writes made by the driver: in all (counter 0) and to location j
// (counter j + 1), when the store was open and after each operation.
struct Progress {
    std::vector<std::vector<uint64_t>> at;     // at[i][counter], i = operations done
    std::vector<std::vector<uint64_t>> reads;  // reads[i][j]: location j's reads
    std::vector<uint32_t> codes;            // codes[i - 1]: operation i's code
    int status = -1;                        // the driver's exit status
    void read(const std::string &path);  // appends the report's lines
};

// What a run may end in: the trees after the operations in [first, last].
struct Expect {
    uint32_t first = 0;
    uint32_t last = 0;
};

class CrashBench {
  public:
    explicit CrashBench(const BenchOptions &options);

    const BenchOptions &options() const { return opt_; }
    const Workload &workload() const { return work_; }
    const Progress &clean() const { return clean_; }
    bool ok() const { return ok_; }
    Store &store() { return store_; }
    std::vector<std::string> locations() const;

    // The operations a run may have ended in when the first write lost (or
    // torn) is write number w of counter c (0: all writes, j + 1: location
    // j's).
    Expect expect_lost(uint32_t counter, uint64_t w) const;
    // After a run whose report says where it stopped (a failing operation
    // or a process that ended).
    Expect expect_stopped(const Progress &run) const;

    // Runs the driver on the store as it is; the report file it writes.
    Progress run_driver(const std::vector<std::string> &args, const std::string &faults);
    const std::string &report() const { return report_; }
    // Restores the store as formatted (or as saved), runs the driver.
    Progress run_workload(const std::string &faults);
    Progress run_recovery(const std::string &faults);
    // Restores the backup file onto the store's locations.
    Progress run_restore(const std::string &backup, const std::string &faults);
    // Keeps the store's current files as the starting point of later runs,
    // e.g. a store a crash left for recovery.
    void save();
    void restore_saved() const { saved_.restore(); }

    // Opens and recovers the store, compares its tree with expect, checks
    // the pages of the locations in check (all when empty), writes, reads
    // and deletes a key, and closes it.  "" or what went wrong; *matched
    // receives the number of operations whose tree it found.
    std::string verify(const Expect &expect, const std::vector<uint32_t> &check = {}, uint32_t *matched = nullptr);

  private:
    std::string verify_open(const Expect &expect, const std::vector<uint32_t> &check, uint32_t *matched);

    BenchOptions opt_;
    Store store_;
    StoreImages saved_;  // the store every run starts from
    Workload work_;
    Progress clean_;
    bool ok_ = false;
    std::string report_;
};

// Crashes one kind of driver run at every crash point of three modes: a
// power cut on all locations, one on a single location (the others keep
// what they took until the process died), and a write torn after 512
// bytes.  At each cut, every write a cut location took since its last
// barrier is kept, lost or torn, as a generator seeded from the point
// decides (a full sweep tries kLossVariants seeds per point).
class Sweeper {
  public:
    // What to run under fault rules, and what a run may end in when the
    // first write it lost is write w of counter c (see expect_lost).
    using Runner = std::function<Progress(const std::string &faults)>;
    using Judge = std::function<Expect(uint32_t counter, uint64_t w)>;
    // What is checked after each run: "" or what went wrong.
    using Verify = std::function<std::string(const Expect &expect)>;

    Sweeper(CrashBench &bench, std::string label, uint32_t sample)
        : bench_(bench), label_(std::move(label)), sample_(sample), seed_(bench.options().seed)
    {
    }
    // clean: the run without faults; prefix names the modes in the figures.
    void all_modes(const Progress &clean, const Runner &run, const Judge &judge, const std::string &prefix = "");
    // Checks runs with verify instead of the bench's own verify().
    void verify_with(Verify verify) { verify_ = std::move(verify); }
    // Counts one run of mode at point k: why (the run ended as it may
    // not), or else what the verify finds against expect.
    void judge(const std::string &mode, uint64_t k, std::string why, const Expect &expect);
    // Prints the runs tried and failed per mode; a failure unless none failed.
    void expect_none(const std::string &title, const Progress &clean) const;

  private:
    void point(const std::string &mode, uint64_t k, const std::string &rules, const Runner &run, Expect expect,
               bool may_finish);

    CrashBench &bench_;
    std::string label_;
    uint32_t sample_;
    uint32_t seed_;
    uint32_t shown_ = 0;
    Verify verify_;
    std::map<std::string, std::pair<uint64_t, uint64_t>> modes_;  // tried, failed
};

// A key with a large value goes in, reads back and is deleted again.
std::string takes_new_writes(backend_ctx *ctx, const sec_attr &sec, uint32_t seed);

// The fault rules of one crash: every write after the k-th is lost, and
// so may be any the cut files took since their last barrier; the process
// ends (k = 0: before the first).  path restricts the count and the loss
// to one location's writes.
std::string power_cut(uint64_t k, const std::string &path = "", uint32_t variant = 0);
// The k-th write (1-based) keeps only its first 512 bytes, the writes
// since each file's last barrier may be lost too; the process ends.
std::string torn_write(uint64_t k, uint32_t variant = 0);
// How differently a full sweep loses the writes in flight at each point.
constexpr uint32_t kLossVariants = 4;

// Crash points 0..n, every one in a full sweep ($PROPREG_CRASH_SWEEP=full),
// else both ends and a sample of `sample` more taken with a fixed seed.
std::vector<uint64_t> crash_points(uint64_t first, uint64_t last, uint32_t sample, uint32_t seed);
bool full_sweep();

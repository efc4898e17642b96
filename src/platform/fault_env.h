// The fault layer: an Env that wraps another and misbehaves on purpose, so
// tests can show what the store does when a location fails, a write is
// lost or torn, or the power goes.
//
// Rules are kept in order and each counts the operations it matches: a
// rule with a path matches the files whose path contains it (substring);
// a rule without one matches every file.  "n-th" is 1-based and counted
// from the moment the rule was added.
//
// Text form, the value of $PROPREG_FAULTS and the argument of load():
// rules separated by ';', each a kind followed by ':' and comma-separated
// key=value pairs (a kind without pairs needs no ':').  Blanks around
// items are ignored.
//
//   fail_read:nth=N,errno=E[,times=T][,path=P]
//   fail_write:nth=N,errno=E[,times=T][,path=P]
//   fail_open:nth=N,errno=E[,times=T][,path=P]
//       the N-th matching read/write/open fails with E and moves nothing;
//       times=T fails T operations from the N-th on (0 = every one).
//       E is a number or a name (EIO, ENOSPC, EACCES, EPERM, EINVAL,
//       ENOENT, ENXIO, EROFS, EBADF, ENOTDIR, EISDIR).
//   drop_after:nth=N[,path=P][,lose=S]
//       writes after the N-th are lost (reported as done, never written).
//       With a path, N counts that path's writes and only they are lost;
//       without, N counts every write and all are lost: a power cut.
//   tear:nth=N,bytes=K[,path=P][,lose=S]
//       the N-th matching write stores only its first K bytes (reported
//       as whole) and every later write of any file is lost.
//   lose=S: when the cut comes, what each cut file took since its last
//       barrier (fsync, or a barrier of sync_batch) was never made
//       durable: each such write is kept, lost or torn at a 512-byte
//       boundary, as a generator seeded with S decides.  A file opened
//       O_DSYNC has every write durable at once.  The cut files are
//       those of the rule's path, or every file for a power cut.
//   delay:us=N[,path=P]
//       every matching write first sleeps N microseconds.
//   device:bytes=N[,sector=S][,path=P]
//       matching files present themselves (size, sector size, fstat) as
//       block devices of N bytes with S-byte sectors (default 512).
//   crash:status=S
//       end the process (fast exit with status S) at the first write lost
//       or torn, after the torn bytes are stored.
//   record
//       keep the sequence of writes (path, offset, length, outcome, and
//       the barriers of its file before it).
//
// Example: "record; tear:nth=3,bytes=512,path=loc1; crash:status=86"
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/env.h"

// Environment variable read at first use of env_current().
inline constexpr const char *PROPREG_FAULTS_ENV = "PROPREG_FAULTS";

enum class fault_kind { fail_read, fail_write, fail_open, drop_after, tear, delay, device };

struct fault_rule {
    fault_kind kind = fault_kind::fail_read;
    std::string path;  // substring; empty = every file
    u64 nth = 1;
    u64 times = 1;     // failures only: how many from the n-th (0 = all)
    int err = 5;       // failures only: the errno returned (EIO)
    u64 bytes = 0;     // tear: bytes stored of the torn write; device: its size
    u64 us = 0;        // delay: microseconds before each write
    u32 sector = 512;  // device: its sector size
    u64 lose = 0;      // drop_after, tear: seed of the losses at the cut (0 = none)
};

enum class fault_outcome { written, lost, torn, failed };

struct fault_write_record {
    std::string path;
    u64 offset;
    u64 length;
    fault_outcome outcome;
    u64 barriers;  // of its file before it: writes with the same count share a group
};

// Parses the text form; 0, or EINVAL (nothing is kept) with the offending
// item in *bad when bad is given.
int fault_parse(const char *text, std::vector<fault_rule> *rules, bool *record, int *crash_status,
                std::string *bad = nullptr);

class FaultEnv final : public Env {
  public:
    explicit FaultEnv(Env *base);

    // Adds the rules of a text (see above); 0 or EINVAL with nothing added.
    int load(const char *text);
    void add(const fault_rule &rule);
    // A status >= 0 ends the process at the first lost or torn write.
    void set_crash(int status);
    void set_record(bool on);
    // Forgets rules, counters, the power cut and the record.
    void reset();

    // Reads, writes and barriers seen, over the files whose path contains
    // the text (nullptr or "" = all files).  Failed, lost and torn ones
    // count too.  A write of a file opened O_DSYNC is a barrier too.
    u64 reads(const char *path_part = nullptr) const;
    // Times a reader waited for the files: a pread, or a batch of them in
    // flight together.
    u64 read_waits(const char *path_part = nullptr) const;
    u64 writes(const char *path_part = nullptr) const;
    u64 barriers(const char *path_part = nullptr) const;
    std::vector<fault_write_record> recorded() const;
    // True once a power cut (a drop over all files, or a tear) has begun.
    bool power_cut() const;

    int open(const char *path, int flags, int mode, env_file **out) override;
    int close(env_file *f) override;
    int pread(env_file *f, void *buf, size_t len, u64 off, size_t *done) override;
    int pwrite(env_file *f, const void *buf, size_t len, u64 off, size_t *done) override;
    // Each read of the batch counts, and may fail, as one pread.
    void pread_batch(env_file *f, env_read *reads, size_t n) override;
    int size(env_file *f, u64 *bytes, bool *is_block_device) override;
    int sector_size(env_file *f, u32 *bytes) override;
    int truncate(env_file *f, u64 bytes) override;
    int fsync(env_file *f) override;
    void write_batch(env_write *w, size_t n) override;
    void sync_batch(env_sync *s, size_t n) override;
    // Without rules the writes and barriers only count, and keep the base
    // file system's own overlap; with rules, write_batch then sync_batch.
    void write_sync_batch(env_write *w, size_t n, env_sync *s, size_t m) override;
    int stat(const char *path, struct stat *st) override;
    int fstat(env_file *f, struct stat *st) override;
    int unlink(const char *path) override;
    int rename(const char *from, const char *to) override;
    const char *path(env_file *f) override;
    int open_flags(env_file *f) override;

  private:
    struct Rule {
        fault_rule r;
        u64 seen = 0;
        bool cut = false;  // the cut this rule makes has come
    };
    struct Count {
        std::string path;
        u64 reads = 0;
        u64 read_waits = 0;
        u64 writes = 0;
        u64 barriers = 0;
    };
    // What one write is to do, decided under the lock.
    struct WritePlan {
        int err = 0;
        u64 delay_us = 0;
        u64 store = 0;  // bytes to store
        fault_outcome outcome = fault_outcome::written;
        const fault_rule *cut = nullptr;  // a cut that comes with this write
    };
    // A write since its file's last barrier, with the bytes it covered
    // before and after.
    struct Unsynced {
        env_file *file;
        std::string path;
        u64 off;
        std::string before, after;
    };

    Count &count_for(const char *path);
    u64 sum(const char *path_part, u64 Count::*field) const;
    int failure_for(fault_kind kind, const char *path);
    WritePlan plan_write(const char *path, u64 len);
    const fault_rule *device_for(const char *path) const;
    void note_write(const char *path, u64 off, u64 len, fault_outcome outcome);
    int write_prefix(env_file *f, const void *buf, size_t len, u64 bytes, u64 off);
    bool durable_at_once(env_file *f);
    void remember_unsynced(env_file *f, const char *path, const env_write &w);
    void barrier(env_file *f);
    void apply_cut(const fault_rule &cut);
    void run_batch(env_write *w, const size_t *which, size_t n, u64 delay_us);
    [[noreturn]] void crash();

    Env *base_;
    mutable std::mutex mu_;
    std::vector<Rule> rules_;
    std::vector<Count> counts_;
    std::vector<fault_write_record> record_;
    std::vector<Unsynced> unsynced_;
    bool tracking_ = false;  // a rule loses unsynced writes at its cut
    bool recording_ = false;
    bool power_cut_ = false;
    int crash_status_ = -1;
};

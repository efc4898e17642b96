#include "integrity.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "core/handle.h"
#include "device.h"
#include "format/block.h"
#include "format/storemap.h"
#include "propreg_store.h"

namespace {

constexpr u32 kKeys = 100000;
constexpr u32 kCompareKeys = 50000;
constexpr u32 kQuickKeys = 2000;
constexpr int kRounds = 5;

double seconds(double us)
{
    return us / 1e6;
}

double mib_per_s(u64 bytes, double us)
{
    return us > 0 ? static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds(us) : 0;
}

// One timed call; false when it did not answer as a sound store does.
template <class F>
bool timed(std::vector<double> *us, F call)
{
    double t0 = now_us();
    bool ok = call();
    us->push_back(now_us() - t0);
    return ok;
}

// What verifying a block's checksum costs a read: each of up to 16 MiB of
// the store's pages is verified several times over, as a read verifies a
// block it has just copied in, on the thread's CPU clock, which a machine
// busy with other work does not stretch.
double verify_ns_per_page(const std::string &path, u64 start, u64 bytes)
{
    const size_t pages = static_cast<size_t>(std::min<u64>(bytes, 16u << 20) / 4096);
    std::vector<u8> buf(pages * 4096);
    const int fd = ::open(path.c_str(), O_RDONLY);
    const bool read = fd >= 0 && ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(start)) ==
                                     static_cast<ssize_t>(buf.size());
    if (fd >= 0) ::close(fd);
    if (!read || pages == 0) return 0;
    const auto cpu_ns = [] {
        timespec t{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
    };
    u32 failed = 0;
    const int times = 8;
    const double t0 = cpu_ns();
    for (size_t p = 0; p < pages; p++)
        for (int r = 0; r < times; r++) failed += hdr_verify_checksum(&buf[p * 4096], 4096) != 0 ? 1 : 0;
    const double ns = (cpu_ns() - t0) / (static_cast<double>(pages) * times);
    return failed == 0 ? ns : 0;
}

// Check of a store against verify of its backup, in turn.
void measure_check_and_verify(const std::string &dir, bool quick, IntegrityRows *rows)
{
    rows->compare_keys = quick ? kQuickKeys : kCompareKeys;
    PropregStore store;
    std::fprintf(stderr, "building a store of %u keys for check and verify\n", rows->compare_keys);
    if (store.open_with_keys(dir, rows->compare_keys, PROP_LEVEL_READONLY, &rows->why) != PROP_OK) return;
    prop_status status{};
    std::string file = dir + "/verify.backup";
    if (prop_get_status(store.ctx(), &status, 4) != PROP_OK || prop_bkup(store.ctx(), file.data()) != PROP_OK) {
        rows->why = "the store of the check and verify rows could not be scanned or backed up";
        return;
    }
    rows->compare_bytes = status.used_kb * 1024;
    std::vector<double> check, verify;
    bool ok = true;
    for (int round = 0; ok && round < (quick ? 1 : kRounds); round++) {
        for (int i = 0; ok && i < 2; i++) {
            if ((round + i) % 2 == 0) {
                ok = timed(&check, [&] { return checked(store.ctx()); });
                continue;
            }
            ok = timed(&verify, [&] {
                PropregStore image;
                return image.open_backup(file, &rows->why) == PROP_OK && checked(image.ctx());
            });
        }
        if (ok)
            std::fprintf(stderr, "  round %d: check %.3f s, verify %.3f s\n", round + 1, seconds(check.back()),
                         seconds(verify.back()));
    }
    ::unlink(file.c_str());
    if (!ok) {
        if (rows->why.empty()) rows->why = "check or verify did not find the store sound";
        return;
    }
    rows->check_store = summarize(check);
    rows->verify_backup = summarize(verify);
    rows->compared = true;
}

}  // namespace

bool checked(backend_ctx *ctx)
{
    prop_status status{};
    return prop_get_status(ctx, &status, 4) == PROP_OK && status.state[0] == PROP_SLOT_OPEN &&
           prop_check_logical_corruption(ctx) == PROP_OK;
}

IntegrityRows measure_integrity(const std::string &dir, bool quick)
{
    IntegrityRows rows;
    rows.keys = quick ? kQuickKeys : kKeys;
    PropregStore store;
    std::fprintf(stderr, "building a store of %u keys\n", rows.keys);
    if (store.open_with_keys(dir, rows.keys, PROP_LEVEL_READONLY, &rows.why) != PROP_OK) return rows;
    backend_ctx *ctx = store.ctx();
    prop_status status{};
    if (u32 rc = prop_get_status(ctx, &status, 0); rc != PROP_OK) {
        rows.why = "prop_get_status returned " + std::to_string(rc);
        return rows;
    }
    // The pages in use lie from the start of the tnode area on; the device
    // is read over the same bytes.
    rows.bytes = status.used_kb * 1024;
    const u64 start = PROPR_RESERVED_PREFIX + u64{ctx->propb_ctx->proprhandle_rtnst};

    // The four measurements take turns at going first, so that none of
    // them always meets the device cold.
    std::vector<double> seq1, seq4, scan, check;
    const auto sequential = [&](std::vector<double> *us, size_t request) {
        double t = 0;
        if (sequential_read(store.paths()[0], start, rows.bytes, &t, &rows.why, request) != 0) return false;
        us->push_back(t);
        return true;
    };
    const std::function<bool()> steps[] = {
        [&] { return sequential(&seq1, 1u << 20); },
        [&] { return sequential(&seq4, 4u << 20); },
        [&] {
            return timed(&scan, [&] {
                return prop_get_status(ctx, &status, 0) == PROP_OK && status.state[0] == PROP_SLOT_OPEN;
            });
        },
        [&] { return timed(&check, [&] { return prop_check_logical_corruption(ctx) == PROP_OK; }); },
    };
    const int rounds = quick ? 1 : kRounds;
    for (int round = 0; round < rounds; round++) {
        for (int i = 0; i < 4; i++) {
            if (steps[(round + i) % 4]()) continue;
            if (rows.why.empty()) rows.why = "the store did not check as sound";
            return rows;
        }
        std::fprintf(stderr, "  round %d: sequential %.3f s (1 MiB), %.3f s (4 MiB), scan %.3f s, check %.3f s\n",
                     round + 1, seconds(seq1.back()), seconds(seq4.back()), seconds(scan.back()), seconds(check.back()));
    }
    rows.sequential_1m = summarize(seq1);
    rows.sequential_4m = summarize(seq4);
    rows.scan = summarize(scan);
    rows.check = summarize(check);
    rows.verify_ns = verify_ns_per_page(store.paths()[0], start, rows.bytes);
    store.close();
    rows.ran = true;
    measure_check_and_verify(dir, quick, &rows);
    return rows;
}

void print_integrity(std::FILE *out, const IntegrityRows &r)
{
    std::fprintf(out, "\nIntegrity checks: a store of %u keys on one location, %.1f MiB of pages in use\n", r.keys,
                 static_cast<double>(r.bytes) / (1024.0 * 1024.0));
    if (!r.ran) {
        std::fprintf(out, "  not measured: %s\n", r.why.c_str());
        return;
    }
    std::fprintf(out, "  %-40s %-19s %9s  %s\n", "", "seconds (p90)", "MiB/s", "");
    auto row = [&](const char *label, const Summary &s, const std::string &note) {
        char when[48];
        std::snprintf(when, sizeof when, "%.3f (%.3f)", seconds(s.median_us), seconds(s.p90_us));
        std::fprintf(out, "  %-40s %-19s %9.0f  %s\n", label, when, mib_per_s(r.bytes, s.median_us), note.c_str());
    };
    char note[64];
    row("sequential direct read, 1 MiB requests", r.sequential_1m, "the device");
    row("sequential direct read, 4 MiB requests", r.sequential_4m, "the device");
    // The device's bandwidth is the better of the two request sizes.
    const double device_us = std::min(r.sequential_1m.median_us, r.sequential_4m.median_us);
    std::snprintf(note, sizeof note, "%.0f%% of sequential", 100.0 * device_us / r.scan.median_us);
    row("status scan (prop_get_status)", r.scan, note);
    std::snprintf(note, sizeof note, "%.2fx the scan", r.check.median_us / r.scan.median_us);
    row("corruption check", r.check, note);
    std::fprintf(out, "  %-40s %.0f ns of CPU per 4096-byte page read\n", "checksum verification on every read",
                 r.verify_ns);
    std::fprintf(out, "  on a store of %u keys, %.1f MiB of pages in use:\n", r.compare_keys,
                 static_cast<double>(r.compare_bytes) / (1024.0 * 1024.0));
    if (!r.compared) {
        std::fprintf(out, "  check and verify not measured: %s\n", r.why.c_str());
        return;
    }
    auto small_row = [&](const char *label, const Summary &s, const std::string &n) {
        char when[48];
        std::snprintf(when, sizeof when, "%.3f (%.3f)", seconds(s.median_us), seconds(s.p90_us));
        std::fprintf(out, "  %-40s %-19s %9.0f  %s\n", label, when, mib_per_s(r.compare_bytes, s.median_us), n.c_str());
    };
    small_row("check (status scan + corruption check)", r.check_store, "");
    std::snprintf(note, sizeof note, "%.2fx check", r.verify_backup.median_us / r.check_store.median_us);
    small_row("verify of a backup (open, scan, check)", r.verify_backup, note);
}

// propreg_bench: propreg beside the device limit and SQLite, in one run on
// one file system.  Prints one table; see README.md, "Benchmarks".
//
//   propreg_bench [--dir DIR] [--quick] [--keep]
//     --dir DIR  where the stores live (default ./propreg-bench); created
//                if missing, emptied of what the run made unless --keep
//     --quick    a few iterations per row: shows that every row runs
//     --service  only the rows through propregd (and their neighbours)
//     --walks    only the whole-tree walks and the keys of many children
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backups.h"
#include "counting.h"
#include "device.h"
#include "integrity.h"
#include "keycache.h"
#include "propreg_ops.h"
#include "propreg_store.h"
#include "protocol.h"
#include "service.h"
#include "sqlite_ops.h"
#include "table.h"
#include "walks.h"

namespace {

struct Options {
    std::string dir = "propreg-bench";
    bool quick = false;
    bool keep = false;
    bool service_only = false;
    bool walks_only = false;
};

bool parse(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc)
            o->dir = argv[++i];
        else if (std::strcmp(argv[i], "--quick") == 0)
            o->quick = true;
        else if (std::strcmp(argv[i], "--keep") == 0)
            o->keep = true;
        else if (std::strcmp(argv[i], "--service") == 0)
            o->service_only = true;
        else if (std::strcmp(argv[i], "--walks") == 0)
            o->walks_only = true;
        else
            return false;
    }
    return true;
}

int iterations(const OpInfo &op, const Options &o)
{
    return o.quick ? op.quick_iterations : op.iterations;
}

void progress(const char *system, const OpInfo &op, const Measured &m)
{
    if (m.ran)
        std::fprintf(stderr, "  %-14s %-27s %10.1f us median\n", system, op.label, m.latency.median_us);
    else
        std::fprintf(stderr, "  %-14s %-27s %s\n", system, op.label, m.why.c_str());
}

// The one-minute load average, as the kernel reports it.
std::string load_average()
{
    char buf[64] = "?";
    if (std::FILE *f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%63s", buf) != 1) std::snprintf(buf, sizeof buf, "?");
        std::fclose(f);
    }
    return buf;
}

// Where propreg's rows put the store (files, or disk groups) and the
// level it is opened at.
struct Placement {
    u32 locations;
    bool disk_groups;
    u32 level;
};
constexpr Placement kPlacements[] = {{1, false, PROP_LEVEL_CACHING},
                                     {3, false, PROP_LEVEL_CACHING},
                                     {3, true, PROP_LEVEL_CACHING},
                                     {1, false, PROP_LEVEL_RW},
                                     {3, false, PROP_LEVEL_RW}};

Row &row_of(std::vector<Row> &rows, const OpInfo &op, Placement p)
{
    for (Row &r : rows)
        if (r.op == &op && r.locations == p.locations && r.disk_groups == p.disk_groups && r.level == p.level)
            return r;
    rows.push_back(Row{&op, p.locations, {}, {}, {}, p.disk_groups, p.level});
    return rows.back();
}

// Every operation on SQLite with one journal mode; the result goes into
// the rows of both location counts.
bool measure_sqlite(const Options &o, SqliteStore::Journal journal, std::vector<Row> &rows)
{
    bool wal = journal == SqliteStore::Journal::wal;
    const char *name = wal ? "SQLite WAL" : "SQLite DELETE";
    SqliteStore db;
    std::string why;
    bool ok = db.open(o.dir + (wal ? "/sqlite-wal.db" : "/sqlite-delete.db"), journal, &why) == 0;
    for (const OpInfo &op : all_ops()) {
        Measured m = ok ? run_workload(db.workload(op), 1, iterations(op, o), nullptr, {}) : not_measured(why);
        progress(name, op, m);
        for (Placement p : kPlacements) (wal ? row_of(rows, op, p).sqlite_wal : row_of(rows, op, p).sqlite_rollback) = m;
        ok = ok && m.ran;
    }
    return ok;
}

Measured propreg_failure(u32 rc, const std::string &why)
{
    Measured m = not_measured(rc == PROP_E_LEVEL ? "not built: the export answers 2 (its operation has not landed)" : why);
    m.error = rc;
    return m;
}

// Every operation on a propreg store placed as asked.
bool measure_propreg(const Options &o, Placement place, const IoCounter &counter, DeviceProbe *probe,
                     std::vector<Row> &rows)
{
    char name[32];
    std::snprintf(name, sizeof name, "propreg %u %s L%u", place.locations, place.disk_groups ? "dg" : "loc",
                  place.level);
    PropregStore store;
    std::string why;
    u32 rc = store.open(o.dir, place.locations, place.disk_groups, place.level, &why);
    bool ok = true;
    {
        PropregOps ops(&store);
        if (rc == PROP_OK) rc = ops.prepare(&why);
        for (const OpInfo &op : all_ops()) {
            Measured m = rc == PROP_OK ? run_workload(ops.workload(op), 1, iterations(op, o), &counter, store.paths(), probe)
                                       : propreg_failure(rc, why);
            if (!m.ran && m.error == PROP_E_LEVEL) m = propreg_failure(PROP_E_LEVEL, m.why);
            if (!m.ran && m.error != PROP_E_LEVEL) ok = false;
            progress(name, op, m);
            row_of(rows, op, place).propreg = m;
        }
    }
    store.close();
    return ok;
}

const Row *row_at(const std::vector<Row> &rows, Op op, u32 locations, u32 level)
{
    for (const Row &r : rows)
        if (r.op->op == op && r.locations == locations && !r.disk_groups && r.level == level && r.propreg.ran)
            return &r;
    return nullptr;
}

// What a recursive delete at level 0 cannot go below: every page of the
// subtree comes from the device, at best at its sequential rate.
void print_subtree_reads(std::FILE *out, const std::vector<Row> &rows, const IntegrityRows &integrity)
{
    const Row *del = row_at(rows, Op::delete_tree, 1, PROP_LEVEL_RW);
    const Row *set = row_at(rows, Op::set_100, 1, PROP_LEVEL_RW);
    if (del == nullptr || set == nullptr || !integrity.ran || integrity.sequential_1m.median_us <= 0) return;
    const double bytes_per_us = static_cast<double>(integrity.bytes) / integrity.sequential_1m.median_us;
    const double bytes = protocol_floor(*del->op).reads * double{PROP_PAGE_SIZE};
    const double read_ms = bytes / bytes_per_us / 1000;
    const double set_ms = set->propreg.latency.median_us / 1000;
    std::fprintf(out,
                 "\nRecursive delete at level 0 reads every page of the subtree (%.1f MiB): at the device's sequential\n"
                 "direct-read rate (%.0f MiB/s) that alone takes %.2f ms, %.1fx the level-0 set-value of 100 B\n"
                 "(%.3f ms); the delete took %.2f ms.\n",
                 bytes / (1 << 20), bytes_per_us * 1e6 / (1 << 20), read_ms, read_ms / set_ms, set_ms,
                 del->propreg.latency.median_us / 1000);
}

// The whole-tree walks and the keys of many children; true when every row ran.
bool measure_and_print_walks(const Options &o, std::FILE *out)
{
    WalkRows walks = measure_walks(o.dir, o.quick);
    std::vector<WideRows> wide;
    for (u32 level : {PROP_LEVEL_CACHING, PROP_LEVEL_RW}) wide.push_back(measure_wide(o.dir, o.quick, level));
    print_walks(out, walks);
    bool ok = walks.ran;
    for (const WideRows &w : wide) {
        print_wide(out, w);
        ok = ok && w.ran;
    }
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: %s [--dir DIR] [--quick] [--keep] [--service] [--walks]\n", argv[0]);
        return 2;
    }
    if (o.service_only) {
        ::mkdir(o.dir.c_str(), 0700);
        unsetenv("ZKV_DEVELOPER_ENV");
        std::string why;
        if (lay_out_locations(o.dir, 1, &why) != PROP_OK) {
            std::fprintf(stderr, "propreg_bench: %s\n", why.c_str());
            return 1;
        }
        ServiceRows service = measure_service(o.dir, o.quick);
        if (!o.keep) remove_store_files(o.dir);
        std::printf("load average %s\n", load_average().c_str());
        print_service(stdout, service);
        return service.ok() ? 0 : 1;
    }
    ::mkdir(o.dir.c_str(), 0700);
    // Locations are opened as on a cluster: unbuffered and write-through.
    unsetenv("ZKV_DEVELOPER_ENV");
    if (o.walks_only) {
        const bool ok = measure_and_print_walks(o, stdout);
        if (!o.keep) remove_store_files(o.dir);
        return ok ? 0 : 1;
    }
    IoCounter counter;

    std::string why;
    // The big writes first, so that the device has settled when measuring starts.
    std::fprintf(stderr, "laying out the locations in %s\n", o.dir.c_str());
    if (lay_out_locations(o.dir, 3, &why) != PROP_OK) {
        std::fprintf(stderr, "propreg_bench: %s\n", why.c_str());
        return 1;
    }
    std::string load = load_average();
    std::fprintf(stderr, "device limit\n");
    DeviceProbe probe;
    DeviceSamples device;
    int device_runs = o.quick ? 10 : 250;
    if (probe.open(o.dir, &why) != 0 || measure_device(&probe, device_runs, &device, &why) != 0) {
        std::fprintf(stderr, "propreg_bench: %s\n", why.c_str());
        return 1;
    }
    std::vector<Row> rows;
    for (const OpInfo &op : all_ops())
        for (Placement p : kPlacements) row_of(rows, op, p);
    bool ok = measure_sqlite(o, SqliteStore::Journal::rollback, rows);
    ok = measure_sqlite(o, SqliteStore::Journal::wal, rows) && ok;
    for (Placement p : kPlacements) ok = measure_propreg(o, p, counter, &probe, rows) && ok;
    IntegrityRows integrity = measure_integrity(o.dir, o.quick);
    ok = integrity.ran && integrity.compared && ok;
    std::fprintf(stderr, "backups\n");
    BackupFigures backups;
    ok = measure_backups(o.dir, o.quick ? 2000 : 100000, &backups) && ok;
    KeyCacheRows key_cache = measure_key_cache(o.dir, o.quick, &probe);
    ok = key_cache.ran && ok;
    ServiceRows service = measure_service(o.dir, o.quick);
    ok = service.ok() && ok;
    if (!o.keep) remove_store_files(o.dir);
    std::fprintf(stderr, "device limit again\n");
    if (measure_device(&probe, device_runs, &device, &why) != 0) {
        std::fprintf(stderr, "propreg_bench: %s\n", why.c_str());
        return 1;
    }

    load += " at the start, ";
    load += load_average() + " at the end";
    print_table(stdout, o.dir, load, summarize(device), rows);
    print_subtree_reads(stdout, rows, integrity);
    print_integrity(stdout, integrity);
    print_backups(stdout, backups);
    print_key_cache(stdout, key_cache);
    print_service(stdout, service);
    std::fflush(stdout);
    // Measured last and printed as they finish: they take their own stores.
    ok = measure_and_print_walks(o, stdout) && ok;
    if (!o.keep) remove_store_files(o.dir);
    return ok ? 0 : 1;
}

#include "table.h"

#include <cmath>
#include <set>

namespace {

constexpr const char *kRowFormat = "%-27s %5s  %-15s %-15s %-15s %6s %6s  %7s %6s  %-9s %-11s %-11s\n";

// Milliseconds with about three significant digits.
std::string ms(double us)
{
    double v = us / 1000.0;
    char buf[32];
    int decimals = v >= 100 ? 0 : v >= 10 ? 1 : v >= 1 ? 2 : 3;
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string latency(const Measured &m)
{
    char buf[48];
    if (!m.ran)
        std::snprintf(buf, sizeof buf, m.error == PROP_E_LEVEL ? "not built" : "failed (%u)", m.error);
    else
        std::snprintf(buf, sizeof buf, "%s (%s)", ms(m.latency.median_us).c_str(), ms(m.latency.p90_us).c_str());
    return buf;
}

std::string ratio(const Measured &a, double b_us)
{
    if (!a.ran || b_us <= 0) return "";
    char buf[32];
    double r = a.latency.median_us / b_us;
    std::snprintf(buf, sizeof buf, "%.*fx", r >= 10 ? 0 : 1, r);
    return buf;
}

std::string count(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", std::fabs(v - std::round(v)) < 0.05 ? 0 : 1, v);
    return buf;
}

// Writes or barriers per operation on each location, and the protocol
// minimum; a range when the locations differ.
std::string per_location(const Measured &m, const std::vector<double> &per_op, u32 minimum)
{
    if (!m.ran || per_op.empty()) return "";
    double lo = per_op[0], hi = lo;
    for (double w : per_op) {
        lo = std::min(lo, w);
        hi = std::max(hi, w);
    }
    char buf[48];
    if (hi - lo >= 0.05)
        std::snprintf(buf, sizeof buf, "%s-%s (%u)", count(lo).c_str(), count(hi).c_str(), minimum);
    else
        std::snprintf(buf, sizeof buf, "%s (%u)", count(lo).c_str(), minimum);
    return buf;
}

std::string reads(const Measured &m, u32 minimum)
{
    if (!m.ran || m.writes_per_op.empty()) return "";
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s (%u)", count(m.reads_per_op).c_str(), minimum);
    return buf;
}

std::string device_line(const char *what, const Summary &s)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s %s (%s)", what, ms(s.median_us).c_str(), ms(s.p90_us).c_str());
    return buf;
}

}  // namespace

double floor_us(const ProtocolCost &cost, const Measured &row, const DeviceLimit &device, bool from_device)
{
    const Summary &write = row.device_write.count != 0 ? row.device_write : device.write_direct;
    const Summary &read = row.device_read.count != 0 ? row.device_read : device.read_direct;
    if (cost.barriers == 0) return cost.reads * read.median_us;
    return cost.barriers * write.median_us + (from_device && cost.reads != 0 ? read.median_us : 0);
}

void print_table(std::FILE *out, const std::string &dir, const std::string &load, const DeviceLimit &device,
                 const std::vector<Row> &rows)
{
    const char *direct = device.direct ? "O_DIRECT + fdatasync" : "buffered + fdatasync (no O_DIRECT here)";
    std::fprintf(out, "Benchmark directory: %s; load average %s\n", dir.c_str(), load.c_str());
    std::fprintf(out, "Device limit, ms, median (p90) of %zu runs on 4096-byte blocks, half before and half after the stores:\n", device.write_direct.count);
    std::fprintf(out, "  %s;\n", device_line((std::string("durable write ") + direct).c_str(), device.write_direct).c_str());
    std::fprintf(out, "  %s;\n", device_line("durable write O_DSYNC", device.write_dsync).c_str());
    std::fprintf(out, "  %s;\n", device_line(device.direct ? "direct read" : "read", device.read_direct).c_str());
    std::fprintf(out, "  %s.\n",
                 device_line("one durable write to each of 3 files at once", device.write_direct_x3).c_str());
    std::fprintf(out,
                 "Latency in ms, median (p90). xDEL, xWAL: propreg over SQLite (rollback journal, WAL; synchronous=FULL).\n"
                 "floor: protocol barriers per location x durable write, to one file or to three at once as the row's\n"
                 "locations are written, plus at level 0 one direct read when the operation must read before it\n"
                 "writes (reads x direct read for an operation that writes nothing), the device timed between the\n"
                 "row's calls; xfloor: propreg over floor.\n"
                 "barriers/loc, writes/loc, reads: per operation, measured (protocol minimum); a write is one request\n"
                 "of neighbouring blocks, a barrier one fdatasync.\n"
                 "loc: propreg's locations; \"dg\": each in a disk group of the volume manager (one copy, writes synced);\n"
                 "\"L0\": opened at level 0 (no workers, no page cache), the others at the CACHING level.\n\n");
    std::fprintf(out, kRowFormat, "operation", "loc", "propreg", "SQLite DELETE", "SQLite WAL", "xDEL", "xWAL", "floor",
                 "xfloor", "barr/loc", "writes/loc", "reads");
    std::set<std::string> notes;
    for (const Row &r : rows) {
        // SQLite has one file whatever the locations: its latencies are shown once.
        bool first = &r == &rows.front() || (&r)[-1].op != r.op;
        ProtocolCost cost = protocol_floor(*r.op);
        double fl = floor_us(cost, r.propreg, device, r.level != PROP_LEVEL_CACHING);
        const std::string loc =
            std::to_string(r.locations) + (r.disk_groups ? " dg" : "") + (r.level == PROP_LEVEL_RW ? " L0" : "");
        std::fprintf(out, kRowFormat, r.op->label, loc.c_str(), latency(r.propreg).c_str(),
                     first ? latency(r.sqlite_rollback).c_str() : "", first ? latency(r.sqlite_wal).c_str() : "",
                     ratio(r.propreg, r.sqlite_rollback.ran ? r.sqlite_rollback.latency.median_us : 0).c_str(),
                     ratio(r.propreg, r.sqlite_wal.ran ? r.sqlite_wal.latency.median_us : 0).c_str(), ms(fl).c_str(),
                     ratio(r.propreg, fl).c_str(), per_location(r.propreg, r.propreg.barriers_per_op, cost.barriers).c_str(),
                     per_location(r.propreg, r.propreg.writes_per_op, cost.writes).c_str(),
                     reads(r.propreg, cost.reads).c_str());
        for (const Measured *m : {&r.propreg, &r.sqlite_rollback, &r.sqlite_wal})
            if (!m->ran && !m->why.empty()) notes.insert(m->why);
    }
    for (const std::string &n : notes) std::fprintf(out, "  note: %s\n", n.c_str());
}

#include "runner.h"

#include <cstdio>

#include "counting.h"
#include "device.h"

namespace {

u32 step(const std::function<u32(int)> &f, int i)
{
    return f ? f(i) : 0;
}

Measured failed(const char *what, int i, u32 code)
{
    char text[128];
    std::snprintf(text, sizeof text, "%s failed at iteration %d with code %u", what, i, code);
    Measured m = not_measured(text);
    m.error = code;
    return m;
}

}  // namespace

Measured not_measured(const std::string &why)
{
    Measured m;
    m.why = why;
    return m;
}

Measured run_workload(const Workload &w, int warmup, int iterations, const IoCounter *counter,
                      const std::vector<std::string> &paths, DeviceProbe *probe)
{
    std::vector<double> us, device_write, device_read;
    std::vector<u64> writes(paths.size(), 0), barriers(paths.size(), 0);
    u64 reads = 0;
    for (int i = 0; i < warmup + iterations; i++) {
        if (u32 rc = step(w.prepare, i); rc != 0) return failed("preparation", i, rc);
        IoCount before = counter != nullptr ? counter->now(paths) : IoCount{};
        double t0 = now_us();
        u32 rc = w.run(i);
        double t1 = now_us();
        if (rc != 0) return failed("the operation", i, rc);
        if (i >= warmup) {
            us.push_back(t1 - t0);
            if (counter != nullptr) {
                IoCount d = io_delta(before, counter->now(paths));
                for (size_t l = 0; l < paths.size(); l++) {
                    writes[l] += d.writes[l];
                    barriers[l] += d.barriers[l];
                    reads += d.reads[l];
                }
            }
        }
        if (u32 frc = step(w.finish, i); frc != 0) return failed("clean-up", i, frc);
        if (probe != nullptr && i >= warmup) {
            int err = paths.size() > 1 ? probe->write_direct_x3(&device_write) : probe->write_direct(&device_write);
            if (err != 0 || probe->read_direct(&device_read) != 0) return failed("the device probe", i, PROP_E_STORAGE);
        }
    }
    Measured m;
    m.ran = true;
    m.latency = summarize(us);
    m.device_write = summarize(device_write);
    m.device_read = summarize(device_read);
    if (counter != nullptr && iterations > 0) {
        for (u64 n : writes) m.writes_per_op.push_back(static_cast<double>(n) / iterations);
        for (u64 n : barriers) m.barriers_per_op.push_back(static_cast<double>(n) / iterations);
        m.reads_per_op = static_cast<double>(reads) / iterations;
    }
    return m;
}

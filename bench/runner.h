// Runs one workload: untimed preparation, the timed call, untimed clean-up,
// with the reads and writes of the timed call counted per location.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/types.h"
#include "stats.h"

class DeviceProbe;
class IoCounter;

// Each step gets the iteration number and returns 0 or the code that
// stopped it.  prepare and finish may be empty.
struct Workload {
    std::function<u32(int)> prepare;
    std::function<u32(int)> run;
    std::function<u32(int)> finish;
};

struct Measured {
    bool ran = false;       // false: the operation was not measured
    std::string why;        // why not, or which step failed
    u32 error = 0;          // the code that stopped the run
    Summary latency;
    std::vector<double> writes_per_op;    // per location
    std::vector<double> barriers_per_op;  // per location
    double reads_per_op = 0;            // over all locations
    Summary device_write;               // the device between the calls
    Summary device_read;
};

// A measured row that was skipped, with the reason shown in the table.
Measured not_measured(const std::string &why);

// warmup iterations run first, uncounted and untimed (they load bitmap
// pages, name tables and caches that every later call finds loaded).
// counter may be null: then nothing is counted.  With a probe, one durable
// write (to one file, or to three at once when the row has more than one
// location, as a mirrored write is made) and one direct read are timed
// after each call, so that the row's floor is of the device as the row
// found it.
Measured run_workload(const Workload &w, int warmup, int iterations, const IoCounter *counter,
                      const std::vector<std::string> &paths, DeviceProbe *probe = nullptr);

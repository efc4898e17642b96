// The device limit: what one durable 4096-byte write and one direct read
// cost in the benchmark's own directory, measured with plain system calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/types.h"
#include "stats.h"

// Samples in microseconds.
struct DeviceSamples {
    bool direct = false;                   // the file system accepts O_DIRECT
    std::vector<double> write_direct;     // O_DIRECT | O_DSYNC, what a location uses
    std::vector<double> write_dsync;      // O_DSYNC alone, through the page cache
    std::vector<double> read_direct;      // O_DIRECT read (buffered when refused)
    std::vector<double> write_direct_x3;  // one write to each of three files at once
};

struct DeviceLimit {
    bool direct = false;
    Summary write_direct;
    Summary write_dsync;
    Summary read_direct;
    Summary write_direct_x3;
};

DeviceLimit summarize(const DeviceSamples &s);

// Three files of the benchmark's directory, open for single-block I/O at
// scattered offsets.  A shared machine's device changes speed as others
// use it, so the benchmark also samples it between the calls of each row.
class DeviceProbe {
  public:
    DeviceProbe();
    ~DeviceProbe();
    DeviceProbe(const DeviceProbe &) = delete;
    DeviceProbe &operator=(const DeviceProbe &) = delete;

    // Lays the files out in dir and opens them; 0, or an errno with *why.
    int open(const std::string &dir, std::string *why);
    bool direct() const;
    // One timed transfer each, its time added to *us; 0 or an errno.
    int write_direct(std::vector<double> *us);
    int write_dsync(std::vector<double> *us);
    int read_direct(std::vector<double> *us);
    int write_direct_x3(std::vector<double> *us);

  private:
    struct State;
    std::unique_ptr<State> s_;
};

// Adds iterations samples of each kind to *out, the kinds taken in turn so
// that each sees the device as the others do; 0, or an errno with *why.
int measure_device(DeviceProbe *probe, int iterations, DeviceSamples *out, std::string *why);

// The device's sequential direct-read bandwidth: reads bytes of the file
// from offset on, O_DIRECT (buffered where the file system refuses it),
// in requests of request_bytes, and gives the time taken in *us.  The
// range must have been written: holes read as zeros without the device.
// 0, or an errno with *why.
constexpr size_t kSequentialRequest = 4u << 20;
int sequential_read(const std::string &path, uint64_t offset, uint64_t bytes, double *us, std::string *why,
                    size_t request_bytes = kSequentialRequest);

// Sequential bandwidth of the benchmark's directory, in MB/s (10^6 bytes):
// one file of `bytes` written in 1 MB unbuffered writes and synced, then
// read back with sequential_read in 1 MB requests.  What a backup or a restore moves
// data with.
struct SequentialBandwidth {
    double write_mb_s = 0;
    double read_mb_s = 0;
};
int measure_sequential_write_read(const std::string &dir, u64 bytes, SequentialBandwidth *out, std::string *why);

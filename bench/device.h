// The device limit: what one durable 4096-byte write and one direct read
// cost in the benchmark's own directory, measured with plain system calls.
#pragma once

#include <string>

#include "stats.h"

struct DeviceLimit {
    bool direct = false;      // the file system accepts O_DIRECT
    Summary write_direct;     // O_DIRECT | O_DSYNC, what a location uses
    Summary write_dsync;      // O_DSYNC alone, through the page cache
    Summary read_direct;      // O_DIRECT read (buffered when refused)
    Summary write_direct_x3;  // one write to each of three files at once
};

// Measures in dir; 0, or an errno with *why set.
int measure_device(const std::string &dir, int iterations, DeviceLimit *out, std::string *why);

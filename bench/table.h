// The one table the benchmark prints.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "device.h"
#include "ops.h"
#include "protocol.h"
#include "runner.h"

struct Row {
    const OpInfo *op;
    u32 locations;
    Measured propreg;
    Measured sqlite_rollback;
    Measured sqlite_wal;
    bool disk_groups = false;  // propreg's locations in the volume manager
    u32 level = PROP_LEVEL_CACHING;  // the level propreg's store is opened at
};

// The protocol floor of a row in microseconds: barriers per location
// times a durable write (a group's writes go out together, and mirrors
// are written in parallel, so for several locations: one write to each at
// once); for an operation that writes nothing, its reads times a direct
// read.  from_device: the row's store reads every page from the device
// (level 0), so an operation that must read pages before it writes them
// also waits for one direct read (its reads go out together).  The
// device's times are those sampled during the row when it has them.
double floor_us(const ProtocolCost &cost, const Measured &row, const DeviceLimit &device, bool from_device);

// load: what the machine was doing besides, shown above the table.
void print_table(std::FILE *out, const std::string &dir, const std::string &load, const DeviceLimit &device,
                 const std::vector<Row> &rows);

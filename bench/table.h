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
    u32 level = PROP_LEVEL_CACHING;  // propreg's boot level
};

// The protocol floor of a row in microseconds: writes per location times
// a durable write (mirrors are written in parallel, so for several
// locations: one write to each at once); for an operation that
// writes nothing, its reads times a direct read.  The device's times are
// those sampled during the row when it has them.
double floor_us(const ProtocolCost &cost, const Measured &row, const DeviceLimit &device);

// load: what the machine was doing besides, shown above the table.
void print_table(std::FILE *out, const std::string &dir, const std::string &load, const DeviceLimit &device,
                 const std::vector<Row> &rows);

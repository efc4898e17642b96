// Backup, restore and export of a store of many keys, beside the device's
// sequential bandwidth measured in the same run.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/types.h"
#include "device.h"

struct BackupRow {
    const char *label;
    bool ran = false;
    std::string why;    // when it did not run
    double seconds = 0;
    u64 bytes = 0;      // the backup image, or the record file
};

struct BackupFigures {
    u32 keys = 0;
    SequentialBandwidth sequential;
    std::vector<BackupRow> rows;  // backup, restore, export
};

// Builds a one-location store of `keys` keys in dir and takes, restores and
// exports it once each; false when a row did not run.
bool measure_backups(const std::string &dir, u32 keys, BackupFigures *out);
void print_backups(std::FILE *out, const BackupFigures &f);

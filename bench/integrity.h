// The store's integrity checks on a store of 100,000 keys: the status scan
// and the logical corruption check, each beside the device's sequential
// direct-read bandwidth over the same pages, measured in turn.  Then, on a
// store of 50,000 keys, what an operator runs: check (the scan and the
// corruption check) on the store against verify of a backup of it.
#pragma once

#include <cstdio>
#include <string>

#include "core/types.h"
#include "propreg/prop.h"
#include "stats.h"

struct IntegrityRows {
    bool ran = false;
    std::string why;
    u32 keys = 0;
    u64 bytes = 0;     // the pages in use, as the scan reads them
    Summary sequential_1m;  // 1 MiB requests, as the scan makes them
    Summary sequential_4m;
    Summary scan;
    Summary check;
    double verify_ns = 0;  // checksum verification of one page in memory, as every read does it
    // check against verify
    bool compared = false;
    u32 compare_keys = 0;
    u64 compare_bytes = 0;
    Summary check_store;    // the scan and the corruption check of the store
    Summary verify_backup;  // the backup opened, then the same two on it
};

// What check runs: the scan of every block, then the corruption check;
// true when both find the store sound.
bool checked(backend_ctx *ctx);

// quick: a small store and one round, to show that the rows run.
IntegrityRows measure_integrity(const std::string &dir, bool quick);
void print_integrity(std::FILE *out, const IntegrityRows &rows);

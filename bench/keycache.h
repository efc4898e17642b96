// What a commit costs as the key cache grows: set-value of 100 bytes on a
// store of 200,000 keys at the CACHING level, first with 200 of them in the
// key cache, then with all of them.
#pragma once

#include <cstdio>
#include <string>

#include "core/types.h"
#include "device.h"
#include "stats.h"

struct KeyCacheRows {
    bool ran = false;
    std::string why;
    u32 keys = 0;
    u32 few = 0;          // keys cached for the first row
    u32 cached_few = 0;   // what the cache then held, ancestors included
    u32 cached_all = 0;
    Summary set_few;
    Summary set_all;
    // A durable 4096-byte write after each set-value: the device as each
    // row saw it, since it changes speed while a shared machine runs.
    Summary device_few;
    Summary device_all;
};

// quick: a small store and a few iterations, to show that the rows run.
KeyCacheRows measure_key_cache(const std::string &dir, bool quick, DeviceProbe *probe);
void print_key_cache(std::FILE *out, const KeyCacheRows &rows);

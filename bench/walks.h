// Whole-tree reads as a front end makes them, through the exports, on a
// store of 50,000 keys: the tree (every key opened, its value read, its
// subkeys listed, parents first), the record export (the same with each
// key's security, into a record file) and verify of a backup of the store,
// each against check of the same store.  The walks run at the read-only
// level, as propctl's do, and the tree once more at the CACHING level,
// where the key cache knows each child's place.  Then keys of many children:
// creating, listing (and reading every child) and deleting under a key of
// 9,900 children against a key of 10, per child, at the CACHING level and
// at level 0.
#pragma once

#include <cstdio>
#include <string>

#include "core/types.h"
#include "stats.h"

struct WalkRows {
    bool ran = false;
    std::string why;
    u32 keys = 0;
    u64 bytes = 0;  // pages in use
    Summary check;
    Summary tree;      // read-only level, caches cold
    Summary exported;  // read-only level, caches cold
    Summary verify;    // a backup of the store opened, scanned and checked
    Summary tree_cpu;  // the process's CPU time during the walks
    Summary exported_cpu;
    Summary tree_caching;  // the tree at the CACHING level
};

// One operation under both parents, in microseconds per child.
struct WideRow {
    const char *label = "";
    Summary narrow;
    Summary wide;
};

struct WideRows {
    bool ran = false;
    std::string why;
    u32 level = 0;
    u32 narrow_children = 0;
    u32 wide_children = 0;
    WideRow create, list, remove;
};

// quick: small stores and one round, to show that the rows run.
WalkRows measure_walks(const std::string &dir, bool quick);
WideRows measure_wide(const std::string &dir, bool quick, u32 level);
void print_walks(std::FILE *out, const WalkRows &rows);
void print_wide(std::FILE *out, const WideRows &rows);

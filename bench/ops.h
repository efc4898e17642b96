// The operations the benchmark measures, the same for every system.
#pragma once

#include <string>
#include <vector>

#include "core/types.h"

enum class Op { set_100, set_8k, set_80k, get, open_cached, create, batch_create, delete_tree };

struct OpInfo {
    Op op;
    const char *label;
    u32 value_size;  // set-value: the size written; get-value: the size read
    int iterations;
    int quick_iterations;
};

// Children of a batch and of a deleted subtree, and the length of their names.
constexpr u32 kTreeKeys = 1000;
constexpr u32 kTreeNameLen = 5;  // "k0000" .. "k0999"

// Every operation, in the order of the table.
const std::vector<OpInfo> &all_ops();

// Names the workloads give keys: a prefix and a number ("c3"), and the
// children of a batch or tree ("k0042", kTreeNameLen long).
std::string numbered(const char *prefix, u32 n);
std::string child_name(u32 i);

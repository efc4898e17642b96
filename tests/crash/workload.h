// The crash suite's workload: a script of key operations made from a seed,
// the key tree expected after each, and the code that runs an operation
// through the exports.  The driver runs the script in a child process; the
// test computes the expected trees from the same seed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "propreg/prop.h"

// One key as the exports show it.
struct KeyState {
    std::string value;  // the value's bytes; empty = no value
    uint32_t type = 0;
    uint32_t userperm = 0;
    uint32_t groupperm = 0;
    uint32_t otherperm = 0;
    std::string owner;
    std::string group;
    bool operator==(const KeyState &) const = default;
};

// Every key below the top keys, by full name, the top keys included.
using Tree = std::map<std::string, KeyState>;

enum class OpKind { create, create_set, set_value, delete_value, delete_key, delete_tree, move, set_security, batch };

// Fields left out of an Op's initializer are empty (hence the {}).
struct Op {
    OpKind kind = OpKind::create;
    std::string key{};     // the key operated on; create: the parent; move: the source
    std::string name{};    // create: the relative subkey (one or more parts); move: the new name
    std::string target{};  // move: the new parent
    bool replace = false;  // move: a key of that name exists there and is replaced
    std::string value{};   // set value, create and set
    uint32_t type = 0;
    sec_attr sec{};        // create, create and set, set security
    std::vector<Op> batch{};  // the operations of a batch, in order
};

struct Workload {
    std::vector<Op> ops;
    std::vector<Tree> trees;  // trees[i]: the tree after the first i operations
};

// The keys every store starts with; the workload never moves or deletes them.
extern const char *const kTopKeys[3];

// A script of count operations from seed, starting from the tree start
// (the store as formatted: its top keys give the owner and group names).
Workload make_workload(uint32_t seed, uint32_t count, const Tree &start);
// What an operation does to a tree.
void apply_op(Tree &tree, const Op &op);
// Runs the operation on an open store; the export's code.
uint32_t run_op(backend_ctx *ctx, const Op &op);
// The tree of a store, through the exports.  0, or the first failing code
// (with *where naming the key).
uint32_t read_tree(backend_ctx *ctx, Tree *tree, std::string *where = nullptr);

// For failure messages and figures.
std::string describe(const Op &op);
// The keys that differ between two trees, one line each (at most limit).
std::string tree_diff(const Tree &want, const Tree &got, size_t limit = 6);

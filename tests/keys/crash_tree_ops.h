// The subtree operations the crash tests interrupt, shared by the test and
// the child process that runs them: a recursive delete, a move, and a
// batch of five operations, each one transaction on the keys
// crash_tree_prepare makes.
#pragma once

#include <string>
#include <vector>

#include "batch_builder.h"
#include "keys_data.h"

namespace crash_tree {

// Open handles, closed at the end of the run.
struct handles {
    backend_ctx *ctx;
    std::vector<propr_keyhandle *> open;
    ~handles()
    {
        for (propr_keyhandle *kh : open) prop_close(ctx, kh);
    }
    uint32_t get(const char *name, propr_keyhandle **kh)
    {
        uint32_t rc = prop_open(ctx, name, kh, 0);
        if (rc == 0) open.push_back(*kh);
        return rc;
    }
    uint32_t make(propr_keyhandle *parent, const std::string &sub, const sec_attr &sec, propr_keyhandle **kh)
    {
        uint32_t disp = 0;
        uint32_t rc = prop_create_key(ctx, parent, sub.c_str(), &sec, kh, &disp, 0);
        if (rc == 0) open.push_back(*kh);
        return rc;
    }
};

inline uint32_t set(backend_ctx *ctx, propr_keyhandle *kh, size_t size, uint8_t seed)
{
    std::vector<uint8_t> v = pattern(size, seed);
    return prop_set_value(ctx, kh, PROP_TYPE_BYTES, v.data(), static_cast<uint32_t>(v.size()), 0);
}

// Five operations of every kind that touches pages, in one batch.
inline uint32_t run_batch(handles &h, const sec_attr &sec)
{
    propr_keyhandle *system = nullptr, *key = nullptr, *c1 = nullptr, *c2 = nullptr, *dest = nullptr;
    uint32_t rc = h.get("SYSTEM", &system);
    if (rc == 0) rc = h.get("SYSTEM.crash", &key);
    if (rc == 0) rc = h.get("SYSTEM.tree.c1", &c1);
    if (rc == 0) rc = h.get("SYSTEM.tree.c2", &c2);
    if (rc == 0) rc = h.get("SYSTEM.dest", &dest);
    if (rc != 0) return rc;
    BatchBuilder b;
    b.add(PROP_BATCH_CREATE_KEY, system, "b1").sec = sec;
    b.set_value(key, pattern(4000, 5));
    b.add(PROP_BATCH_SET_SECURITY, key).sec = make_sec(sec.username, sec.groupname, 7, 6, 5);
    b.add(PROP_BATCH_DELETE_TREE, c2);
    b.add(PROP_BATCH_MOVE_KEY, c1, "m").key2 = dest;
    rc = prop_batch_execute(h.ctx, b.get(), 0);
    for (propr_keyhandle *made : b.take_handles()) prop_close(h.ctx, made);
    return rc;
}

}  // namespace crash_tree

// SYSTEM.tree: c1 and c2, each with a grandchild g holding a two-page
// value, and 20 children with long names, enough to fill a KCE page;
// SYSTEM.dest, empty.
inline uint32_t crash_tree_prepare(backend_ctx *ctx, const sec_attr &sec)
{
    crash_tree::handles h{ctx, {}};
    propr_keyhandle *system = nullptr, *tree = nullptr, *k = nullptr;
    uint32_t rc = h.get("SYSTEM", &system);
    if (rc == 0) rc = h.make(system, "tree", sec, &tree);
    if (rc == 0) rc = h.make(system, "dest", sec, &k);
    for (const char *c : {"c1.g", "c2.g"}) {
        if (rc == 0) rc = h.make(tree, c, sec, &k);
        if (rc == 0) rc = crash_tree::set(ctx, k, 5000, static_cast<uint8_t>(c[1]));
    }
    for (int i = 0; i < 20 && rc == 0; i++) rc = h.make(tree, "f" + std::to_string(i) + std::string(240, 'x'), sec, &k);
    return rc;
}

// "rdelete": SYSTEM.tree with everything below it; "move": SYSTEM.tree
// under SYSTEM.dest as "moved"; "batch": the batch of five.  Anything else
// is not a subtree operation: 8.
inline uint32_t crash_tree_run(backend_ctx *ctx, const std::string &op, const sec_attr &sec)
{
    crash_tree::handles h{ctx, {}};
    propr_keyhandle *tree = nullptr, *dest = nullptr, *moved = nullptr;
    if (op == "batch") return crash_tree::run_batch(h, sec);
    uint32_t rc = h.get("SYSTEM.tree", &tree);
    if (rc != 0) return rc;
    if (op == "rdelete") return prop_delete_key(ctx, tree, 1, 0);
    if (op != "move") return PROP_E_ARG;
    rc = h.get("SYSTEM.dest", &dest);
    if (rc == 0) rc = prop_move_key(ctx, tree, dest, "moved", nullptr, &moved, 0);
    if (moved != nullptr) prop_close(ctx, moved);
    return rc;
}

// The operations the crash tests interrupt, shared by the test and the
// child process that runs them: each changes a store prepared by
// crash_prepare in one transaction.
#pragma once

#include <cstring>
#include <string>

#include "keys_data.h"

inline constexpr const char *kCrashKey = "SYSTEM.crash";
inline constexpr size_t kCrashOldSize = 5000;  // one value page
inline constexpr size_t kCrashNewSize = 9000;  // three: one rewritten, two new

inline sec_attr crash_sec(const prop_secctx *sec)
{
    return make_sec(sec->user, sec->group, PROP_PERM_ALL_ACCESS, PROP_PERM_READ, PROP_PERM_QUERY_KEY);
}

// The store every sweep starts from: SYSTEM.crash with a one-page value.
inline uint32_t crash_prepare(backend_ctx *ctx, const sec_attr &sec)
{
    propr_keyhandle *system = nullptr, *key = nullptr;
    uint32_t disp = 0;
    uint32_t rc = prop_open(ctx, "SYSTEM", &system, 0);
    if (rc == 0) rc = prop_create_key(ctx, system, "crash", &sec, &key, &disp, 0);
    std::vector<uint8_t> v = pattern(kCrashOldSize, 1);
    if (rc == 0) rc = prop_set_value(ctx, key, PROP_TYPE_BYTES, v.data(), static_cast<uint32_t>(v.size()), 0);
    if (key != nullptr) prop_close(ctx, key);
    if (system != nullptr) prop_close(ctx, system);
    return rc;
}

// "set": grows SYSTEM.crash's value; "create": makes SYSTEM.c1.c2.c3;
// "cnset": makes SYSTEM.n1.n2 with a two-page value.
inline uint32_t crash_run(backend_ctx *ctx, const std::string &op, const sec_attr &sec)
{
    propr_keyhandle *key = nullptr, *made = nullptr;
    uint32_t disp = 0;
    uint32_t rc = prop_open(ctx, op == "set" ? kCrashKey : "SYSTEM", &key, 0);
    if (rc != 0) return rc;
    if (op == "set") {
        std::vector<uint8_t> v = pattern(kCrashNewSize, 2);
        rc = prop_set_value(ctx, key, PROP_TYPE_BYTES, v.data(), static_cast<uint32_t>(v.size()), 0);
    } else if (op == "create") {
        rc = prop_create_key(ctx, key, "c1.c2.c3", &sec, &made, &disp, 0);
    } else if (op == "cnset") {
        std::vector<uint8_t> v = pattern(5000, 3);
        rc = prop_create_n_set_key(ctx, key, "n1.n2", &sec, &made, &disp, PROP_TYPE_TEXT, v.data(),
                                   static_cast<uint32_t>(v.size()), 0);
    } else {
        rc = PROP_E_ARG;
    }
    if (made != nullptr) prop_close(ctx, made);
    prop_close(ctx, key);
    return rc;
}

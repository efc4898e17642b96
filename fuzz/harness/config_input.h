// The configuration fuzzer's input, read by the target and written by the
// seed generator:
//   u8  flags    kNkv: the node-local registry (else the cluster one);
//                kCompleteNames: prop_get_conf returns complete volume-
//                manager file names; kBackupLocation: prop_check_storage
//                checks a backup directory
//   the raw file (type line, then data) of each value of the kind's key,
//   in the order of value_names(): u16 length, bytes; a length of 0xffff
//   means the value does not exist
//   u16 length, the published configuration's record (8-byte header, text)
//   u16 length, the published vote record
//   u8 length, the name prop_check_storage checks
//   u8 slot, u8 length, the name prop_repair_conf puts in that slot
// all little-endian.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "harness/world.h"

namespace fuzz {

constexpr const char *kConfigKey = "fuzz\\cfg";
constexpr const char *kGroupName = "fuzz";
constexpr uint16_t kAbsent = 0xffff;
// Files of the in-memory file system that inputs may name.
constexpr const char *kConfigFiles[] = {"a", "b", "c", "m", "n"};

struct ConfigInput {
    enum : uint8_t { kNkv = 1, kCompleteNames = 2, kBackupLocation = 4 };

    bool nkv = false;
    uint32_t conf_flags = 0;
    uint32_t storage_flags = 0;
    std::vector<std::pair<std::string, std::string>> values;  // name, raw file; absent ones left out
    std::string published;
    std::string votes;
    std::string storage;
    uint32_t repair_slot = 0;
    std::string repair_name;

    uint32_t kind() const { return nkv ? PROP_KIND_NKV : PROP_KIND_ZKV; }

    static std::vector<std::string> value_names(bool nkv)
    {
        if (nkv) return {"nkvconfig_loc", "hwk_home"};
        return {"zkvconfig_loc", "zkvmirrorconfig_loc", "zkvconfig_loc3", "zkvconfig_loc4", "zkvconfig_loc5",
                "Local_Only"};
    }

    // A name the input gives a call stays in the in-memory file system,
    // unless it names the volume manager (whose stand-in keeps it below
    // its own root).
    static std::string sandboxed(const std::string &name)
    {
        if (!name.empty() && name[0] == '+') return name;
        return std::string(kMemRoot) + "/" + name;
    }

    static ConfigInput read(Input &in)
    {
        ConfigInput c;
        const uint8_t flags = in.u8();
        c.nkv = (flags & kNkv) != 0;
        c.conf_flags = (flags & kCompleteNames) != 0 ? 4 : 0;
        c.storage_flags = (flags & kBackupLocation) != 0 ? 0x800000 : 0;
        for (const std::string &name : value_names(c.nkv)) {
            const uint16_t n = in.u16();
            if (n != kAbsent) c.values.emplace_back(name, in.bytes(n));
        }
        c.published = in.bytes(in.u16());
        c.votes = in.bytes(in.u16());
        c.storage = sandboxed(in.bytes(in.u8()));
        c.repair_slot = in.u8();
        c.repair_name = in.bytes(in.u8());
        if (!c.repair_name.empty()) c.repair_name = sandboxed(c.repair_name);
        // The calls take zero-terminated names.
        c.storage = c.storage.c_str();
        c.repair_name = c.repair_name.c_str();
        return c;
    }
};

}  // namespace fuzz

// What the lifecycle tests look at: a location's boot block as it lies on
// disk, changes to it made around the library, and keys through the
// exports.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/handle.h"
#include "format/block.h"
#include "format/cursor.h"
#include "platform/trace.h"
#include "support/store.h"

// The words of a boot block that opening and formatting care about.
struct BootView {
    bool valid = false;  // a METADATA header whose checksum holds
    u32 zkvid = 0;
    u32 num_fcl = 0;
    u32 numpage = 0;
    u32 upgrade_state = 0;
    u8 log_valid = 0;
    bool operator==(const BootView &) const = default;
};

inline BootView boot_of(const Store &store, u32 slot)
{
    std::string raw = store.read_block(slot, 0);
    const u8 *b = reinterpret_cast<const u8 *>(raw.data());
    const bool valid =
        proprut_isblk_valid_buf(b, PROPR_BLK_METADATA) != 0 && hdr_verify_checksum(b, 4096) == 0;
    return {valid, be32_at(b, 110), be32_at(b, 114), be32_at(b, 134), be32_at(b, 356), b[200]};
}

// Sets the big-endian word at offset of a location's boot block and
// stamps the checksum again: a damaged but well-formed block.
inline void patch_boot_word(const Store &store, u32 slot, i32 offset, u32 value)
{
    std::string raw = store.read_block(slot, 0);
    u8 *b = reinterpret_cast<u8 *>(raw.data());
    be32_put(b, offset, value);
    hdr_stamp_checksum(b, 4096);
    store.write_block(slot, 0, raw);
}

// The three top-level keys exist with the security they were made with.
inline void expect_top_keys(backend_ctx *ctx, const sec_attr &sec)
{
    auto text = [](const sec_attr &s) {
        return std::string(s.username) + ":" + s.groupname + ":" + std::to_string(s.userperm) +
               "/" + std::to_string(s.groupperm) + "/" + std::to_string(s.otherperm);
    };
    for (const char *name : {"DATABASE", "SYSTEM", "HWK"}) {
        propr_keyhandle *kh = nullptr;
        ASSERT_EQ(prop_open(ctx, name, &kh, 0), PROP_OK) << name;
        sec_attr got{};
        EXPECT_EQ(prop_get_security(ctx, kh, &got), PROP_OK) << name;
        EXPECT_EQ(text(got), text(sec)) << name;
        EXPECT_EQ(prop_close(ctx, kh), PROP_OK) << name;
    }
}

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
    u32 lsst = 0;
    u32 odbst = 0;
    u32 rtnst = 0;
    u32 numpage = 0;
    u32 upgrade_state = 0;
    u8 log_valid = 0;
};

inline BootView boot_of(const Store &store, u32 slot)
{
    std::string raw = store.read_block(slot, 0);
    const u8 *b = reinterpret_cast<const u8 *>(raw.data());
    BootView v;
    v.valid = proprut_isblk_valid_buf(b, PROPR_BLK_METADATA) != 0 && hdr_verify_checksum(b, 4096) == 0;
    v.zkvid = be32_at(b, 110);
    v.num_fcl = be32_at(b, 114);
    v.lsst = be32_at(b, 118);
    v.odbst = be32_at(b, 122);
    v.rtnst = be32_at(b, 130);
    v.numpage = be32_at(b, 134);
    v.upgrade_state = be32_at(b, 356);
    v.log_valid = b[200];
    return v;
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

// Whether an alert of that number naming arg was captured.
inline bool alerted(u32 number, const std::string &arg)
{
    for (const AlertRecord &a : alerts_captured())
        if (a.number == number && a.args.find(arg) != std::string::npos) return true;
    return false;
}

// The three top-level keys exist with the security they were made with.
inline void expect_top_keys(backend_ctx *ctx, const sec_attr &sec)
{
    for (const char *name : {"DATABASE", "SYSTEM", "HWK"}) {
        propr_keyhandle *kh = nullptr;
        ASSERT_EQ(prop_open(ctx, name, &kh, 0), PROP_OK) << name;
        sec_attr got{};
        EXPECT_EQ(prop_get_security(ctx, kh, &got), PROP_OK) << name;
        EXPECT_EQ(got.userperm, sec.userperm) << name;
        EXPECT_EQ(got.groupperm, sec.groupperm) << name;
        EXPECT_EQ(got.otherperm, sec.otherperm) << name;
        EXPECT_STREQ(got.username, sec.username) << name;
        EXPECT_STREQ(got.groupname, sec.groupname) << name;
        EXPECT_EQ(prop_close(ctx, kh), PROP_OK) << name;
    }
}

// Sets SYSTEM.<name>'s text value, making the key first when it is new.
inline u32 put_value(const Store &store, const char *name, const std::string &text)
{
    propr_keyhandle *parent = nullptr, *kh = nullptr;
    u32 rc = prop_open(store.ctx(), "SYSTEM", &parent, 0);
    if (rc != 0) return rc;
    u32 disposition = 0;
    rc = prop_create_key(store.ctx(), parent, name, &store.top_security(), &kh, &disposition, 0);
    if (rc == 0) rc = prop_set_value(store.ctx(), kh, PROP_TYPE_TEXT, text.data(), static_cast<u32>(text.size()), 0);
    if (kh != nullptr) {
        EXPECT_EQ(prop_close(store.ctx(), kh), PROP_OK);
    }
    EXPECT_EQ(prop_close(store.ctx(), parent), PROP_OK);
    return rc;
}

// The text value of SYSTEM.<name>, or "<rc>" when it cannot be read.
inline std::string get_value(const Store &store, const char *name)
{
    propr_keyhandle *kh = nullptr;
    u32 rc = prop_open(store.ctx(), ("SYSTEM." + std::string(name)).c_str(), &kh, 0);
    if (rc != 0) return "<" + std::to_string(rc) + ">";
    char buf[256] = {};
    u32 type = 0, size = sizeof buf;
    rc = prop_get_value(store.ctx(), kh, &type, buf, &size, 0);
    EXPECT_EQ(prop_close(store.ctx(), kh), PROP_OK);
    return rc == 0 ? std::string(buf, size) : "<" + std::to_string(rc) + ">";
}

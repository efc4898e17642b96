// What the lifecycle tests look at: a location's boot block as it lies on
// disk, the keys every store starts with, and small changes to a store
// made around the library.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/alloc.h"
#include "core/handle.h"
#include "format/block.h"
#include "format/cursor.h"
#include "platform/thread.h"
#include "support/store.h"
#include "tree/kce.h"
#include "tree/keydesc.h"
#include "tree/names.h"
#include "tree/tnode.h"

// The words of a boot block that opening and formatting care about.
struct BootView {
    bool valid = false;  // a METADATA header whose checksum holds
    u32 zkvid = 0;
    u32 num_fcl = 0;
    u32 lsst = 0;
    u32 odbst = 0;
    u32 gdbst = 0;
    u32 rtnst = 0;
    u32 numpage = 0;
    u32 upgrade_state = 0;
    u32 commit_lsn = 0;
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
    v.gdbst = be32_at(b, 126);
    v.rtnst = be32_at(b, 130);
    v.numpage = be32_at(b, 134);
    v.upgrade_state = be32_at(b, 356);
    v.commit_lsn = be32_at(b, 352);
    v.log_valid = b[200];
    return v;
}

inline void patch_boot_word(const Store &store, u32 slot, i32 offset, u32 value)
{
    std::string raw = store.read_block(slot, 0);
    u8 *b = reinterpret_cast<u8 *>(raw.data());
    be32_put(b, offset, value);
    hdr_stamp_checksum(b, 4096);
    store.write_block(slot, 0, raw);
}

inline void expect_top_keys(backend_ctx *ctx, const sec_attr &sec)
{
    proprhandle *h = ctx->propb_ctx;
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    for (const char *name : {"DATABASE", "SYSTEM", "HWK"}) {
        key_desc *kd = key_desc_alloc(h->metactx);
        ASSERT_NE(kd, nullptr);
        EXPECT_EQ(proprutfkce(h, 0, name, kd), PROP_R_FOUND) << name;
        tnode node{};
        alignas(8) u8 raw[4096];
        EXPECT_EQ(proprutrtnode(h, &node, kd->kd_tnode, raw, 0), 0u) << name;
        EXPECT_EQ(node.user_perm, sec.userperm) << name;
        EXPECT_EQ(node.group_perm, sec.groupperm) << name;
        EXPECT_EQ(node.other_perm, sec.otherperm) << name;
        char owner[PROP_NAME_SIZE] = {};
        u32 len = sizeof owner;
        EXPECT_EQ(proprutidtoname(h, node.owner_id, &len, owner, NAME_KIND_OWNER), 0u) << name;
        EXPECT_STREQ(owner, sec.username) << name;
        key_desc_free(h->metactx, kd);
    }
}

// The 32-byte block header every store block begins with, its checksum and
// its validation.  Pure layout: no I/O.
#pragma once

#include "core/types.h"
#include "format/layout.h"

struct proprhandle;

// Block types (one bit each).
enum : u16 {
    PROPR_BLK_DATA = 1,
    PROPR_BLK_TNODE = 2,
    PROPR_BLK_METADATA = 4,
    PROPR_BLK_KCE = 8,
    PROPR_BLK_DB = 16,
    PROPR_BLK_VAL = 32,
    PROPR_BLK_ADDR = 64,
    PROPR_BLK_ANY = 255,       // expected-type mask accepting every type
    PROPR_BLK_DESTROYED = 255, // written into a dropped location's boot block
};

constexpr u8 PROPR_HDR_MAGIC = 0x82;
constexpr u8 PROPR_HDR_VERSION = 4;
constexpr u32 PROPR_PAGE_ADDR_SIZE = 4064;  // usable bytes after the header

// Native (little-endian) layout, as stored.
struct propr_hdr {
    u8 propr_hdr_checksum_enabled;
    u8 propr_hdr_size_magic_num;
    u16 propr_hdr_checksum;
    u32 propr_hdr_blocknum;
    u16 propr_hdr_block_type;
    u8 propr_hdr_version;
    u8 propr_hdr_unused;
    char propr_hdr_magic_string[4];
    u32 propr_hdr_zkvid;
    u32 propr_hdr_flags;
    u32 propr_hdr_undo_blkno;
    u8 propr_hdr_array[4];
};
static_assert(sizeof(propr_hdr) == 32, "block header is 32 bytes");

// Fills a header for the block at block address addr: checksum enabled,
// magic, its block number, type, version 4, "ZKV", the handle's store id.  The checksum is stamped just before the block is
// written.
void hdr_init(const proprhandle *handle, propr_hdr *hdr, u64 addr, u32 block_type);
// Stamps the checksum of a block whose byte 0 is 1; leaves others alone.
void hdr_stamp_checksum(u8 *block, u32 length);
// 0 for an intact block or one whose checksum is off (byte 0 is 0), non-zero
// otherwise, an invalid byte 0 included.
u32 hdr_verify_checksum(const u8 *block, u32 length);
// 1 when the header is valid for one of the expected types, else 0.
u32 proprut_isblk_valid(const propr_hdr *hdr, u32 expected_types);
// The same on a block buffer (copies the header out first).
u32 proprut_isblk_valid_buf(const u8 *block, u32 expected_types);
// Whether a block may be taken as it is: a header valid for one of types,
// the header block number `number`, and a checksum that verifies.
bool block_sound(const u8 *block, u32 types, u32 number);

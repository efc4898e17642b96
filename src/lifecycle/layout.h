// Where the boot block and the superblock keep the words that opening and
// formatting a store read and write.  Integers are big-endian through the
// cursor; single bytes are stored as they are.  The words a transaction
// changes (selector, log-valid byte, commit lsn, numpage) are in
// txn/layout.h.
#pragma once

#include "core/types.h"
#include "txn/layout.h"

enum : i32 {
    BOOT_OFF_HDR_VERSION = 10,   // byte of the block header
    BOOT_OFF_ZKVID = 110,
    BOOT_OFF_NUM_FCL = 114,
    BOOT_OFF_LSST = 118,
    BOOT_OFF_ODBST = 122,
    BOOT_OFF_GDBST = 126,
    BOOT_OFF_RTNST = 130,
    BOOT_OFF_VERSION_COUNT = 138,
    BOOT_OFF_VERSIONS = 142,     // 16-bit entries, low byte first
    BOOT_OFF_UPGRADE_STATE = 356,

    SUPER_OFF_NDK_ADDR = 32,
    SUPER_OFF_NUM_NDK = 36,
};

// The format versions a new store declares.
constexpr u16 BOOT_VERSIONS[] = {2, 4};

// Upgrade state: keys are being copied in from a legacy store.
constexpr u32 PROPR_UPGRADE_IMPORTING = 0x10;

// Addresses of the boot block and of the two superblock copies.
constexpr u32 PROPR_BOOT_ADDR = 0;
inline u32 propr_super_addr(u32 selector)
{
    return PROP_PAGE_SIZE * (1 + selector);
}

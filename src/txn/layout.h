// Where the undo log and the commit keep their words: the log metadata
// block at lsst and the boot-block fields a transaction changes.  Every
// integer is big-endian; single bytes are stored as they are.
#pragma once

#include "core/types.h"

enum : i32 {
    LOGMETA_OFF_LSN = 32,
    LOGMETA_OFF_OPID = 36,
    LOGMETA_OFF_LTAIL = 44,
    // The log slot (from 1) that holds the root page's image, 0 when none
    // does.  The root is page 0, and an image's header says 0 for "no
    // page" too; past the table this is all that tells the two apart.
    // Logs written before it existed hold 0 here, like every unused byte
    // of the block, and 0 names no slot: they read as they always did.
    LOGMETA_OFF_ROOT_SLOT = 48,
    LOGMETA_OFF_TABLE = 172,  // saved page of log slot k at 172 + 4 * (k - 1)

    BOOT_OFF_SUPER_SELECTOR = 100,  // byte: current superblock is 1 + this
    BOOT_OFF_NUMPAGE = 134,
    BOOT_OFF_LOG_VALID = 200,       // byte: 1 while an undo log is live
    BOOT_OFF_COMMIT_LSN = 352,

    SUPER_OFF_FREE_SPACE_ADDR = 40,  // copy of bitmap page i at 40 + 4 * i
};

// Log slots whose page number the metadata table can hold.
constexpr u32 LOGMETA_TABLE_ENTRIES = 981;
// The root key's page.
constexpr u32 PROPR_ROOT_PAGE = 0;

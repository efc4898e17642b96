// The map of a store on disk: where each area lies, the words of the boot
// block, the superblock and the undo log's metadata block, and the
// conversions between a page of the tnode area, its block address and the
// number its block header carries.  Integers are big-endian through the
// cursor (format/cursor.h); single bytes are stored as they are.  Pure
// layout: no I/O.
//
// Areas, by block address (4096-byte blocks; storemap.h computes them from
// a store's size):
//   0                 boot block: the commit record, the geometry, this
//                     location's device history and votes, backup marks
//   4096, 8192        superblock copies 0 and 1; the boot block's selector
//                     names the current one
//   12288 + 8192 i    bitmap page i, copy 0; copy 1 right after it
//   ndk_addr          one page after the last bitmap page
//   lsst              log metadata block; log slot k (from 1) at lsst + 4096 k
//   odbst, gdbst      owner and group name pages, num_log blocks after lsst
//   rtnst             tnode area: page p at rtnst + 4096 p
// A file location keeps PROPR_RESERVED_PREFIX bytes before block 0.
//
// The write order of a transaction.  Each step is one write group
// (io/group.h): its blocks reach a location in any order and the step
// ends with a barrier on every location before the next one starts.  A cut
// inside a step leaves any subset of its blocks; a block that did not
// arrive whole fails its checksum when read and is refused.
//   1. Undo images into their log slots; in a transaction's first round
//      also the boot block with the log-valid byte set.  The metadata block
//      on disk still carries the lsn the boot block records as committed,
//      so a cut here finds nothing to undo: the next open clears the mark.
//      No page has changed in place yet.
//   2. The log metadata block: the new lsn, the count of images (ltail),
//      the slot-to-page table and the root's slot.  Before it arrives, as
//      in 1; once it has, the next open undoes the transaction from the
//      images, durable since step 1.
//   3. The changed pages in place and the fresh ones; at commit also each
//      changed bitmap page into its other copy and the superblock into the
//      copy the selector does not name.  A cut here is undone from the
//      images; fresh pages and the unnamed copies are unreachable from the
//      committed boot block.  A transaction that saved no image changed no
//      page that existed before it: it skips steps 1 and 2, a cut leaves
//      nothing to undo, and this step carries its metadata block.
//   4. The boot block: the selector naming the new copies, the commit lsn
//      equal to the metadata's, the log marked dead.  The commit point: a
//      cut before it rolls back, after it the transaction stands.  When the
//      write fails, the open transaction's boot block is written back, so
//      the rollback that follows also undoes it where the new one arrived.
// A transaction holding more than 4096 blocks runs steps 1 to 3 in rounds,
// each round's images counted before its pages change.
// The undo runs per location: images back to their pages a group at a
// time, then one group with the metadata block (committed lsn) and the
// boot block (log dead).  Either of the two alone ends the log, and a cut
// before them undoes again, harmless because every image holds its page
// as it was before the transaction.
#pragma once

#include "core/types.h"

static_assert(PROP_PAGE_SIZE == 1U << 12, "block addresses shift by 12");

// Block addresses of the fixed blocks.
constexpr u32 PROPR_BOOT_ADDR = 0;
// Superblock copy selector (0 or 1); two copies so a commit never
// overwrites the one the boot block names.
inline u32 propr_super_addr(u32 selector)
{
    return PROP_PAGE_SIZE * (1 + selector);
}
// Copy (0 or 1) of bitmap page i; the pair sits together for the same
// reason as the superblock's.
inline u32 propr_fcl_addr(u32 i, u32 copy)
{
    return 12288 + 8192 * i + 4096 * copy;
}

// Pages one bitmap page covers: a bit for each in the block after its header.
constexpr u32 PROPR_BITS_PER_FCL = (PROP_PAGE_SIZE - 32) * 8;
static_assert(PROPR_BITS_PER_FCL == 32512, "stores on disk carry this many bits per bitmap page");
// Most bitmap pages a store may have: the superblock's table of their
// current copies fills its block.
constexpr u32 PROPR_MAX_FCL = 1014;
// Log blocks of a live store: the metadata block and a slot for each page
// one transaction may change.
constexpr u32 PROPR_NUM_LOG = 20490;
// Bytes of the areas whose size does not depend on the store's: boot
// block, two superblocks, ndk page, log space, two name pages.
constexpr u32 PROPR_FIXED_BYTES = (3 + 1 + PROPR_NUM_LOG + 2) * PROP_PAGE_SIZE;
static_assert(PROPR_FIXED_BYTES == 0x5010000, "fixed areas of a store on disk");

// Bytes before block 0 in a file location.
constexpr u32 PROPR_RESERVED_PREFIX = 0x19000;
// The number a block header carries is the block's page in its location,
// reserved prefix included.
constexpr u32 PROPR_BLOCKNUM_BIAS = PROPR_RESERVED_PREFIX / PROP_PAGE_SIZE;
static_assert(PROPR_BLOCKNUM_BIAS == 25, "stores on disk carry this bias");

// Block address -> the number its header carries.
constexpr u32 propr_blocknum(u64 addr)
{
    return static_cast<u32>(addr >> 12) + PROPR_BLOCKNUM_BIAS;
}
// Header number -> block address; the caller checks number >= the bias.
constexpr u64 propr_blocknum_addr(u32 number)
{
    return u64{number - PROPR_BLOCKNUM_BIAS} << 12;
}
// Page of the tnode area starting at rtnst -> block address.
constexpr u64 propr_page_addr(u64 rtnst, u32 page)
{
    return rtnst + (u64{page} << 12);
}
// Block address inside the tnode area -> page.
constexpr u32 propr_addr_page(u64 rtnst, u64 addr)
{
    return static_cast<u32>((addr - rtnst) >> 12);
}
// Log slot k (from 1; 0 is the metadata block) -> block address.
constexpr u64 propr_log_slot_addr(u64 lsst, u32 slot)
{
    return lsst + (u64{slot} << 12);
}

// Boot block words, in address order.  The selector, the log-valid byte,
// the commit lsn and numpage change with every transaction; the rest only
// with a format, a resize, a location change or a backup.
enum : i32 {
    BOOT_OFF_HDR_VERSION = 10,      // byte of the block header
    BOOT_OFF_SUPER_SELECTOR = 100,  // byte: current superblock is 1 + this
    BOOT_OFF_ZKVID = 110,           // store id, also in every block header
    BOOT_OFF_NUM_FCL = 114,         // bitmap pages
    BOOT_OFF_LSST = 118,            // log space start
    BOOT_OFF_ODBST = 122,           // owner name page
    BOOT_OFF_GDBST = 126,           // group name page
    BOOT_OFF_RTNST = 130,           // tnode area start
    BOOT_OFF_NUMPAGE = 134,         // pages of the tnode area: grows with the store
    BOOT_OFF_VERSION_COUNT = 138,
    BOOT_OFF_VERSIONS = 142,        // 16-bit entries, low byte first
    BOOT_OFF_LOG_VALID = 200,       // byte: 1 while an undo log is live
    // Device history: the id vectors before and after the last
    // configuration change, so an open can tell a stale copy.
    DEV_HIST_COUNT = 300,
    DEV_HIST_LOW = 304,             // prev 0, prev 1, new 0, new 1
    // Votes: this location's and the total it was counted among.
    DEV_VOTES_MY = 320,
    DEV_VOTES_TOTAL = 324,
    DEV_HIST_HIGH = 328,            // prev 2..4, new 2..4
    BOOT_OFF_COMMIT_LSN = 352,      // lsn of the last committed transaction
    BOOT_OFF_UPGRADE_STATE = 356,
    // Backup marks: set only in a backup image's boot block.
    BOOT_OFF_BKP_VERSION = 360,
    BOOT_OFF_BKP_TYPE = 364,
};

// Header version from which the history carries slots 2..4 (older stores
// had two locations at most).
constexpr u32 DEV_HIST_WIDE_VERSION = 3;
// The format versions a new store declares.
constexpr u16 BOOT_VERSIONS[] = {2, 4};
// Upgrade state: keys are being copied in from a legacy store.
constexpr u32 PROPR_UPGRADE_IMPORTING = 0x10;
// Backup marks: version of a backup image's boot block, and its kind.
constexpr u32 BKP_VERSION = 1;
constexpr u32 BKP_TYPE_ZKV = 1;  // of a cluster-wide store
constexpr u32 BKP_TYPE_NKV = 2;  // of a node-local store

// Superblock words.
enum : i32 {
    SUPER_OFF_NDK_ADDR = 32,
    SUPER_OFF_NUM_NDK = 36,
    SUPER_OFF_FREE_SPACE_ADDR = 40,  // current copy of bitmap page i at 40 + 4 * i
};
static_assert(SUPER_OFF_FREE_SPACE_ADDR + 4 * PROPR_MAX_FCL == PROP_PAGE_SIZE, "bitmap copy table fills the block");

// Log metadata block words (the block at lsst).
enum : i32 {
    LOGMETA_OFF_LSN = 32,    // equal to the boot block's commit lsn: nothing to undo
    LOGMETA_OFF_OPID = 36,
    LOGMETA_OFF_LTAIL = 44,  // images in the log
    // The log slot (from 1) that holds the root page's image, 0 when none
    // does.  The root is page 0, and an image's header says 0 for "no
    // page" too; past the table this is all that tells the two apart.
    // Logs written before it existed hold 0 here, like every unused byte
    // of the block, and 0 names no slot: they read as they always did.
    LOGMETA_OFF_ROOT_SLOT = 48,
    LOGMETA_OFF_TABLE = 172,  // saved page of log slot k at 172 + 4 * (k - 1)
};

// Log slots whose page number the metadata table can hold: the rest of
// the block; later images rely on their own header.
constexpr u32 LOGMETA_TABLE_ENTRIES = 981;
static_assert(LOGMETA_OFF_TABLE + 4 * LOGMETA_TABLE_ENTRIES <= PROP_PAGE_SIZE, "table fits the block");
// The root key's page.
constexpr u32 PROPR_ROOT_PAGE = 0;

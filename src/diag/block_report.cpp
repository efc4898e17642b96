// The text report of one block: its header, then what a tnode or the boot
// block holds, each field labelled, in hex and decimal.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "diag/common.h"
#include "diag/diag.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "io/devhist.h"
#include "platform/thread.h"
#include "tree/names.h"
#include "tree/slotted.h"
#include "tree/tnode.h"

using namespace diag;

namespace {

// Lines are appended while they fit; the report ends where the buffer is
// full.
class report {
  public:
    report(char *buf, size_t cap) : buf_(buf), cap_(cap) { std::memset(buf_, 0, cap_); }

    void add(const char *format, ...) PROP_PRINTF(2, 3)
    {
        if (full_) return;
        char line[1024];
        va_list ap;
        va_start(ap, format);
        int n = std::vsnprintf(line, sizeof line, format, ap);
        va_end(ap);
        if (n < 0) return;
        size_t len = std::strlen(line);
        if (len_ + len + 1 > cap_) {
            full_ = true;
            return;
        }
        std::memcpy(buf_ + len_, line, len);
        len_ += len;
    }

  private:
    char *buf_;
    size_t cap_;
    size_t len_ = 0;
    bool full_ = false;
};

const char *type_name(u32 type)
{
    switch (type) {
    case PROPR_BLK_DATA: return "DATA\n";
    case PROPR_BLK_TNODE: return "TNODE\n";
    case PROPR_BLK_METADATA: return "METADATA\n";
    case PROPR_BLK_KCE: return "KCE\n";
    case PROPR_BLK_DB: return "DB\n";
    case PROPR_BLK_VAL: return "VAL\n";
    case PROPR_BLK_ADDR: return "ADDR\n";
    default: return "!!! INVALID BLOCK TYPE !!!\n";
    }
}

const char *right_name(u32 level)
{
    switch (level) {
    case PROP_PERM_NONE: return "NONE / ";
    case PROP_PERM_QUERY_KEY: return "QUERY_KEY / ";
    case PROP_PERM_ENUMERATE_SUB_KEYS: return "ENUMERATE_SUB_KEYS / ";
    case PROP_PERM_READ: return "READ / ";
    case PROP_PERM_SET_KEY: return "SET_KEY / ";
    case PROP_PERM_CREATE_LINK: return "CREATE_LINK / ";
    case PROP_PERM_CREATE_SUB_KEY: return "CREATE_SUB_KEY / ";
    case PROP_PERM_DELETE_KEY: return "DELETE_KEY / ";
    case PROP_PERM_WRITE: return "WRITE / ";
    case PROP_PERM_ALL_ACCESS: return "ALL_ACCESS / ";
    default: return "!!! UNKNOWN !!! / ";
    }
}

const char *data_type_name(u32 type)
{
    static const char *const kNames[] = {" NOVALUE\n", " UB4\n", " UBIG_KVX\n", " KVXTEXT\n", " MULTI_KVXTEXT\n",
                                         " BYTESTREAM\n"};
    return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : " Other\n";
}

// The header number a block numbered blkno should carry.
bool number_mismatch(const proprhandle *h, u32 blkno, u32 found)
{
    if (blkno < PROPR_BLOCKNUM_BIAS) return found != blkno;
    return found != expected_number(h, propr_blocknum_addr(blkno));
}

void header_lines(report &r, const proprhandle *h, u32 blkno, const u8 *block)
{
    propr_hdr hdr;
    std::memcpy(&hdr, block, sizeof hdr);
    const u8 ce = hdr.propr_hdr_checksum_enabled;
    r.add("checksum enabled ?:  0x%.2x - %s", ce,
          ce == 1 ? "Yes\n" : ce == 0 ? "!!! CHECKSUM DISABLED !!!\n" : "!!! INVALID VALUE IN CHECKSUM !!!\n");
    r.add("magic number:        0x%.2x - %s", hdr.propr_hdr_size_magic_num,
          hdr.propr_hdr_size_magic_num == PROPR_HDR_MAGIC ? "OK\n" : "!!! INVALID MAGIC NUMBER !!!\n");
    r.add("checksum:            0x%.4x\n", hdr.propr_hdr_checksum);
    r.add("ZKV block number:    0x%.8x - %d%s", hdr.propr_hdr_blocknum, static_cast<int>(hdr.propr_hdr_blocknum),
          number_mismatch(h, blkno, hdr.propr_hdr_blocknum) ? " !!! BLOCK NUMBER MISMATCH !!!\n" : "\n");
    r.add("block type:          0x%.4x - %s", hdr.propr_hdr_block_type, type_name(hdr.propr_hdr_block_type));
    r.add("header version:      0x%.2x\n", hdr.propr_hdr_version);
    r.add("header unused:       0x%.2x\n", hdr.propr_hdr_unused);
    const auto *ms = reinterpret_cast<const u8 *>(hdr.propr_hdr_magic_string);
    const bool good = std::memcmp(ms, "ZKV", 4) == 0;
    r.add("magic string:        0x%.2x 0x%.2x 0x%.2x 0x%.2x %s", ms[0], ms[1], ms[2], ms[3],
          good ? "- 'ZKV'\n" : "!!! INVALID MAGIC STRING !!!\n");
    r.add("ZKVID:               0x%.8x - %d\n", hdr.propr_hdr_zkvid, static_cast<int>(hdr.propr_hdr_zkvid));
    r.add("flags:               0x%.8x\n", hdr.propr_hdr_flags);
    const u8 *a = hdr.propr_hdr_array;
    r.add("header array:        0x%.2x 0x%.2x 0x%.2x 0x%.2x\n", a[0], a[1], a[2], a[3]);
}

void word(report &r, const char *label, u32 v)
{
    r.add("%s0x%.8x - %d\n", label, v, static_cast<int>(v));
}

void name_line(report &r, proprhandle *h, const char *label, u32 id, u32 kind)
{
    char name[PROP_NAME_SIZE] = {};
    u32 len = sizeof name;
    const bool known = proprutidtoname(h, id, &len, name, kind) == PROP_OK;
    r.add("%s0x%.8x - %d - %s%s", label, id, static_cast<int>(id), known ? name : "!!! UNKNOWN !!!", "\n");
}

void subkey_lines(report &r, const u8 *block, u32 num_subkey)
{
    u32 here = 0;
    u32 rc = kce_for_each(block, KCE_TNODE_START, [&](const kce_hit &) {
        here++;
        return true;
    });
    if (rc != PROP_OK) {
        r.add("\n!!! FAILURE RETRIEVING SUBKEYS !!!\n");
        return;
    }
    if (here == 0) {
        if (num_subkey == 0)
            r.add("\nNo subkeys exist in this block\n");
        else
            r.add("\n%d subkeys exist but not in this block.\n", static_cast<int>(num_subkey));
        return;
    }
    r.add("\n%d subkeys exist in this block:\n", static_cast<int>(here));
    kce_for_each(block, KCE_TNODE_START, [&](const kce_hit &hit) {
        r.add("%.*s\n", static_cast<int>(hit.size - KCE_ENTRY_EXTRA), reinterpret_cast<const char *>(block + hit.loc));
        return true;
    });
}

void tnode_lines(report &r, proprhandle *h, const u8 *block)
{
    name_line(r, h, "tnode owner_id:      ", be32_at(block, TNODE_OFF_OWNER_ID), 1);
    name_line(r, h, "tnode group_id:      ", be32_at(block, TNODE_OFF_GROUP_ID), 2);
    const u8 u = block[TNODE_OFF_USER_PERM], g = block[TNODE_OFF_GROUP_PERM], o = block[TNODE_OFF_OTHER_PERM];
    r.add("tnode security:      0x%.2x - %s0x%.2x - %s0x%.2x - %s\n", u, right_name(u), g, right_name(g), o,
          right_name(o));
    r.add("tnode link_count:    0x%.2x - %d\n", block[TNODE_OFF_LINK_COUNT], block[TNODE_OFF_LINK_COUNT]);
    r.add("tnode isndk:         0x%.2x - %d\n", block[TNODE_OFF_ISNDK], block[TNODE_OFF_ISNDK]);
    const u8 dt = block[TNODE_OFF_DATA_TYPE];
    r.add("tnode data_type:     0x%.2x - %d -%s", dt, dt, data_type_name(dt));
    const u32 value_size = be32_at(block, TNODE_OFF_VALUE_SIZE);
    word(r, "tnode value_size:    ", value_size);
    word(r, "tnode node_number:   ", be32_at(block, TNODE_OFF_NODE_NUMBER));
    word(r, "tnode creation_time: ", be32_at(block, TNODE_OFF_CREATION_TIME));
    word(r, "tnode mod_time:      ", be32_at(block, TNODE_OFF_MOD_TIME));
    const u32 num_subkey = be32_at(block, TNODE_OFF_NUM_SUBKEY);
    word(r, "tnode num_subkey:    ", num_subkey);
    word(r, "tnode num_entry:     ", be32_at(block, TNODE_OFF_NUM_ENTRY));
    u32 pages = 0, direct = 0, single = 0;
    if (proprutfnop(h, value_size, &pages, &direct, &single) == PROP_OK) {
        word(r, "tnode num_page:      ", pages);
        word(r, "tnode num_direct:    ", direct);
        word(r, "tnode num_single:    ", single);
    } else {
        r.add("tnode num_page: !!! FAILED TO RETRIEVE VALUE !!!\n");
        r.add("tnode num_direct: !!! FAILED TO RETRIEVE VALUE !!!\n");
        r.add("tnode num_single: !!! FAILED TO RETRIEVE VALUE !!!\n");
    }
    word(r, "tnode free_space_sz: ", be32_at(block, TNODE_OFF_FREE_SPACE_SZ));
    word(r, "tnode end of fsp:    ", be32_at(block, TNODE_OFF_END_OF_FSP));
    subkey_lines(r, block, num_subkey);
}

// Slots 0 and 1 keep their history in the low area, slots 2 to 4 in the
// high one; each area lists the previous ids, then the new ones.
i32 history_prv(u32 slot)
{
    return slot < 2 ? DEV_HIST_LOW + 4 * static_cast<i32>(slot) : DEV_HIST_HIGH + 4 * static_cast<i32>(slot - 2);
}
i32 history_new(u32 slot)
{
    return slot < 2 ? history_prv(slot) + 8 : history_prv(slot) + 12;
}

void address_line(report &r, const char *label, u32 addr)
{
    r.add("%s0x%.8x - %d - block %d\n", label, addr, static_cast<int>(addr),
          static_cast<int>(propr_blocknum(addr)));
}

void boot_lines(report &r, const u8 *b)
{
    r.add("\nsuperblock address:        0x%.2x - %d\n", b[BOOT_OFF_SUPER_SELECTOR], b[BOOT_OFF_SUPER_SELECTOR]);
    word(r, "ZKVID:                     ", be32_at(b, BOOT_OFF_ZKVID));
    word(r, "bitmap page num:           ", be32_at(b, BOOT_OFF_NUM_FCL));
    address_line(r, "log space start:           ", be32_at(b, BOOT_OFF_LSST));
    address_line(r, "owner database offset:     ", be32_at(b, BOOT_OFF_ODBST));
    address_line(r, "group database offset:     ", be32_at(b, BOOT_OFF_GDBST));
    address_line(r, "tnode offset:              ", be32_at(b, BOOT_OFF_RTNST));
    word(r, "numpage:                   ", be32_at(b, BOOT_OFF_NUMPAGE));
    word(r, "version string num:        ", be32_at(b, BOOT_OFF_VERSION_COUNT));
    word(r, "version string:            ", be32_at(b, BOOT_OFF_VERSIONS));
    word(r, "log valid byte start:      ", b[BOOT_OFF_LOG_VALID]);
    word(r, "commit lsn:                ", be32_at(b, BOOT_OFF_COMMIT_LSN));
    word(r, "upgrade state:             ", be32_at(b, BOOT_OFF_UPGRADE_STATE));
    word(r, "backup file version:       ", be32_at(b, BOOT_OFF_BKP_VERSION));
    word(r, "backup file type:          ", be32_at(b, BOOT_OFF_BKP_TYPE));
    const u32 votes = be32_at(b, DEV_VOTES_MY);
    r.add("\nmy votes:                  0x%.8x - %d\n", votes, static_cast<int>(votes));
    word(r, "total votes:               ", be32_at(b, DEV_VOTES_TOTAL));
    word(r, "device history num:        ", be32_at(b, DEV_HIST_COUNT));
    for (u32 slot = 0; slot < PROP_NUM_SLOTS; slot++) {
        const u32 prv = be32_at(b, history_prv(slot)), nw = be32_at(b, history_new(slot));
        r.add("device history [%d] prv:    0x%.8x - %d\n", static_cast<int>(slot), prv, static_cast<int>(prv));
        r.add("device history [%d] new:    0x%.8x - %d\n", static_cast<int>(slot), nw, static_cast<int>(nw));
    }
}

}  // namespace

u32 propriblock(backend_ctx *ctx, u32 blkno, const void *block, u32 block_size, char *text, u32 *text_size, u32)
{
    if (!ctx_usable(ctx, "priblock")) return PROP_E_CTX;
    proprhandle *h = ctx->propb_ctx;
    const przkv_ctx *zkv = ctx->prop_ctx_zkvctx;
    if (zkv == nullptr) {
        trace_print(raw(h), 0, "priblock: ZKV context reference in backend ctx is null");
        return PROP_E_CTX;
    }
    if (zkv->msgtext == nullptr) {
        trace_print(raw(h), 0, "priblock: LSF context is null");
        return PROP_E_CTX;
    }
    if (block == nullptr || text == nullptr || text_size == nullptr) {
        trace_print(raw(h), 0, "priblock: null pointer passed for *buf, *size");
        return PROP_E_NULL;
    }
    if (block_size != PROP_PAGE_SIZE || *text_size != DIAG_REPORT_SIZE) {
        trace_print(raw(h), 0, "priblock: invalid buffer size passed, in=%d, out=%d", static_cast<int>(block_size),
                    static_cast<int>(*text_size));
        return PROP_E_ARG;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Shared);
    const auto *b = static_cast<const u8 *>(block);
    report r(text, DIAG_REPORT_SIZE);
    header_lines(r, h, blkno, b);
    propr_hdr hdr;
    std::memcpy(&hdr, b, sizeof hdr);
    if (hdr.propr_hdr_block_type == PROPR_BLK_TNODE)
        tnode_lines(r, h, b);
    else if (hdr.propr_hdr_block_type == PROPR_BLK_METADATA && blkno == propr_blocknum(PROPR_BOOT_ADDR))
        boot_lines(r, b);
    else if (hdr.propr_hdr_block_type == PROPR_BLK_METADATA)
        r.add("\nNo details available for metadata block %d\n", static_cast<int>(blkno));
    else
        r.add("\nNo details available for block type 0x%.4x\n", hdr.propr_hdr_block_type);
    return PROP_OK;
}

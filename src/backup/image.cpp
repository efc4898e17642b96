#include "backup/image.h"

#include "format/block.h"
#include "format/cursor.h"
#include "format/layout.h"

namespace propreg {

namespace {

constexpr u64 kPage = PROP_PAGE_SIZE;

// The name pages and the root page: what every image holds after its head.
constexpr u32 kMinTail = 3;

// Where a store of num_fcl bitmap pages starts its log space.
u64 lsst_of(u32 num_fcl)
{
    return 12288 + 8192 * u64{num_fcl} + kPage;
}

void put_areas(u8 *boot, u32 odbst)
{
    be32_put(boot, BOOT_OFF_ODBST, odbst);
    be32_put(boot, BOOT_OFF_GDBST, odbst + PROP_PAGE_SIZE);
    be32_put(boot, BOOT_OFF_RTNST, odbst + 2 * PROP_PAGE_SIZE);
}

}  // namespace

void bkp_boot_to_image(u8 *boot, u32 lsst, u32 type)
{
    put_areas(boot, lsst + PROP_PAGE_SIZE);
    be32_put(boot, BOOT_OFF_BKP_VERSION, BKP_VERSION);
    be32_put(boot, BOOT_OFF_BKP_TYPE, type);
    hdr_stamp_checksum(boot, PROP_PAGE_SIZE);
}

void bkp_boot_to_store(u8 *boot, u32 lsst)
{
    put_areas(boot, lsst + BKP_LIVE_ODB_DISTANCE);
    be32_put(boot, BOOT_OFF_BKP_VERSION, 0);
    be32_put(boot, BOOT_OFF_BKP_TYPE, 0);
}

u32 bkp_verify_format(trace_comp tc, const u8 *boot, u32 flags)
{
    const char *kind = bkp_kind_name(flags);
    if (proprut_isblk_valid_buf(boot, PROPR_BLK_METADATA) == 0) {
        trace_print(tc, 0,
                    "phy_verifyformat: Header check failed. The backup file to be restored is not a valid %s backup "
                    "file.",
                    kind);
        return PROP_E_FORMAT;
    }
    const u32 version = boot[BOOT_OFF_HDR_VERSION];
    if (version != PROPR_HDR_VERSION) {
        trace_print(tc, 0,
                    "phy_verifyformat: %s version [%d] in backup file is not valid. Expected version is [%d]. The "
                    "backup file to be restored is not a valid %s backup file.",
                    kind, static_cast<int>(version), static_cast<int>(PROPR_HDR_VERSION), kind);
        return PROP_E_FORMAT;
    }
    const u32 zkvid = be32_at(boot, BOOT_OFF_ZKVID);
    if (zkvid == 0) {
        trace_print(tc, 0,
                    "phy_verifyformat: %s id [%d] in backup file is not valid. The backup file to be restored is not "
                    "a valid %s backup file.",
                    kind, static_cast<int>(zkvid), kind);
        return PROP_E_FORMAT;
    }
    if (hdr_verify_checksum(boot, PROP_PAGE_SIZE) != 0) {
        trace_print(tc, 0,
                    "phy_verifyformat: The boot block in backup file is corrupt. The backup file to be restored is "
                    "not a valid %s backup file.",
                    kind);
        return PROP_E_FORMAT;
    }
    // A store's own boot block, not a backup's: its log space is not squeezed.
    const u32 bkp_version = be32_at(boot, BOOT_OFF_BKP_VERSION);
    if (bkp_version != BKP_VERSION) {
        trace_print(tc, 0,
                    "phy_verifyformat: Backup file version [%d] is not [%d]. The backup file to be restored is not a "
                    "valid %s backup file.",
                    static_cast<int>(bkp_version), static_cast<int>(BKP_VERSION), kind);
        return PROP_E_FORMAT;
    }
    const u32 type = be32_at(boot, BOOT_OFF_BKP_TYPE);
    const u32 want = (flags & PROP_KIND_NKV) != 0 ? BKP_TYPE_NKV : BKP_TYPE_ZKV;
    if (type != want) {
        trace_print(tc, 0,
                    "phy_verifyformat: Backup file type [%d] is not same as destination registry type. The backup "
                    "file to be restored is not a valid %s backup file.",
                    static_cast<int>(type), kind);
        return PROP_E_FORMAT;
    }
    trace_print(tc, 2, "phy_verifyformat: Backup file type [%d] matches the destination registry type.",
                static_cast<int>(type));
    // Its pages would hold a transaction's half-made changes.
    if (boot[BOOT_OFF_LOG_VALID] != 0) {
        trace_print(tc, 0,
                    "phy_verifyformat: The backup image holds a live undo log. The backup file to be restored is not "
                    "a valid %s backup file.",
                    kind);
        return PROP_E_FORMAT;
    }
    trace_print(tc, 2, "phy_verifyformat: The backup file to be restored is a valid %s backup file.", kind);
    return 0;
}

u32 bkp_check_layout(trace_comp tc, const u8 *boot, u64 file_bytes, bkp_image *out)
{
    bkp_image im{};
    im.num_fcl = be32_at(boot, BOOT_OFF_NUM_FCL);
    im.lsst = be32_at(boot, BOOT_OFF_LSST);
    im.numpage = be32_at(boot, BOOT_OFF_NUMPAGE);
    const u32 odbst = be32_at(boot, BOOT_OFF_ODBST);
    const u32 gdbst = be32_at(boot, BOOT_OFF_GDBST);
    const u32 rtnst = be32_at(boot, BOOT_OFF_RTNST);
    const bool areas_ok = im.num_fcl >= 1 && im.num_fcl <= PROPR_MAX_FCL && im.lsst == lsst_of(im.num_fcl) &&
                          u64{odbst} == u64{im.lsst} + kPage && u64{gdbst} == u64{im.lsst} + 2 * kPage &&
                          u64{rtnst} == u64{im.lsst} + 3 * kPage;
    // The restored store's bitmaps must cover its pages.
    const bool size_ok = im.numpage >= 1 && u64{im.numpage} <= u64{im.num_fcl} * PROPR_BITS_PER_FCL;
    if (!areas_ok || !size_ok) {
        trace_print(tc, 0,
                    "phy_rec: The backup's store map is not valid (num_fcl [%u], lsst [%u], odbst [%u], gdbst [%u], "
                    "rtnst [%u], numpage [%u]).",
                    im.num_fcl, im.lsst, odbst, gdbst, rtnst, im.numpage);
        return PROP_E_FORMAT;
    }
    im.head = im.lsst / PROP_PAGE_SIZE + 1;
    const u64 pages = file_bytes / kPage;
    if (file_bytes % kPage != 0 || pages < u64{im.head} + kMinTail || pages - im.head > u64{im.numpage} + 2) {
        trace_print(tc, 0,
                    "phy_rec: Backup file size [%llu] does not fit its store map (%u pages before the name pages, %u "
                    "tnode pages).",
                    static_cast<unsigned long long>(file_bytes), im.head, im.numpage);
        return PROP_E_FORMAT;
    }
    im.pages = static_cast<u32>(pages);
    im.tail = im.pages - im.head;
    *out = im;
    return 0;
}

}  // namespace propreg

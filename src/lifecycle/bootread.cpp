// propribctx: the boot block and the superblock of an open store, read into
// the handle with everything they say about where the store keeps things.
#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "format/block.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "format/storemap.h"
#include "io/io.h"
#include "lifecycle/init.h"
#include "lifecycle/newhandle.h"
#include "space/fcl.h"
#include "tree/names.h"
#include "txn/log.h"

using namespace propreg;

namespace {

constexpr const char *kBitmapMsgId = "(:PRZKV00006:)";

u32 ensure_buffer(proprhandle *h, u8 **buf, const char *line)
{
    if (*buf != nullptr) return 0;
    trace_print(lc_trace(h), 2, "%s", line);
    *buf = u_alloc_array<u8>(h->metactx, PROP_PAGE_SIZE);
    return *buf != nullptr ? 0 : PROP_E_NOMEM;
}

// A store may not have more bitmap pages than the superblock can name.
u32 check_bitmap_count(proprhandle *h, u32 num_fcl)
{
    if (num_fcl <= PROPR_MAX_FCL) return 0;
    char text[512];
    std::snprintf(text, sizeof text,
                  "%sibctx: Number of bitmap pages [%d] information available in the boot block at location "
                  "[%d] is invalid. Maximun number of bitmap pages allowed are [%d]",
                  kBitmapMsgId, static_cast<int>(num_fcl), static_cast<int>(BOOT_OFF_NUM_FCL),
                  static_cast<int>(PROPR_MAX_FCL));
    trace_print(lc_trace(h), 0, "%s", text);
    const przkv_ctx *zkv = h->proprhandle_zkvctx;
    alert_print(prop_alert_base(zkv) + 20, "%s %s", kBitmapMsgId, zkv != nullptr ? zkv->log_name : "");
    return PROP_E_FORMAT;
}

// Every area of a store follows from its bitmap count (only the log space
// is shorter in a backup image).  A boot block that says otherwise describes
// no store, and believing it would send reads and writes anywhere.
u32 check_store_map(const proprhandle *h)
{
    const u32 n = h->proprhandle_num_fcl;
    const u64 lsst = u64{propr_fcl_addr(n, 0)} + PROP_PAGE_SIZE;  // after the bitmaps and the ndk block
    const u64 odbst = h->proprhandle_odbst, gdbst = h->proprhandle_gdbst, rtnst = h->proprhandle_rtnst;
    const bool ok = n >= 1 && h->proprhandle_lsst == lsst && odbst > lsst && (odbst - lsst) % PROP_PAGE_SIZE == 0 &&
                    (odbst - lsst) / PROP_PAGE_SIZE <= PROPR_NUM_LOG && gdbst == odbst + PROP_PAGE_SIZE &&
                    rtnst == gdbst + PROP_PAGE_SIZE && h->numpage >= 1 &&
                    h->numpage <= u64{n} * PROPR_BITS_PER_FCL;
    if (ok) return 0;
    trace_print(lc_trace(h), 0,
                "ibctx: the boot block describes no store: bitmap pages %d, lsst %d, odbst %d, gdbst %d, rtnst %d, "
                "numpage %d",
                static_cast<int>(n), static_cast<int>(h->proprhandle_lsst), static_cast<int>(odbst),
                static_cast<int>(gdbst), static_cast<int>(rtnst), static_cast<int>(h->numpage));
    return PROP_E_FORMAT;
}

// The boot block's words into the handle.
u32 take_boot(proprhandle *h, u32 refresh)
{
    trace_comp tc = lc_trace(h);
    const u8 *boot = h->bootbuf;
    h->version[0] = boot[BOOT_OFF_HDR_VERSION];
    h->super_block_addr = boot[BOOT_OFF_SUPER_SELECTOR];
    h->proprhandle_isvalidlog = boot[BOOT_OFF_LOG_VALID];
    h->proprhandle_zkvid = be32_at(boot, BOOT_OFF_ZKVID);
    trace_print(tc, 4, "ibctx: SUPER BLOCK ADDR = %d", static_cast<int>(h->super_block_addr));
    trace_print(tc, 4, "ibctx: ZKV ID IS %d", static_cast<int>(h->proprhandle_zkvid));

    const u32 num_fcl = be32_at(boot, BOOT_OFF_NUM_FCL);
    if (u32 rc = check_bitmap_count(h, num_fcl); rc != 0) return rc;
    // The bitmap records were sized by the first reading.
    if (refresh != 0 && num_fcl != h->proprhandle_num_fcl) {
        trace_print(tc, 0, "ibctx:1:ERROR: INVALID FORMAT");
        return PROP_E_FORMAT;
    }
    h->proprhandle_num_fcl = num_fcl;
    trace_print(tc, 4, "ibctx: NUMBER OF BITMAP PAGES = %d", static_cast<int>(num_fcl));

    h->proprhandle_lsst = be32_at(boot, BOOT_OFF_LSST);
    h->proprhandle_odbst = be32_at(boot, BOOT_OFF_ODBST);
    h->proprhandle_gdbst = be32_at(boot, BOOT_OFF_GDBST);
    h->proprhandle_rtnst = be32_at(boot, BOOT_OFF_RTNST);
    h->proprhandle_num_log = (h->proprhandle_odbst - h->proprhandle_lsst) >> 12;
    trace_print(tc, 4, "ibctx: CHECKING: lsst = %d, odbst = %d, gdbst = %d rtnst = %d",
                static_cast<int>(h->proprhandle_lsst), static_cast<int>(h->proprhandle_odbst),
                static_cast<int>(h->proprhandle_gdbst), static_cast<int>(h->proprhandle_rtnst));
    h->numpage = be32_at(boot, BOOT_OFF_NUMPAGE);
    trace_print(tc, 4, "ibctx: NUMPAGE IS %d", static_cast<int>(h->numpage));
    if (u32 rc = check_store_map(h); rc != 0) return rc;
    h->proprhandle_upgrade_state = be32_at(boot, BOOT_OFF_UPGRADE_STATE);
    trace_print(tc, 2, "ibctx: ZKV format upgrade state is %d", static_cast<int>(h->proprhandle_upgrade_state));
    return 0;
}

u32 read_boot(proprhandle *h, u32 refresh, u32 open_flag)
{
    trace_comp tc = lc_trace(h);
    std::memset(h->bootbuf, 0, PROP_PAGE_SIZE);
    if (proprior(h, h->bootbuf, PROP_PAGE_SIZE, PROPR_BOOT_ADDR, open_flag, PROPRIO_ALL) != 0) {
        trace_print(tc, 0, "ibctx: Failed to read the whole bootblock.  Assumes invalid format.");
        return PROP_E_FORMAT;
    }
    if (proprut_isblk_valid_buf(h->bootbuf, PROPR_BLK_METADATA) == 0) {
        trace_print(tc, 0, "ibctx:1:ERROR: INVALID FORMAT");
        return PROP_E_FORMAT;
    }
    trace_print(tc, 4, "ibctx: Successfully read the boot block.");
    return take_boot(h, refresh);
}

u32 read_super(proprhandle *h, u32 open_flag)
{
    trace_comp tc = lc_trace(h);
    // Only two copies exist; any other selector would point into the bitmaps.
    if (h->super_block_addr > 1) {
        trace_print(tc, 0, "ibctx:1:ERROR: INVALID FORMAT");
        return PROP_E_FORMAT;
    }
    const u32 addr = propr_super_addr(h->super_block_addr);
    trace_print(tc, 2, "ibctx: The super block address found is %d, %d", static_cast<int>(h->super_block_addr),
                static_cast<int>(addr));
    u32 rc = proprior(h, h->superbuf, PROP_PAGE_SIZE, addr, open_flag, PROPRIO_ALL);
    if (rc == PROP_E_STORAGE) {
        trace_print(tc, 0, "ibctx:2:ERROR:problem reading the superblock");
        return PROP_E_STORAGE;
    }
    if (rc != 0 || proprut_isblk_valid_buf(h->superbuf, PROPR_BLK_METADATA) == 0) {
        trace_print(tc, 0, "ibctx:1:ERROR: INVALID FORMAT");
        return PROP_E_FORMAT;
    }
    trace_print(tc, 4, "ibctx: Successfully read the super block.");
    h->ndk_addr = be32_at(h->superbuf, SUPER_OFF_NDK_ADDR);
    h->num_ndk = be32_at(h->superbuf, SUPER_OFF_NUM_NDK);
    return 0;
}

// A handle's first reading also builds what lives as long as the handle.
u32 first_setup(proprhandle *h)
{
    if (u32 rc = proprutilog(h); rc != 0) return rc;
    if (u32 rc = proprutifcl(h); rc != 0) return rc;
    if (h->proprhandle_mutex_created != 0) return 0;
    if (plat_mutex_init(&h->proprhandle_mutex) != 0) {
        trace_print(lc_trace(h), 0, "ibctx: Could not create the mutex");
        return PROP_E_STORAGE;
    }
    h->proprhandle_mutex_created = 1;
    return 0;
}

void take_bitmap_copies(proprhandle *h)
{
    for (u32 i = 0; i < h->proprhandle_num_fcl; i++) {
        const u32 copy = be32_at(h->superbuf, SUPER_OFF_FREE_SPACE_ADDR + static_cast<i32>(4 * i));
        h->proprhandle_fcl[i]->free_space_addr = copy;
        trace_print(lc_trace(h), 4, "ibctx: FREE SPACE ADDR %d = %d", static_cast<int>(i), static_cast<int>(copy));
    }
}

u32 read_blocks(proprhandle *h, u32 refresh, u32 open_flag)
{
    trace_comp tc = lc_trace(h);
    if (ensure_buffer(h, &h->bootbuf, "ibctx: BOOTBUF WAS NULL...ALLOCATING MEMORY") != 0 ||
        ensure_buffer(h, &h->superbuf, "ibctx: SUPERBUF WAS NULL...ALLOCATING MEMORY") != 0)
        return PROP_E_NOMEM;
    if (u32 rc = read_boot(h, refresh, open_flag); rc != 0) return rc;
    if (u32 rc = read_super(h, open_flag); rc != 0) return rc;
    if (refresh == 0) {
        if (u32 rc = first_setup(h); rc != 0) return rc;
    }
    if (u32 rc = proprutiid(h); rc != 0) return rc;
    trace_print(tc, 4, "ibctx: Successfully initialized owner and group db.");
    trace_print(tc, 4,
                "ibctx: Retrieved data is num_fcl = %d, numpage=%d,  log_addr=%d, num_log=%d, ndk_addr = %d, "
                "num_ndk = %d",
                static_cast<int>(h->proprhandle_num_fcl), static_cast<int>(h->numpage),
                static_cast<int>(h->proprhandle_lsst), static_cast<int>(h->proprhandle_num_log),
                static_cast<int>(h->ndk_addr), static_cast<int>(h->num_ndk));
    take_bitmap_copies(h);
    return 0;
}

}  // namespace

u32 propribctx(proprhandle *handle, u32 refresh, u32 open_flag)
{
    if (handle == nullptr) {
        trace_print(lc_trace(nullptr), 0, "ibctx: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    trace_comp tc = lc_trace(handle);
    trace_print(tc, 4, "propribctx: Initializing the backend handle (propribctx).");
    trace_print(tc, 4, "ibctx: NUMPAGE = %d, refresh_handle =%d", static_cast<int>(handle->numpage),
                static_cast<int>(refresh));
    const u32 rc = read_blocks(handle, refresh, open_flag);
    if (rc != 0) {
        lc_drop_block_buffers(handle);
        return rc;
    }
    trace_print(tc, 4, "propribctx: Backend handle initialization (propribctx) completed.");
    return 0;
}

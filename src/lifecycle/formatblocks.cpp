// The fixed blocks of a new store, each at its place in the store map.
#include <cerrno>
#include <cstring>
#include <iterator>

#include "core/alloc.h"
#include "core/error.h"
#include "format/block.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "format/storemap.h"
#include "io/devhist.h"
#include "io/devid.h"
#include "io/group.h"
#include "io/io.h"
#include "lifecycle/format.h"
#include "lifecycle/newhandle.h"
#include "platform/random.h"
#include "space/fcl.h"

using namespace propreg;

namespace {

constexpr u32 kIdMask = 0x7fffffff;

// A page whose header names the block at addr; the payload is left alone.
void put_header(const proprhandle *h, u8 *page, u32 addr, u32 type)
{
    propr_hdr hdr;
    hdr_init(h, &hdr, addr, type);
    std::memcpy(page, &hdr, sizeof hdr);
}

u32 write_page(WriteGroup &group, u8 *page, u32 addr)
{
    hdr_stamp_checksum(page, PROP_PAGE_SIZE);
    return group.add(page, PROP_PAGE_SIZE, addr);
}

// An empty page of the given type at addr.
u32 write_empty(proprhandle *h, WriteGroup &group, u32 addr, u32 type)
{
    alignas(8) u8 page[PROP_PAGE_SIZE] = {};
    put_header(h, page, addr, type);
    return write_page(group, page, addr);
}

u32 choose_id(proprhandle *h, const u32 *zkvid, u32 format_flag, u32 *id)
{
    trace_comp tc = lc_trace(h);
    if (zkvid != nullptr && format_flag == 0) {
        *id = *zkvid & kIdMask;
        trace_print(tc, 1, "proprinitb: Using ZKV ID passed [%d]", static_cast<int>(*id));
        return 0;
    }
    if (format_flag != 0) trace_print(tc, 1, "proprinitb: format_flag passed !!");
    if (int err = plat_random_u32(id); err != 0) {
        trace_print(tc, 0, "proprinitb: Could not generate the ZKV ID [%d]. Returning [%d]", err,
                    static_cast<int>(PROP_E_STORAGE));
        return PROP_E_STORAGE;
    }
    *id &= kIdMask;
    trace_print(tc, 2, "proprinitb:1: ZKV ID [%d] successfully generated", static_cast<int>(*id));
    return 0;
}

void fill_boot(const proprhandle *h, u8 *boot)
{
    put_header(h, boot, PROPR_BOOT_ADDR, PROPR_BLK_METADATA);
    boot[BOOT_OFF_SUPER_SELECTOR] = 0;
    be32_put(boot, BOOT_OFF_ZKVID, h->proprhandle_zkvid);
    be32_put(boot, BOOT_OFF_NUM_FCL, h->proprhandle_num_fcl);
    be32_put(boot, BOOT_OFF_LSST, h->proprhandle_lsst);
    be32_put(boot, BOOT_OFF_ODBST, h->proprhandle_odbst);
    be32_put(boot, BOOT_OFF_GDBST, h->proprhandle_gdbst);
    be32_put(boot, BOOT_OFF_RTNST, h->proprhandle_rtnst);
    be32_put(boot, BOOT_OFF_NUMPAGE, h->numpage);
    be32_put(boot, BOOT_OFF_VERSION_COUNT, static_cast<u32>(std::size(BOOT_VERSIONS)));
    for (size_t i = 0; i < std::size(BOOT_VERSIONS); i++) {
        boot[BOOT_OFF_VERSIONS + 2 * i] = static_cast<u8>(BOOT_VERSIONS[i] & 0xff);
        boot[BOOT_OFF_VERSIONS + 2 * i + 1] = static_cast<u8>(BOOT_VERSIONS[i] >> 8);
    }
    be32_put(boot, BOOT_OFF_UPGRADE_STATE, h->proprhandle_upgrade_state);
    boot[BOOT_OFF_LOG_VALID] = 0;
}

// The store records which set of locations it was made on.
u32 write_history(proprhandle *h, u8 *boot)
{
    trace_comp tc = lc_trace(h);
    u32 dev[PROP_MAX_LOCATIONS] = {};
    char errbuf[1024] = {};
    u64 errsz = sizeof errbuf;
    if (proprdev_get(h, dev, errbuf, &errsz, 0) != 0) {
        trace_print(tc, 0, "printb: cannot get current configuration %s", errbuf);
        if (errbuf[0] != '\0')
            u_set_comp_error(h->proprhandle_zkvctx, nullptr, PROP_COMPMSG_TEXT, static_cast<u32>(errno),
                             PROP_COMPTYPE_OS, errbuf);
        return PROP_E_STORAGE;
    }
    if (dev_whist(boot, dev, nullptr) != 0) {
        trace_print(tc, 0, "printb: could not write device replacement history");
        return PROP_E_STORAGE;
    }
    return 0;
}

// The votes a new store starts with, in the block and in the handle: two
// locations hold 1/2 each, or 2/2 the one that opened; other counts do not
// vote.  They are what the I/O layer's vote keeping would set, so that it
// finds nothing to write while the format runs: it writes the handle's boot
// block, and that must reach the locations only at the end.
void set_votes(proprhandle *h, u8 *boot)
{
    bool open[2] = {false, false};
    const bool pair = h->proprhandle_configured_device_count == 2;
    for (u32 i = 0; pair && i < 2; i++) open[i] = h->proprhandle_native_state[i] == PROP_SLOT_OPEN;
    const u32 my = open[0] && open[1] ? 1 : 2;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        const bool votes = i < 2 && open[i];
        h->proprhandle_my_votes[i] = votes ? my : 0;
        h->proprhandle_total_votes[i] = votes ? 2 : 0;
    }
    const bool any = open[0] || open[1];
    dev_wvotes(boot, any ? my : 0, any ? 2 : 0);
}

}  // namespace

u32 proprinitb(proprhandle *handle, const u32 *zkvid, u32 format_flag)
{
    trace_comp tc = lc_trace(handle);
    u32 id = 0;
    if (u32 rc = choose_id(handle, zkvid, format_flag, &id); rc != 0) return rc;
    handle->proprhandle_zkvid = id;

    MetaPtr<u8> boot = MetaPtr<u8>::alloc(handle->metactx, PROP_PAGE_SIZE);
    if (!boot) return PROP_E_NOMEM;
    fill_boot(handle, boot.get());
    handle->version[0] = boot[BOOT_OFF_HDR_VERSION];
    if (u32 rc = write_history(handle, boot.get()); rc != 0) return rc;
    set_votes(handle, boot.get());
    hdr_stamp_checksum(boot.get(), PROP_PAGE_SIZE);

    // Whatever boot block the locations held goes first: from here until
    // the commit that creates the root writes this one, no location can
    // pass for a store, neither the old one nor half of the new.
    trace_print(tc, 2, "prinitb: GOING TO WRITE THE BOOT BLOCK");
    alignas(8) u8 blank[PROP_PAGE_SIZE] = {};
    if (propriow(handle, blank, PROP_PAGE_SIZE, PROPR_BOOT_ADDR, PROPRIO_ALL) != 0) {
        trace_print(tc, 0, "initb:3:problem writing the boot block");
        return PROP_E_STORAGE;
    }
    handle->bootbuf = boot.release();
    trace_print(tc, 2, "initb:Successful copying the bootbuffer");
    return 0;
}

u32 proprinits(proprhandle *handle, WriteGroup &group)
{
    trace_comp tc = lc_trace(handle);
    MetaPtr<u8> super = MetaPtr<u8>::alloc(handle->metactx, PROP_PAGE_SIZE);
    if (!super) return PROP_E_NOMEM;
    put_header(handle, super.get(), propr_super_addr(0), PROPR_BLK_METADATA);
    handle->num_ndk = 1;
    be32_put(super.get(), SUPER_OFF_NDK_ADDR, handle->ndk_addr);
    be32_put(super.get(), SUPER_OFF_NUM_NDK, handle->num_ndk);
    for (u32 i = 0; i < handle->proprhandle_num_fcl; i++) {
        be32_put(super.get(), SUPER_OFF_FREE_SPACE_ADDR + static_cast<i32>(4 * i), 0);
        handle->proprhandle_fcl[i]->free_space_addr = 0;
    }
    if (write_page(group, super.get(), propr_super_addr(0)) != 0) {
        trace_print(tc, 0, "inits:1:problem writing the superblock");
        return PROP_E_STORAGE;
    }
    put_header(handle, super.get(), propr_super_addr(1), PROPR_BLK_METADATA);
    if (write_page(group, super.get(), propr_super_addr(1)) != 0) {
        trace_print(tc, 0, "inits:2:problem writing the superblock shadow");
        return PROP_E_STORAGE;
    }
    handle->superbuf = super.release();
    return 0;
}

u32 proprinitf(proprhandle *handle, WriteGroup &group)
{
    for (u32 i = 0; i < handle->proprhandle_num_fcl; i++) {
        for (u32 copy = 0; copy < 2; copy++) {
            if (write_empty(handle, group, propr_fcl_addr(i, copy), PROPR_BLK_METADATA) != 0) {
                trace_print(lc_trace(handle), 0, "initf:1:problem writing the freelist");
                return PROP_E_STORAGE;
            }
        }
    }
    return 0;
}

u32 proprinitl(proprhandle *handle, WriteGroup &group)
{
    if (write_empty(handle, group, handle->proprhandle_lsst, PROPR_BLK_METADATA) != 0) {
        trace_print(lc_trace(handle), 0, "initl:1:problem writing the logmetadata %d",
                    static_cast<int>(handle->proprhandle_lsst));
        return PROP_E_STORAGE;
    }
    return 0;
}

u32 proprinitd(proprhandle *handle, WriteGroup &group)
{
    trace_comp tc = lc_trace(handle);
    if (write_empty(handle, group, handle->proprhandle_odbst, PROPR_BLK_DB) != 0) {
        trace_print(tc, 0, "initd:1:problem writing the owner db %d", static_cast<int>(handle->proprhandle_odbst));
        return PROP_E_STORAGE;
    }
    if (write_empty(handle, group, handle->proprhandle_gdbst, PROPR_BLK_DB) != 0) {
        trace_print(tc, 0, "initd:2:problem writing the owner db %d\n", static_cast<int>(handle->proprhandle_gdbst));
        return PROP_E_STORAGE;
    }
    if (handle->proprhandle_mutex_created == 0) {
        if (plat_mutex_init(&handle->proprhandle_mutex) != 0) {
            trace_print(tc, 0, "initd: Could not create the mutex");
            return PROP_E_STORAGE;
        }
        handle->proprhandle_mutex_created = 1;
    }
    MutexGuard guard(&handle->proprhandle_mutex);
    handle->proprhandle_num_cached_uid = 0;
    handle->proprhandle_num_cached_gid = 0;
    handle->proprhandle_num_uid = 0;
    handle->proprhandle_num_gid = 0;
    return 0;
}

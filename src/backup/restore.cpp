// phy_rec: a backup file written back onto every configured location, its
// log space widened again.  The restore is all or nothing across a crash:
//
//  1. Everything about the backup is checked before anything is written:
//     its boot block, its store map against its length, the blocks of its
//     head the store lives by, and its bitmaps against its length (a cut
//     copy of a backup is refused).  Then the caller's check reads it whole
//     as a store of its own: every page in use sound where it lies and of
//     its kind, and the key tree whole.  A backup that fails any of this is
//     refused before a location is so much as opened.
//  2. Every configured location must be open: a location left out would
//     keep its own store, whose higher commit lsn could later win the vote
//     over the restored ones.
//  3. The boot block of every location is destroyed first, each write
//     reaching the device before the next; from then on no location opens
//     as a store.
//  4. The pages are written (unbuffered but not write-through, for speed),
//     every location is synced, then the real boot block goes last,
//     location by location.  A cut before enough locations have it leaves a
//     store that does not open; running the restore again completes it.
//
// A cut in step 3, before the last boot block is destroyed, may leave
// enough locations untouched for the old store to open: the restore then
// never happened.
//
// The backup may lie in a disk group ("+DG:name"), and so may the
// locations: their files are written through the I/O layer, each write
// reaching the disk group as its own setting says, which is all the
// durability the volume manager offers.
#include <cstring>
#include <optional>

#include "backup/backup.h"
#include "backup/bkpfile.h"
#include "backup/bkpvld.h"
#include "backup/image.h"
#include "backup/move.h"
#include "core/handle.h"
#include "format/block.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "io/devhist.h"
#include "io/io.h"
#include "io/pagecache.h"
#include "lifecycle/newhandle.h"
#include "lifecycle/terminate.h"
#include "platform/env.h"
#include "space/bitmap.h"
#include "storage/config.h"
#include "storage/device.h"

using namespace propreg;

namespace {

constexpr u64 kPage = PROP_PAGE_SIZE;

// What the locations of a registry kind are opened with: the restore has
// no front end of its own, so it stands in for one with the kind of the
// caller's flags and this node's host name.
void stand_in_front_end(u32 flags, przkv_ctx *fe)
{
    std::memset(fe, 0, sizeof *fe);
    const bool nkv = (flags & PROP_KIND_NKV) != 0;
    fe->registry_kind = nkv ? PROP_KIND_NKV : PROP_KIND_ZKV;
    fe->location_flags = fe->registry_kind;
    fe->alert_base = nkv ? 2100 : 1000;
    fe->init_log_level = 4;
    fe->boot_level = PROP_LEVEL_UPGRADE;
    fe->developer_mode = prop_developer_mode_env() ? 1 : 0;
    ut_hostname(nullptr, fe->hostname, sizeof fe->hostname);
}

class Restore {
  public:
    Restore(prop_metactx *meta, const char *name, u32 flags, bkp_image_check check)
        : meta_(meta), name_(name), flags_(flags), check_(check), tc_(trace_component_named(TRACE_RAW)), buf_(meta)
    {
        stand_in_front_end(flags, &fe_);
        // The backup is read three times (the check's two passes, then the
        // copy) and never written: through the page cache, the later passes
        // find it there.
        stand_in_front_end(flags, &image_fe_);
        image_fe_.developer_mode = 1;
    }
    ~Restore()
    {
        for (ut_native &b : bulk_) ut_close_location(&b);
        if (vld_file_) vld_file_->close();
        if (h_ != nullptr) proprhandleterminate(h_);
    }
    Restore(const Restore &) = delete;
    Restore &operator=(const Restore &) = delete;

    u32 run();

  private:
    u32 read_backup(u64 page, u32 count, u8 *into);
    u32 make_handle();
    u32 open_backup_file(u64 *size);
    u32 open_backup();
    bool in_disk_group(u32 slot) const { return h_->proprhandle_loctype[slot] == PROP_LOCTYPE_VLD; }
    u32 write_slot(u32 slot, const u8 *data, u32 length, u64 offset, bool bulk);
    u32 read_slot(u32 slot, u8 *data, u32 length, u64 offset);
    u32 head_block(u32 addr, const char *what, u8 *page);
    u32 check_head();
    u32 open_locations();
    u32 make_room();
    u32 open_bulk();
    u32 to_every(const u8 *data, u32 length, u64 offset, bool bulk);
    u32 sync_bulk();
    u32 destroy_boot_blocks();
    u32 copy_pages(u32 src_page, u64 dst, u32 count, const char *step);
    u32 clear_log_space();
    u32 write_boot_blocks();

    prop_metactx *meta_;
    const char *name_;
    u32 flags_;
    bkp_image_check check_;
    trace_comp tc_;
    przkv_ctx fe_;
    przkv_ctx image_fe_;  // the same, for reading the backup
    StepBuffer buf_;
    BkpFile fs_file_;
    std::optional<VldBkpFile> vld_file_;
    BkpIo *file_ = &fs_file_;
    bkp_image im_{};
    u8 boot_[PROP_PAGE_SIZE] = {};
    proprhandle *h_ = nullptr;
    ut_native bulk_[PROP_NUM_SLOTS] = {};  // the locations again, for the pages
};

u32 Restore::read_backup(u64 page, u32 count, u8 *into)
{
    if (file_->read_at(into, size_t{count} * kPage, page * kPage) == 0) return 0;
    trace_print(tc_, 0, "proprphy_write: Could not read backup file %s at offset %llx", name_,
                static_cast<unsigned long long>(page * kPage));
    return PROP_E_BKPFILE;
}

u32 Restore::make_handle()
{
    h_ = lc_handle_new(meta_, nullptr, &fe_, PROP_LEVEL_UPGRADE);
    if (h_ == nullptr) {
        trace_print(tc_, 0, "phy_rec:0: could not allocate memory");
        return PROP_E_NOMEM;
    }
    tc_ = h_->proprhandle_trace_raw;
    return 0;
}

u32 Restore::open_backup_file(u64 *size)
{
    u32 rc = 0;
    if (bkp_is_vld_name(name_)) {
        vld_dg_buf dg;
        char fname[PROP_LOCNAME_SIZE];
        u32 pages = 0;
        if (!bkp_split_vld_name(name_, dg, fname)) {
            trace_print(tc_, 0, "phy_rec: Failed to retrieve the dgname and filename from the VLD backup filename %s",
                        name_);
            return PROP_E_BKPFILE;
        }
        vld_file_.emplace(h_);
        rc = bkp_vld_begin(h_, "proprbkp_get_vldhdl");
        if (rc == 0) rc = vld_file_->open_read(dg, fname, &pages);
        *size = u64{pages} * kPage;
        file_ = &*vld_file_;
    } else if (int err = fs_file_.open_read(name_, image_fe_.developer_mode == 0, size); err != 0) {
        trace_print(tc_, 0, "phy_rec: (%d)", err);
        rc = PROP_E_BKPFILE;
    }
    if (rc != 0)
        trace_print(tc_, 0, "phy_rec: Failed to get the backup file handle or file size. Backup file name: [%s]",
                    name_);
    return rc;
}

u32 Restore::open_backup()
{
    u64 size = 0;
    if (u32 rc = open_backup_file(&size); rc != 0) return rc;
    if (size < kPage) {
        trace_print(tc_, 0,
                    "phy_rec: Backup file size is too small. The specified backup file [%.256s] is not a valid %s "
                    "backup file.",
                    name_, bkp_kind_name(flags_));
        return PROP_E_FORMAT;
    }
    if (file_->read_at(buf_.get(), PROP_PAGE_SIZE, 0) != 0) {
        trace_print(tc_, 0, "proprphy_writeb: Could not read boot block from the backup file %s", name_);
        return PROP_E_ARG;
    }
    std::memcpy(boot_, buf_.get(), PROP_PAGE_SIZE);
    if (u32 rc = bkp_verify_format(tc_, boot_, flags_); rc != 0) {
        trace_print(tc_, 0, "proprphy_writeb: Failure verifying the format of the backup file. Retval:[%d]",
                    static_cast<int>(rc));
        return rc;
    }
    if (u32 rc = bkp_check_layout(tc_, boot_, size, &im_); rc != 0) return rc;
    return check_head();
}

// Reads the metadata block at addr of the backup's head into page; 0, or
// 22 when it is not sound there.
u32 Restore::head_block(u32 addr, const char *what, u8 *page)
{
    if (u32 rc = read_backup(addr / kPage, 1, page); rc != 0) return rc;
    if (block_sound(page, PROPR_BLK_METADATA, propr_blocknum(addr))) return 0;
    trace_print(tc_, 0,
                "phy_rec: Block [%u] (%s) of the backup is damaged. The backup file to be restored is not a valid %s "
                "backup file.",
                propr_blocknum(addr), what, bkp_kind_name(flags_));
    return PROP_E_FORMAT;
}

// The blocks of the head the store lives by must be sound (the copies the
// next commit writes over may hold anything), and the backup must hold
// every page its bitmaps say is in use.
u32 Restore::check_head()
{
    u8 *page = buf_.get();
    const u32 selector = boot_[BOOT_OFF_SUPER_SELECTOR];
    if (selector > 1) {
        trace_print(tc_, 0, "phy_rec: Superblock selector [%u] of the backup is not valid.", selector);
        return PROP_E_FORMAT;
    }
    if (u32 rc = head_block(im_.lsst, "the log metadata block", page); rc != 0) return rc;
    u8 super[PROP_PAGE_SIZE];
    if (u32 rc = head_block(propr_super_addr(selector), "the superblock", page); rc != 0) return rc;
    std::memcpy(super, page, PROP_PAGE_SIZE);
    u64 used = 0;
    for (u32 i = 0; i < im_.num_fcl; i++) {
        const u32 copy = be32_at(super, SUPER_OFF_FREE_SPACE_ADDR + static_cast<i32>(4 * i));
        if (copy > 1) {
            trace_print(tc_, 0, "phy_rec: Bitmap page [%u] of the backup names copy [%u].", i, copy);
            return PROP_E_FORMAT;
        }
        if (u32 rc = head_block(propr_fcl_addr(i, copy), "a bitmap page", page); rc != 0) return rc;
        const i32 bit = bitmap_highest_set(page + sizeof(propr_hdr));
        if (bit >= 0) used = u64{i} * PROPR_BITMAP_BITS + static_cast<u32>(bit) + 1;
    }
    // The tail holds the two name pages and tnode pages 0 .. used.
    if (used >= im_.numpage || u64{im_.tail} < used + 3) {
        trace_print(tc_, 0,
                    "phy_rec: The backup file [%.256s] is shorter than its own store map says (%u pages after the log "
                    "space, %llu needed).",
                    name_, im_.tail, static_cast<unsigned long long>(used + 3));
        return PROP_E_FORMAT;
    }
    return 0;
}

u32 Restore::open_locations()
{
    if (u32 rc = proprioini(h_, 0); rc != 0) {
        trace_print(tc_, 0, "phy_rec:1:could not open %s device", bkp_kind_name(flags_));
        return rc;
    }
    for (u32 i = 0; i < h_->proprhandle_configured_device_count; i++) {
        if (h_->proprhandle_native_state[i] == PROP_SLOT_OPEN) continue;
        trace_print(tc_, 0, "phy_rec:1:could not open %s device [%d] [%s]; a restore writes every location",
                    bkp_kind_name(flags_), static_cast<int>(i), h_->proprhandle_filename[i]);
        return PROP_E_STORAGE;
    }
    return 0;
}

// Every location must hold the restored store.  A file that is too short is
// grown (its bytes stay as they are); a device that is too small refuses,
// and so does a disk-group file that cannot grow to the store's size.
u32 Restore::make_room()
{
    const u64 last = u64{im_.lsst} + BKP_LIVE_ODB_DISTANCE + 2 * kPage + kPage * (im_.numpage - 1);
    const u64 need = PROPR_RESERVED_PREFIX + last + kPage;
    trace_print(tc_, 2, "phy_helper: offset is %u", static_cast<u32>(last));
    Env *env = env_current();
    for (u32 i = 0; i < h_->proprhandle_configured_device_count; i++) {
        if (in_disk_group(i)) {
            if (im_.numpage <= h_->proprhandle_native_numpage[i]) continue;
            trace_print(tc_, 0, "phy_helper:4: Not enough space to restore (%d, %d, %d)", static_cast<int>(i),
                        static_cast<int>(h_->proprhandle_native_numpage[i]), static_cast<int>(im_.numpage));
            return PROP_E_DEVSPACE;
        }
        auto *holder = static_cast<ut_native *>(h_->proprhandle_native[i]);
        u64 bytes = 0;
        bool device = false;
        int err = env->size(holder->file, &bytes, &device);
        if (err == 0 && bytes >= need) continue;
        if (err == 0 && device) {
            trace_print(tc_, 0, "phy_helper:4: Not enough space to restore (%d, %d)", static_cast<int>(i),
                        static_cast<int>(bytes / kPage));
            return PROP_E_DEVSPACE;
        }
        if (err == 0) err = env->truncate(holder->file, need);
        if (err != 0) {
            trace_print(tc_, 0, "phy_helper: Cannot write to the zkv location [%d] [%s] at offset %u (%d)",
                        static_cast<int>(i), h_->proprhandle_filename[i], static_cast<u32>(last), err);
            return PROP_E_DEVSPACE;
        }
    }
    return 0;
}

// Writes to every location: through the I/O layer, each write on the
// device when it returns; or in bulk, made durable by sync_bulk().
// A disk-group file has no bulk path of its own: it is written through
// the I/O layer.
u32 Restore::write_slot(u32 slot, const u8 *data, u32 length, u64 offset, bool bulk)
{
    if (bulk && !in_disk_group(slot)) return utwrite(h_, data, length, offset, &bulk_[slot]);
    return propriow(h_, data, length, offset, slot);
}

u32 Restore::read_slot(u32 slot, u8 *data, u32 length, u64 offset)
{
    if (in_disk_group(slot)) return proprior(h_, data, length, offset, PROPRIO_READ_QUIET | PROP_FLAG_BYPASS, slot);
    return utread(h_, data, length, offset, &bulk_[slot], UT_READ_QUIET);
}

u32 Restore::to_every(const u8 *data, u32 length, u64 offset, bool bulk)
{
    for (u32 i = 0; i < h_->proprhandle_configured_device_count; i++) {
        u32 rc = write_slot(i, data, length, offset, bulk);
        if (rc != 0) {
            trace_print(tc_, 0, "proprphy_write: Could not write to %s device. offset_write:[%llu]",
                        h_->proprhandle_filename[i], static_cast<unsigned long long>(offset));
            return rc;
        }
    }
    return 0;
}

u32 Restore::open_bulk()
{
    for (u32 i = 0; i < h_->proprhandle_configured_device_count; i++) {
        if (in_disk_group(i)) continue;
        if (int err = ut_open_location(h_, h_->proprhandle_filename[i], fe_.developer_mode == 0, &bulk_[i]);
            err != 0) {
            trace_print(tc_, 0, "phy_rec:1:could not open %s device [%d] [%s] (%d)", bkp_kind_name(flags_),
                        static_cast<int>(i), h_->proprhandle_filename[i], err);
            return PROP_E_STORAGE;
        }
    }
    return 0;
}

// The pages reach the device before any boot block says they are a store.
u32 Restore::sync_bulk()
{
    for (u32 i = 0; i < h_->proprhandle_configured_device_count; i++) {
        if (in_disk_group(i)) continue;
        if (int err = ut_sync_location(&bulk_[i]); err != 0) {
            trace_print(tc_, 0, "proprphy_write: Could not sync %s device (%d)", h_->proprhandle_filename[i], err);
            return PROP_E_STORAGE;
        }
    }
    return 0;
}

u32 Restore::destroy_boot_blocks()
{
    u8 *block = buf_.get();
    std::memset(block, 0, PROP_PAGE_SIZE);
    propr_hdr hdr;
    hdr_init(h_, &hdr, 0, PROPR_BLK_DESTROYED);
    std::memcpy(block, &hdr, sizeof hdr);
    hdr_stamp_checksum(block, PROP_PAGE_SIZE);
    return to_every(block, PROP_PAGE_SIZE, PROPR_BOOT_ADDR, false);
}

u32 Restore::copy_pages(u32 src_page, u64 dst, u32 count, const char *step)
{
    trace_print(tc_, 2, "phy_rec: %s: src_offset:[%llu] dst_offset:[%llu] numpage:[%u]", step,
                static_cast<unsigned long long>(src_page * kPage), static_cast<unsigned long long>(dst), count);
    auto read = [&](u8 *b, u32 first, u32 n) { return read_backup(u64{src_page} + first, n, b); };
    auto write = [&](u8 *b, u32 first, u32 n) {
        return to_every(b, n * PROP_PAGE_SIZE, dst + u64{first} * PROP_PAGE_SIZE, true);
    };
    u32 rc = bkp_move_pages(meta_, count, read, write);
    if (rc != 0)
        trace_print(tc_, 0, "phy_rec: %s: Failed in function proprphy_write(). Retval:[%d]", step, static_cast<int>(rc));
    return rc;
}

// The log pages the backup left out read as zeros.  A location that already
// reads as zeros there (a new file, a hole) is not written again.
u32 Restore::clear_log_space()
{
    const u32 offset = im_.lsst + PROP_PAGE_SIZE;
    trace_print(tc_, 2, "phy_rec: STEP 3: offset:[%u] numpage:[%u]", offset, BKP_LOG_GAP);
    u8 *b = buf_.get();
    for (u32 i = 0; i < h_->proprhandle_configured_device_count; i++) {
        for (u32 first = 0; first < BKP_LOG_GAP; first += BKP_STEP_PAGES) {
            const u32 n = BKP_LOG_GAP - first < BKP_STEP_PAGES ? BKP_LOG_GAP - first : BKP_STEP_PAGES;
            const u32 bytes = n * PROP_PAGE_SIZE, at = offset + first * PROP_PAGE_SIZE;
            const bool zero = read_slot(i, b, bytes, at) == 0 && b[0] == 0 &&
                              std::memcmp(b, b + 1, bytes - 1) == 0;
            if (zero) continue;
            std::memset(b, 0, bytes);
            if (u32 rc = write_slot(i, b, bytes, at, true); rc != 0) {
                trace_print(tc_, 0, "proprphy_writels: Could not write to %s device. offset:[%u]",
                            h_->proprhandle_filename[i], at);
                return rc;
            }
        }
    }
    return 0;
}

// The backup's boot block, made the boot block of this configuration:
// history naming the current locations, the votes a new store of this many
// locations has.
u32 Restore::write_boot_blocks()
{
    u8 *boot = buf_.get();
    std::memcpy(boot, boot_, PROP_PAGE_SIZE);
    bkp_boot_to_store(boot, im_.lsst);
    dev_whist(boot, h_->proprhandle_devid, nullptr);
    const bool two = h_->proprhandle_configured_device_count == 2;
    dev_wvotes(boot, two ? 1 : 0, two ? 2 : 0);
    hdr_stamp_checksum(boot, PROP_PAGE_SIZE);
    u32 rc = to_every(boot, PROP_PAGE_SIZE, PROPR_BOOT_ADDR, false);
    if (rc != 0) trace_print(tc_, 0, "proprphy_writeb: Could not write the boot block to %s device", bkp_kind_name(flags_));
    return rc;
}

u32 Restore::run()
{
    if (buf_.get() == nullptr) {
        trace_print(tc_, 0, "proprphy_write: Could not allocate memory.");
        return PROP_E_NOMEM;
    }
    u32 rc = make_handle();
    if (rc == 0) rc = open_backup();
    if (rc == 0) rc = check_(meta_, &image_fe_, name_, flags_);
    if (rc == 0) rc = open_locations();
    if (rc == 0) rc = make_room();
    if (rc == 0) rc = open_bulk();
    if (rc != 0) return rc;
    trace_print(tc_, 1, "phy_rec: restoring [%s]: %u pages", name_, im_.pages);
    if ((rc = destroy_boot_blocks()) != 0) return rc;
    if ((rc = copy_pages(1, PROP_PAGE_SIZE, im_.head - 1, "STEP 2")) != 0) return rc;
    if ((rc = clear_log_space()) != 0) return rc;
    const u32 tail_dst = im_.lsst + BKP_LIVE_ODB_DISTANCE;
    if ((rc = copy_pages(im_.head, tail_dst, im_.tail, "STEP 4")) != 0) return rc;
    if ((rc = sync_bulk()) != 0) return rc;
    return write_boot_blocks();
}

}  // namespace

u32 phy_rec(prop_metactx *meta, const char *name, u32 flags, bkp_image_check check)
{
    trace_comp tc = trace_component_named(TRACE_RAW);
    if (meta == nullptr || name == nullptr) {
        trace_print(tc, 0, "phy_rec: NULL meta context or backup file name passed");
        return PROP_E_NULL;
    }
    Restore r(meta, name, flags, check);
    u32 rc = r.run();
    // Whatever reached the locations, a handle of this process that holds
    // the store open must not go on serving the pages it kept from before.
    pagecache_stores_rewritten();
    if (rc == 0) trace_print(tc, 1, "phy_rec: restored the store from [%s]", name);
    return rc;
}

#include "storage/device.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/alloc.h"
#include "core/handle.h"
#include "format/block.h"
#include "format/storemap.h"
#include "platform/cfgstore.h"
#include "platform/env.h"
#include "storage/config.h"
#include "storage/report.h"

namespace {

constexpr u64 kAlign = PROP_PAGE_SIZE;
constexpr u32 kBackupLevel = PROP_LEVEL_BACKUP;

u64 align_down(u64 v)
{
    return v & ~(kAlign - 1);
}
u64 align_up(u64 v)
{
    return (v + kAlign - 1) & ~(kAlign - 1);
}

bool needs_bounce(const ut_native *holder, const void *buf, u64 len, u64 pos)
{
    return holder->direct != 0 &&
           (reinterpret_cast<uintptr_t>(buf) % kAlign != 0 || len % kAlign != 0 || pos % kAlign != 0);
}

// Reads len bytes at pos; bytes past the end of the file read as zeros.
int read_at(proprhandle *handle, ut_native *holder, void *buf, u64 len, u64 pos)
{
    Env *env = env_current();
    size_t done = 0;
    if (!needs_bounce(holder, buf, len, pos)) {
        int err = env->pread(holder->file, buf, static_cast<size_t>(len), pos, &done);
        if (err == 0 && done < len) std::memset(static_cast<u8 *>(buf) + done, 0, static_cast<size_t>(len - done));
        return err;
    }
    u64 start = align_down(pos), span = align_up(pos + len) - start;
    MetaAligned bounce(handle->metactx, span);
    if (bounce.get() == nullptr) return ENOMEM;
    int err = env->pread(holder->file, bounce.get(), static_cast<size_t>(span), start, &done);
    if (err == 0) std::memcpy(buf, bounce.get() + (pos - start), static_cast<size_t>(len));
    return err;
}

// Writes len bytes at pos.  An unbuffered write of part of a sector first
// reads the sectors it touches, so only the asked bytes change (a write
// that ends past the end of the file extends it to a whole sector).
int write_at(proprhandle *handle, ut_native *holder, const void *buf, u64 len, u64 pos)
{
    Env *env = env_current();
    size_t done = 0;
    if (!needs_bounce(holder, buf, len, pos)) {
        int err = env->pwrite(holder->file, buf, static_cast<size_t>(len), pos, &done);
        return err == 0 && done < len ? ENOSPC : err;
    }
    u64 start = align_down(pos), span = align_up(pos + len) - start;
    MetaAligned bounce(handle->metactx, span);
    if (bounce.get() == nullptr) return ENOMEM;
    if (start != pos || span != len) {
        int err = env->pread(holder->file, bounce.get(), static_cast<size_t>(span), start, &done);
        if (err != 0) return err;
    }
    std::memcpy(bounce.get() + (pos - start), buf, static_cast<size_t>(len));
    int err = env->pwrite(holder->file, bounce.get(), static_cast<size_t>(span), start, &done);
    return err == 0 && done < span ? ENOSPC : err;
}

// The page a new location is tested with: a zero page whose header says
// only "checksummed, magic, block number".
void make_test_page(u8 *page, u64 blkaddr)
{
    std::memset(page, 0, PROP_PAGE_SIZE);
    page[0] = 1;
    page[1] = PROPR_HDR_MAGIC;
    u32 blocknum = static_cast<u32>(blkaddr >> 12) + PROPR_BLOCKNUM_BIAS;
    std::memcpy(page + offsetof(propr_hdr, propr_hdr_blocknum), &blocknum, sizeof blocknum);
    hdr_stamp_checksum(page, PROP_PAGE_SIZE);
}

u32 pages_of_size(trace_comp comp, u64 bytes)
{
    if (bytes < UT_UNCOUNTED_BYTES) {
        trace_print(comp, 2, "utsz:101: Current file size small [%d]. Defaulting", static_cast<int>(bytes));
        return PROPR_DEFAULT_PAGES;
    }
    u64 pages = (bytes - UT_UNCOUNTED_BYTES) >> 12;
    if (pages < PROPR_DEFAULT_PAGES) {
        trace_print(comp, 2, "utsz:102: Current file size small [%lld]. Defaulting.",
                    static_cast<long long>(bytes));
        return PROPR_DEFAULT_PAGES;
    }
    trace_print(comp, 2, "utsz:103: Current file size [%d].", static_cast<int>(bytes));
    return pages > 0xffffffffu ? 0xffffffffu : static_cast<u32>(pages);
}

// Why a file cannot hold a store: 0 for a regular file or a block
// device, else the errno whose system text names what it is.
int location_kind_error(mode_t mode)
{
    if (S_ISREG(mode) || S_ISBLK(mode)) return 0;
    return S_ISDIR(mode) ? EISDIR : ENOTBLK;
}

}  // namespace

int ut_open_checked(const char *path, int flags, env_file **out)
{
    Env *env = env_current();
    env_file *f = nullptr;
    // A FIFO would wait for a writer in open; nothing else is slowed by
    // O_NONBLOCK, which means nothing to a regular file or a block device.
    int err = env->open(path, flags | O_NONBLOCK, 0, &f);
    if (err != 0) return err;
    struct stat st;
    err = env->fstat(f, &st);
    if (err == 0) err = location_kind_error(st.st_mode);
    if (err != 0) {
        env->close(f);
        return err;
    }
    *out = f;
    return 0;
}

int ut_open_location(proprhandle *handle, const char *name, bool direct, ut_native *holder)
{
    env_file *f = nullptr;
    int err;
    const bool durable = direct;
    if (direct) {
        err = ut_open_checked(name, O_RDWR | O_DIRECT, &f);
        if (err == EINVAL) {
            trace_print(ut_osd(handle), 1,
                        "ut_open_location: [%s] refuses unbuffered I/O; opening it buffered, made durable at each barrier",
                        name);
            direct = false;
            err = ut_open_checked(name, O_RDWR, &f);
        }
    } else {
        err = ut_open_checked(name, O_RDWR, &f);
    }
    if (err != 0) return err;
    holder->file = f;
    holder->direct = direct ? 1 : 0;
    holder->durable = durable ? 1 : 0;
    return 0;
}

int ut_sync_location(ut_native *holder)
{
    return holder != nullptr && holder->file != nullptr ? env_current()->fsync(holder->file) : EBADF;
}

int ut_close_location(ut_native *holder)
{
    if (holder == nullptr || holder->file == nullptr) return 0;
    int err = env_current()->close(holder->file);
    holder->file = nullptr;  // the descriptor is gone even when close fails
    return err;
}

u32 utread(proprhandle *handle, void *buf, u32 length, u64 blkaddr, ut_native *holder, u32 flags)
{
    trace_comp comp = ut_osd(handle);
    if (handle == nullptr) {
        trace_print(comp, 0, "utread:1:NULL handle passed ");
        return PROP_E_STORAGE;
    }
    if (holder == nullptr || holder->file == nullptr) {
        trace_print(comp, 0, "utread:2:NULL native handle");
        return PROP_E_STORAGE;
    }
    u64 pos = handle->proprhandle_bootlevel == kBackupLevel ? u64{blkaddr} : u64{blkaddr} + PROPR_RESERVED_PREFIX;
    int err = read_at(handle, holder, buf, length, pos);
    if (err != 0) {
        trace_print(comp, (flags & UT_READ_QUIET) != 0 ? 3 : 0,
                    "utread:4: Problem reading the buffer phy offset  %d and oserror %d", static_cast<int>(pos), err);
        ut_os_error(handle, err);
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

u32 utwrite(proprhandle *handle, const void *buf, u32 length, u64 blkaddr, ut_native *holder)
{
    trace_comp comp = ut_osd(handle);
    if (handle == nullptr) {
        trace_print(comp, 0, "utwrite:1:NULL handle passed ");
        return PROP_E_STORAGE;
    }
    if (holder == nullptr || holder->file == nullptr) {
        trace_print(comp, 0, "utwrite:2:NULL native handle");
        return PROP_E_STORAGE;
    }
    u64 pos = u64{blkaddr} + PROPR_RESERVED_PREFIX;
    int err = write_at(handle, holder, buf, length, pos);
    if (err != 0) {
        trace_print(comp, 0, "utwrite:4: Problem writing the buffer phy offset  %d and oserror %d",
                    static_cast<int>(pos), err);
        ut_os_error(handle, err);
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

u32 ut_write_runs(proprhandle *handle, ut_native *const *holders, u32 count, const ut_run *runs, u32 nruns,
                  u32 *results)
{
    trace_comp comp = ut_osd(handle);
    const size_t n = size_t{count} * nruns;
    // A few requests need no memory: a rollback goes through when it has
    // run out.
    ShortList<env_write, 16> list(handle->metactx, n);
    env_sync syncs[PROP_NUM_SLOTS];
    env_write *writes = list.get();
    if (writes == nullptr || count > PROP_NUM_SLOTS) {
        trace_print(comp, 0, "utwrite: Could not allocate memory for %d requests", static_cast<int>(n));
        return PROP_E_NOMEM;
    }
    for (u32 i = 0; i < count; i++)
        for (u32 r = 0; r < nruns; r++)
            writes[size_t{i} * nruns + r] = env_write{holders[i]->file, runs[r].iov, runs[r].iovcnt,
                                                      u64{runs[r].blkaddr} + PROPR_RESERVED_PREFIX, 0};
    for (u32 i = 0; i < count; i++) syncs[i] = env_sync{holders[i]->file, holders[i]->durable != 0, 0};
    // Each location's barrier follows its own writes: the group costs the
    // slowest location's write and barrier, not the slowest write plus the
    // slowest barrier.
    env_current()->write_sync_batch(writes, n, syncs, count);
    for (u32 i = 0; i < count; i++) {
        results[i] = PROP_OK;
        for (u32 r = 0; r < nruns && results[i] == PROP_OK; r++) {
            const env_write &w = writes[size_t{i} * nruns + r];
            if (w.result == 0) continue;
            trace_print(comp, 0, "utwrite:4: Problem writing the buffer phy offset  %d and oserror %d",
                        static_cast<int>(w.off), w.result);
            ut_os_error(handle, w.result);
            results[i] = PROP_E_STORAGE;
        }
    }
    for (u32 i = 0; i < count; i++) {
        if (results[i] != PROP_OK) continue;
        const env_sync &b = syncs[i];
        if (b.result == 0) continue;
        trace_print(comp, 0, "utwrite:5: Problem making the writes durable and oserror %d", b.result);
        ut_os_error(handle, b.result);
        results[i] = PROP_E_STORAGE;
    }
    return PROP_OK;
}

u32 utsz(proprhandle *handle, u32 *numpage, ut_native *holder)
{
    trace_comp comp = ut_osd(handle);
    if (handle == nullptr) {
        trace_print(comp, 0, "utsz:1:NULL handle passed ");
        return PROP_E_STORAGE;
    }
    if (holder == nullptr || holder->file == nullptr || numpage == nullptr) {
        trace_print(comp, 0, "utsz:2:NULL native handle");
        return PROP_E_STORAGE;
    }
    u64 bytes = 0;
    bool partition = false;
    int err = env_current()->size(holder->file, &bytes, &partition);
    u32 pages;
    if (err == 0 && partition) {
        trace_print(comp, 2, "utsz: Device IoCtl IOCTL_DISK_GET_PARTITION_INFO successful");
        trace_print(comp, 2, "utsz: partition length is %lld, type is %d", static_cast<long long>(bytes), 0);
        // A partition is taken at its size, however small: the open refuses it.
        u64 p = bytes > UT_UNCOUNTED_BYTES ? (bytes - UT_UNCOUNTED_BYTES) >> 12 : 0;
        pages = p > 0xffffffffu ? 0xffffffffu : static_cast<u32>(p);
    } else {
        trace_print(comp, 2, "utsz: Device IoCtl IOCTL_DISK_GET_PARTITION_INFO unsuccessful");
        pages = err == 0 ? pages_of_size(comp, bytes) : PROPR_DEFAULT_PAGES;
    }
    trace_print(comp, 2, "utsz:3:PAGE_SIZE = %d, numpage = %u", static_cast<int>(PROP_PAGE_SIZE), pages);
    *numpage = pages;
    return PROP_OK;
}

u32 utosmbsz(proprhandle *handle, u32 *blocksize, ut_native *holder)
{
    trace_comp comp = ut_osd(handle);
    if (handle == nullptr || blocksize == nullptr) {
        trace_print(comp, 0, "sproprutosmbsz: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    u32 sector = 0;
    int err = holder != nullptr && holder->file != nullptr ? env_current()->sector_size(holder->file, &sector)
                                                           : EBADF;
    if (err == 0 && sector != 0) {
        trace_print(comp, 2, "utosmbsz: IoCtl IOCTL_DISK_GET_DRIVE_GEOMETRY successful");
        trace_print(comp, 2, "utosmbsz: Byte size per sector is %d", static_cast<int>(sector));
        *blocksize = sector;
    } else {
        trace_print(comp, 2, "utosmbsz: IoCtl IOCTL_DISK_GET_DRIVE_GEOMETRY unsuccessful. Using default value(4KB).");
        *blocksize = PROP_PAGE_SIZE;
    }
    return PROP_OK;
}

u32 utclose(proprhandle *handle)
{
    trace_comp comp = ut_osd(handle);
    if (handle == nullptr) {
        trace_print(comp, 0, "utclose: NULL handle passed ");
        return PROP_E_STORAGE;
    }
    u32 result = PROP_OK;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        auto *holder = static_cast<ut_native *>(handle->proprhandle_native[i]);
        if (holder == nullptr || handle->proprhandle_loctype[i] == PROP_LOCTYPE_VLD) continue;
        int err = ut_close_location(holder);
        if (err != 0) {
            trace_print(comp, 0, "utclose:1: Error in CloseHandle [%d]", err);
            ut_os_error(handle, err);
            result = PROP_E_STORAGE;  // the holder stays; a later close frees it
            continue;
        }
        u_freem(handle->metactx, holder);
        handle->proprhandle_native[i] = nullptr;
        handle->proprhandle_native_state[i] = PROP_SLOT_CLOSED;
        result = PROP_OK;
    }
    return result;
}

u32 utdvch(proprhandle *handle, const char *newdev, u64 lastpage_addr, u32 write_test, u32 flags)
{
    trace_comp comp = ut_osd(handle);
    if (handle == nullptr) {
        trace_print(comp, 0, "sproprutdvch: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    if (newdev == nullptr) {
        trace_print(comp, 0, "utdvch:0: newdev is null");
        return PROP_E_STORAGE;
    }
    u32 loctype = 0;
    u32 rc = utchkstoragetype(handle, newdev, &loctype, flags);
    if (rc != PROP_OK) {
        trace_print(comp, 0, "utdvch:8m: ZKV location [%s] configured is not a valid storage type. Rturn code [%d].",
                    newdev, static_cast<int>(rc));
        return rc;
    }
    ut_native holder{};
    int err = ut_open_location(handle, newdev, true, &holder);
    if (err != 0) {
        trace_print(comp, 0, "utdvch:9:failed to open new ZKV file/disk %s,  oserror=%d", newdev, err);
        ut_os_error(handle, err);
        return PROP_E_ARG;
    }
    u32 result = PROP_OK;
    if (write_test != 0) {
        alignas(4096) u8 page[PROP_PAGE_SIZE];
        make_test_page(page, 0);
        rc = utwrite(handle, page, PROP_PAGE_SIZE, 0, &holder);
        if (rc != PROP_OK) {
            trace_print(comp, 0, "utdvch: cannot write the boot block for the new dev [%s] (%d)", newdev,
                        static_cast<int>(rc));
            result = PROP_E_ARG;
        } else {
            make_test_page(page, lastpage_addr);
            rc = utwrite(handle, page, PROP_PAGE_SIZE, lastpage_addr, &holder);
            if (rc != PROP_OK) {
                trace_print(comp, 0, "utdvch: cannot write the new dev [%s] at offset %d (%d)", newdev,
                            static_cast<int>(lastpage_addr), static_cast<int>(rc));
                result = PROP_E_DEVSPACE;
            }
        }
    }
    ut_close_location(&holder);
    return result;
}

u32 utdvrp(proprhandle *handle, u32 slot)
{
    if (slot >= PROP_NUM_SLOTS) {
        trace_print(ut_osd(handle), 0, "utdvrp:0: cfg is not valid (%d)", static_cast<int>(slot));
        return PROP_E_ARG;
    }
    return ut_write_locations(handle, nullptr);
}

u32 ut_write_locations(proprhandle *handle, const prop_locations previous)
{
    trace_comp comp = ut_osd(handle);
    if (handle == nullptr) {
        trace_print(comp, 0, "sproprutdvrp: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    u32 is_nkv = ut_registry_kind(handle) == PROP_KIND_NKV ? 1 : 0;
    char host[PROP_HOSTNAME_SIZE];
    ut_hostname(handle->proprhandle_zkvctx, host, sizeof host);
    char key_path[PROP_LOCNAME_SIZE];
    u32 rc = ut_get_loc_path(is_nkv, host, key_path, sizeof key_path);
    if (rc != PROP_OK) {
        trace_print(comp, 0, "utdvrp: fail to get location path [%d]", static_cast<int>(rc));
        return rc;
    }
    cfg_key key;
    int oserr = 0;
    if (cfg_open_key(key_path, true, &key, &oserr) != CFG_OK) {
        trace_print(comp, 0, "utgdv:1:could not open registry key containing ZKV configuration %s os error %d",
                    key_path, oserr);
        return PROP_E_NOCONF;
    }
    // Every location value, and the list a change started from, is
    // replaced in one step: no reader, and no open after a crash, ever sees
    // some slots old and others new, or a change without its starting point.
    cfg_change changes[2 * PROP_NUM_SLOTS];
    size_t count = 0;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        const char *value = ut_location_value_name(is_nkv, i);
        if (value == nullptr) break;
        const char *name = handle->proprhandle_filename[i];
        changes[count++] = {value, name[0] != '\0' ? name : nullptr};
    }
    for (u32 i = 0; i < PROP_NUM_SLOTS && is_nkv == 0; i++) {
        const char *name = previous != nullptr ? previous[i] : "";
        changes[count++] = {ut_previous_value_name(i), name[0] != '\0' ? name : nullptr};
    }
    cfg_result r = cfg_replace_values(&key, changes, count, &oserr);
    if (r != CFG_OK) {
        trace_print(comp, 0, "utdvrp:9:failed to set value %s=%s,  oserror=%d, lRet=%d", changes[0].value,
                    handle->proprhandle_filename[0], oserr, static_cast<int>(r));
        ut_os_error(handle, oserr);
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

#include "storage/device.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "core/alloc.h"
#include "core/handle.h"
#include "core/slotstate.h"
#include "format/block.h"
#include "format/storemap.h"
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

// Whether a write of len bytes at block address blkaddr changes the boot
// block, which the location's change count follows.
bool touches_boot(u64 blkaddr, u64 len)
{
    return blkaddr < PROPR_BOOT_ADDR + PROP_PAGE_SIZE && blkaddr + len > PROPR_BOOT_ADDR;
}

// Counts the change of every location whose boot block the runs write.
// Counted before and after the write: a reader that sees new words has
// seen the count move, whenever it read the count.
void count_boot_writes(ut_native *const *holders, u32 count, const ut_run *runs, u32 nruns)
{
    for (u32 r = 0; r < nruns; r++) {
        if (!touches_boot(runs[r].blkaddr, 1)) continue;
        for (u32 i = 0; i < count; i++) ut_changes_count(&holders[i]->changes);
    }
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
    holder->changes = ut_changes{};
    // A backup file read as a store is no location anyone else watches.
    if (handle->proprhandle_bootlevel == kBackupLevel) return 0;
    ut_changes_map(name, &holder->changes);
    u64 count = 0;
    if (!ut_changes_read(&holder->changes, &count))
        trace_print(ut_osd(handle), 2,
                    "ut_open_location: [%s] has no change count this process may trust; below the CACHING level its "
                    "boot block is read at each call",
                    name);
    return 0;
}

int ut_sync_location(ut_native *holder)
{
    return holder != nullptr && holder->file != nullptr ? env_current()->fsync(holder->file) : EBADF;
}

int ut_close_location(ut_native *holder)
{
    if (holder == nullptr || holder->file == nullptr) return 0;
    if (holder->peek != nullptr) env_current()->close(std::exchange(holder->peek, nullptr));
    ut_changes_unmap(&holder->changes);
    int err = env_current()->close(holder->file);
    holder->file = nullptr;  // the descriptor is gone even when close fails
    return err;
}

int ut_peek(proprhandle *handle, ut_native *holder, u32 slot, void *buf, u32 length, u64 blkaddr)
{
    if (holder == nullptr || holder->file == nullptr || slot >= PROP_NUM_SLOTS) return EBADF;
    env_file *f = holder->direct != 0 ? __atomic_load_n(&holder->peek, __ATOMIC_ACQUIRE) : holder->file;
    if (f == nullptr) {
        if (int err = ut_open_checked(handle->proprhandle_filename[slot], O_RDONLY, &f); err != 0) return err;
        // Threads of one context may look at once: one descriptor is kept.
        env_file *none = nullptr;
        if (!__atomic_compare_exchange_n(&holder->peek, &none, f, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            env_current()->close(f);
            f = none;
        }
    }
    size_t done = 0;
    int err = env_current()->pread(f, buf, length, blkaddr + PROPR_RESERVED_PREFIX, &done);
    return err == 0 && done != length ? EIO : err;
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
    const bool boot = touches_boot(blkaddr, length);
    if (boot) ut_changes_count(&holder->changes);
    int err = write_at(handle, holder, buf, length, pos);
    if (boot) ut_changes_count(&holder->changes);
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
    count_boot_writes(holders, count, runs, nruns);
    env_current()->write_sync_batch(writes, n, syncs, count);
    count_boot_writes(holders, count, runs, nruns);
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
        slot_set_state(handle, i, PROP_SLOT_CLOSED, "utclose");
        result = PROP_OK;
    }
    return result;
}

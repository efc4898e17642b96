#include "io/vldbridge.h"

#include <cstring>

#include "core/alloc.h"
#include "io/io.h"
#include "platform/vldsim/client.h"
#include "storage/device.h"
#include "vld/vld.h"

namespace propreg {

namespace {

vld_file *file_of(const proprhandle *handle, u32 slot)
{
    return static_cast<vld_file *>(handle->proprhandle_native[slot]);
}

// A file a close kept for this slot's name, taken back.
vld_file *take_kept(proprhandle *handle, u32 slot)
{
    proprvld_state *state = handle->proprhandle_vld;
    if (state == nullptr || state->kept[slot] == nullptr ||
        std::strcmp(state->kept_name[slot], handle->proprhandle_filename[slot]) != 0)
        return nullptr;
    vld_file *f = state->kept[slot];
    state->kept[slot] = nullptr;
    return f;
}

}  // namespace

u32 io_vld_init(proprhandle *handle)
{
    return proprvldini(handle, 0);
}

u32 io_vld_open(proprhandle *handle, u32 slot, u32 numpage, u32 create)
{
    char *name = handle->proprhandle_filename[slot];
    vld_file *f = take_kept(handle, slot);
    if (f == nullptr) {
        char location[PROP_LOCNAME_SIZE];
        std::memcpy(location, name, sizeof location);
        const u32 flags = (create != 0 ? PROPRVLD_FLAGS_CREATE : 0) | PROPRVLD_FLAGS_CACHE;
        if (u32 rc = proprvldo(handle, location, numpage, &f, flags); rc != 0) return rc;
        // A slot keeps naming a disk group as configured: a format or a
        // location change records the file's complete name.  A named file
        // that had to be made anew is named by the new file.
        if (std::strchr(name, '/') != nullptr) std::memcpy(name, location, sizeof location);
    }
    u32 pages = 0;
    if (u32 rc = proprvldfill(handle, f, name, &pages); rc != 0) {
        proprvldcl(handle, f, 1);
        return rc;
    }
    handle->proprhandle_native_numpage[slot] = pages;
    handle->proprhandle_native[slot] = f;
    return 0;
}

void io_vld_close(proprhandle *handle, u32 slot, bool keep_for_reuse)
{
    vld_file *f = file_of(handle, slot);
    handle->proprhandle_native[slot] = nullptr;
    if (f == nullptr) return;
    proprvld_state *state = handle->proprhandle_vld;
    if (keep_for_reuse && state != nullptr) {
        if (state->kept[slot] != nullptr) proprvldcl(handle, state->kept[slot], 1);
        state->kept[slot] = f;
        std::memcpy(state->kept_name[slot], handle->proprhandle_filename[slot], PROP_LOCNAME_SIZE);
        return;
    }
    proprvldcl(handle, f, 1);
}

void io_vld_term(proprhandle *handle)
{
    proprvldterm(handle);
}

u32 io_vld_write_runs(proprhandle *handle, u32 slot, const ut_run *runs, u32 nruns)
{
    constexpr u32 kSpanBytes = 4 * PROP_PAGE_SIZE;
    // Pages that continue each other on the store and in memory make one
    // span; a call takes VLD_MAX_REQUESTS spans (a span of up to four
    // blocks is one request).
    proprvld_span spans[VLD_MAX_REQUESTS];
    u32 n = 0;
    auto send = [&]() {
        const u32 rc = n == 0 ? 0
                              : proprvldwv(handle, spans, n, file_of(handle, slot), handle->proprhandle_filename[slot], 0);
        n = 0;
        return rc;
    };
    for (u32 r = 0; r < nruns; r++) {
        u64 offset = runs[r].blkaddr;
        for (int i = 0; i < runs[r].iovcnt; i++) {
            const u32 len = static_cast<u32>(runs[r].iov[i].iov_len);
            const void *buf = runs[r].iov[i].iov_base;
            proprvld_span *last = n != 0 ? &spans[n - 1] : nullptr;
            if (last != nullptr && last->offset + last->length == offset && last->length + len <= kSpanBytes &&
                static_cast<const u8 *>(last->buf) + last->length == buf) {
                last->length += len;
            } else {
                if (n == VLD_MAX_REQUESTS)
                    if (u32 rc = send(); rc != 0) return rc;
                spans[n++] = proprvld_span{buf, len, offset};
            }
            offset += len;
        }
    }
    return send();
}

u32 io_vld_read(proprhandle *handle, u32 slot, void *buffer, u32 length, u64 offset)
{
    return proprvldr(handle, buffer, length, offset, file_of(handle, slot), handle->proprhandle_filename[slot], 0);
}

void io_vld_read_batch(proprhandle *handle, u32 slot, proprio_read *reqs, const u32 *which, u32 n)
{
    ShortList<proprvld_read, 16> list(handle->metactx, n);
    proprvld_read *reads = list.get();
    if (reads == nullptr) {
        for (u32 k = 0; k < n; k++) {
            proprio_read &r = reqs[which[k]];
            r.result = io_vld_read(handle, slot, r.buffer, r.length, r.offset);
        }
        return;
    }
    for (u32 k = 0; k < n; k++) {
        const proprio_read &r = reqs[which[k]];
        reads[k] = proprvld_read{r.buffer, r.length, r.offset, 0};
    }
    proprvldrv(handle, reads, n, file_of(handle, slot), handle->proprhandle_filename[slot], 0);
    for (u32 k = 0; k < n; k++) reqs[which[k]].result = reads[k].result;
}

u32 io_vld_resilver(proprhandle *handle, u32 slot, void *buffer, u32 length, u64 offset)
{
    return proprvldres(handle, buffer, length, offset, file_of(handle, slot), handle->proprhandle_filename[slot], 0);
}

u32 io_vld_sync(proprhandle *handle, u32 slot)
{
    return proprvldsync(handle, file_of(handle, slot), handle->proprhandle_filename[slot], 0);
}

u32 io_vld_devcheck(proprhandle *handle, const char *name, u64 size, u32 create)
{
    char location[PROP_LOCNAME_SIZE] = {};
    std::strncpy(location, name, sizeof location - 1);
    const u32 rc = proprvlddvch(handle, location, size, create);
    if (rc != 0) return rc;
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++)
        if (name == handle->proprhandle_filename[i]) std::memcpy(handle->proprhandle_filename[i], location, sizeof location);
    return 0;
}

}  // namespace propreg

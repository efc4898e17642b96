#include "txn/pending.h"

#include <algorithm>
#include <cstring>

#include "core/alloc.h"
#include "io/pagecache.h"
#include "space/uttrace.h"
#include "txn/blockio.h"
#include "txn/log.h"

namespace {

// Beyond this many kept pages (16 MiB) the transaction writes what it
// holds and starts keeping again: its images are already in the log.
constexpr u32 kMaxKeptPages = 4096;

propr_pending *pending_of(const proprhandle *handle)
{
    propr_log *log = handle->proprhandle_propr_log;
    return log != nullptr ? &log->propr_log_pending : nullptr;
}

propr_pending_page *find_slot(propr_pending *p, u32 addr)
{
    return std::lower_bound(p->pages, p->pages + p->count, addr,
                            [](const propr_pending_page &e, u32 a) { return e.addr < a; });
}

bool grow(proprhandle *handle, propr_pending *p)
{
    if (p->count < p->max) return true;
    const u32 max = p->max == 0 ? 64 : 2 * p->max;
    auto *pages = u_alloc_array<propr_pending_page>(handle->metactx, max);
    if (pages == nullptr) return false;
    if (p->count != 0) std::memcpy(pages, p->pages, p->count * sizeof *pages);
    if (p->pages != nullptr) u_freem(handle->metactx, p->pages);
    p->pages = pages;
    p->max = max;
    return true;
}

// The kept copy of addr, made (empty) when there is none.  nullptr when
// memory runs out.
u8 *keep(proprhandle *handle, propr_pending *p, u32 addr)
{
    propr_pending_page *at = find_slot(p, addr);
    if (at != p->pages + p->count && at->addr == addr) return at->block;
    auto *block = static_cast<u8 *>(u_allocm(handle->metactx, PROP_PAGE_SIZE));
    if (block == nullptr) return nullptr;
    const size_t index = static_cast<size_t>(at - p->pages);
    if (!grow(handle, p)) {
        u_freem(handle->metactx, block);
        return nullptr;
    }
    at = p->pages + index;
    std::memmove(at + 1, at, (p->count - index) * sizeof *at);
    *at = {addr, block};
    p->count++;
    return block;
}

void forget(proprhandle *handle, propr_pending *p)
{
    for (u32 i = 0; i < p->count; i++) u_freem(handle->metactx, p->pages[i].block);
    p->count = 0;
}

u32 write_kept(proprhandle *handle, propr_pending *p)
{
    u32 rc = PROP_OK;
    for (u32 i = 0; i < p->count && rc == PROP_OK; i++) {
        rc = propriow(handle, p->pages[i].block, PROP_PAGE_SIZE, p->pages[i].addr, PROPRIO_ALL);
        if (rc != PROP_OK)
            trace_print(ut_trace(handle), 0, "ut_pending_flush: problem [%d] writing the page at addr %d",
                        static_cast<int>(rc), static_cast<int>(p->pages[i].addr));
    }
    forget(handle, p);
    return rc;
}

// Forgets the kept pages; from now on pages are kept, or written at once.
void restart(proprhandle *handle, u32 keeping)
{
    propr_pending *p = pending_of(handle);
    if (p == nullptr) return;
    forget(handle, p);
    p->keeping = keeping;
}

}  // namespace

u32 ut_page_write(proprhandle *handle, u8 *block, u32 addr)
{
    propr_pending *p = pending_of(handle);
    if (p == nullptr || p->keeping == 0) return ut_stamp_write(handle, block, addr);
    if (p->count >= kMaxKeptPages) {
        const u32 rc = write_kept(handle, p);
        if (rc != PROP_OK) return rc;
    }
    u8 *kept = keep(handle, p, addr);
    if (kept == nullptr) return ut_stamp_write(handle, block, addr);
    hdr_stamp_checksum(block, PROP_PAGE_SIZE);
    std::memcpy(kept, block, PROP_PAGE_SIZE);
    return PROP_OK;
}

u32 ut_page_read(proprhandle *handle, u8 *block, u32 addr, u32 flags)
{
    propr_pending *p = pending_of(handle);
    if (p != nullptr && p->count != 0) {
        const propr_pending_page *at = find_slot(p, addr);
        if (at != p->pages + p->count && at->addr == addr) {
            std::memcpy(block, at->block, PROP_PAGE_SIZE);
            return PROP_OK;
        }
    }
    return proprior(handle, block, PROP_PAGE_SIZE, addr, flags, PROPRIO_ALL);
}

bool ut_page_in_memory(proprhandle *handle, u32 addr)
{
    propr_pending *p = pending_of(handle);
    if (p != nullptr && p->count != 0) {
        const propr_pending_page *at = find_slot(p, addr);
        if (at != p->pages + p->count && at->addr == addr) return true;
    }
    return pagecache_has(handle, addr);
}

u32 ut_pages_read(proprhandle *handle, proprio_read *reqs, u32 n, u32 flags)
{
    propr_pending *p = pending_of(handle);
    MetaPtr<proprio_read> rest = MetaPtr<proprio_read>::alloc(handle->metactx, n);
    MetaPtr<u32> from = MetaPtr<u32>::alloc(handle->metactx, n);
    if (!rest || !from) {
        u32 rc = PROP_OK;
        for (u32 i = 0; i < n; i++) {
            reqs[i].result = ut_page_read(handle, static_cast<u8 *>(reqs[i].buffer), reqs[i].offset, flags);
            if (rc == PROP_OK) rc = reqs[i].result;
        }
        return rc;
    }
    u32 count = 0;
    for (u32 i = 0; i < n; i++) {
        const propr_pending_page *at = p != nullptr && p->count != 0 ? find_slot(p, reqs[i].offset) : nullptr;
        if (at != nullptr && at != p->pages + p->count && at->addr == reqs[i].offset) {
            std::memcpy(reqs[i].buffer, at->block, PROP_PAGE_SIZE);
            reqs[i].result = PROP_OK;
            continue;
        }
        rest[count] = reqs[i];
        from[count++] = i;
    }
    if (count != 0) proprior_batch(handle, rest.get(), count, flags);
    for (u32 k = 0; k < count; k++) reqs[from[k]].result = rest[k].result;
    for (u32 i = 0; i < n; i++)
        if (reqs[i].result != PROP_OK) return reqs[i].result;
    return PROP_OK;
}

void ut_pending_begin(proprhandle *handle)
{
    restart(handle, 1);
}

u32 ut_pending_flush(proprhandle *handle)
{
    propr_pending *p = pending_of(handle);
    if (p == nullptr) return PROP_OK;
    return write_kept(handle, p);
}

void ut_pending_end(proprhandle *handle)
{
    restart(handle, 0);
}

void ut_pending_free(proprhandle *handle)
{
    propr_pending *p = pending_of(handle);
    if (p == nullptr) return;
    forget(handle, p);
    if (p->pages != nullptr) u_freem(handle->metactx, p->pages);
    *p = {};
}

#include "txn/pending.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/alloc.h"
#include "format/layout.h"
#include "io/blockpool.h"
#include "io/group.h"
#include "io/pagecache.h"
#include "space/uttrace.h"
#include "txn/blockio.h"
#include "txn/log.h"

// The groups of a transaction, each written (barrier included) before the
// next one starts:
//   1. the undo images at their log slots and, the first time, the boot
//      block that marks the log live.  Until group 2 arrives the log
//      metadata on the store still carries the lsn the boot block names as
//      committed, so a crash finds nothing to undo, whatever part of this
//      group arrived; nothing has changed in place yet.
//   2. the log metadata: the new lsn and the count of the images.  From
//      here on a crash undoes the transaction from the images, which group
//      1 made durable.
//   3. the changed pages in place and the fresh ones; at commit also the
//      bitmap copies and the superblock copy that the boot block does not
//      name yet.  A crash puts the changed pages back from their images;
//      fresh pages and unnamed copies are unreachable from what is
//      committed.
//   4. the boot block that names the new copies and the new lsn: the
//      commit point (proprutfsu).
// A transaction that saved no image changes no page that existed before
// it, so it needs no live log: groups 1 and 2 fall away, and group 3
// takes the metadata with the new lsn, which the commit's boot block names.
// A set-value, a create, a batch or a recursive delete thus costs four
// barriers per location, whatever the number of pages.

namespace {

// Beyond this many kept blocks (16 MiB) the transaction writes what it
// holds and goes on keeping: the log is live from then on.
constexpr u32 kMaxKeptPages = 4096;
// Child-entry pages kept as clean copies once the transaction's pages were
// written: those of a parent with a few hundred thousand children.
constexpr u32 kMaxCleanPages = 1024;

propr_pending *pending_of(const proprhandle *handle)
{
    propr_log *log = handle->proprhandle_propr_log;
    return log != nullptr ? &log->propr_log_pending : nullptr;
}

propr_pending_page *find_slot(propr_pending_list *l, u64 addr)
{
    return std::lower_bound(l->pages, l->pages + l->count, addr,
                            [](const propr_pending_page &e, u64 a) { return e.addr < a; });
}

// The transaction's copy of the tnode page at addr, or nullptr.
const propr_pending_page *kept_page(const proprhandle *handle, u64 addr)
{
    propr_pending *p = pending_of(handle);
    if (p == nullptr || p->pages.count == 0) return nullptr;
    const propr_pending_page *at = find_slot(&p->pages, addr);
    return at != p->pages.pages + p->pages.count && at->addr == addr ? at : nullptr;
}

bool grow(proprhandle *handle, propr_pending_list *l)
{
    if (l->count < l->max) return true;
    const u32 max = l->max == 0 ? 64 : 2 * l->max;
    auto *pages = u_alloc_array<propr_pending_page>(handle->metactx, max);
    if (pages == nullptr) return false;
    if (l->count != 0) std::memcpy(pages, l->pages, l->count * sizeof *pages);
    if (l->pages != nullptr) u_freem(handle->metactx, l->pages);
    l->pages = pages;
    l->max = max;
    return true;
}

// What was derived from a kept page no longer holds once it changes.
void drop_aside(proprhandle *handle, propr_pending_page *page)
{
    blockpool_give(handle, std::exchange(page->aside, nullptr));
}

// The kept copy of addr, made (empty) when there is none.  nullptr when
// memory runs out.
propr_pending_page *keep(proprhandle *handle, propr_pending_list *l, u64 addr)
{
    propr_pending_page *at = find_slot(l, addr);
    if (at != l->pages + l->count && at->addr == addr) return at;
    u8 *block = blockpool_take(handle);
    if (block == nullptr) return nullptr;
    const size_t index = static_cast<size_t>(at - l->pages);
    if (!grow(handle, l)) {
        blockpool_give(handle, block);
        return nullptr;
    }
    at = l->pages + index;
    std::memmove(at + 1, at, (l->count - index) * sizeof *at);
    *at = {addr, block, nullptr, 0, 0};
    l->count++;
    return at;
}

// Takes the new contents of a kept page; what was derived from the bytes
// it changes goes.
void replace(proprhandle *handle, propr_pending_page *kept, const u8 *block)
{
    const u32 from = kept->aside_from;
    if (kept->aside != nullptr && std::memcmp(kept->block + from, block + from, PROP_PAGE_SIZE - from) != 0)
        drop_aside(handle, kept);
    std::memcpy(kept->block, block, PROP_PAGE_SIZE);
    kept->changed = 1;
}

void forget_page(proprhandle *handle, propr_pending_page *page)
{
    blockpool_give(handle, std::exchange(page->block, nullptr));
    drop_aside(handle, page);
}

void forget(proprhandle *handle, propr_pending_list *l)
{
    for (u32 i = 0; i < l->count; i++) forget_page(handle, &l->pages[i]);
    l->count = 0;
}

// A page worth keeping once it reached the store: the transaction searches
// child-entry pages again and again, and reads most other pages once.
bool worth_keeping(const propr_pending_page &page)
{
    return proprut_isblk_valid_buf(page.block, PROPR_BLK_KCE | PROPR_BLK_ADDR) != 0;
}

// Forgets the pages not marked to stay (changed == 2); those left are
// clean copies of what the store now holds.
void keep_marked(proprhandle *handle, propr_pending_list *l)
{
    u32 left = 0;
    for (u32 i = 0; i < l->count; i++) {
        propr_pending_page &page = l->pages[i];
        if (page.changed != 2 || page.block == nullptr) {
            forget_page(handle, &page);
            continue;
        }
        page.changed = 0;
        l->pages[left++] = page;
    }
    l->count = left;
}

void release(proprhandle *handle, propr_pending_list *l)
{
    forget(handle, l);
    if (l->pages != nullptr) u_freem(handle->metactx, l->pages);
    *l = {};
}

// Hands the kept pages to the group, which writes them as they are.
u32 add_all(WriteGroup &g, propr_pending_list &l)
{
    u32 rc = PROP_OK;
    for (u32 i = 0; i < l.count && rc == PROP_OK; i++) rc = g.adopt(std::exchange(l.pages[i].block, nullptr), l.pages[i].addr);
    return rc;
}

// Hands the changed pages to the group.  With room > 0 the child-entry
// pages (up to room of them) are given as copies and marked to stay
// (changed == 2); the others go as they are.
u32 add_changed(WriteGroup &g, propr_pending_list &l, u32 room)
{
    u32 rc = PROP_OK;
    for (u32 i = 0; i < l.count && rc == PROP_OK; i++) {
        propr_pending_page &page = l.pages[i];
        const bool stays = room != 0 && worth_keeping(page);
        const bool changed = page.changed != 0;
        room -= stays ? 1 : 0;
        page.changed = stays ? 2 : 0;
        if (!changed) continue;
        rc = stays ? g.add(page.block, PROP_PAGE_SIZE, page.addr)
                   : g.adopt(std::exchange(page.block, nullptr), page.addr);
    }
    return rc;
}

u32 add_stamped(WriteGroup &g, u8 *block, u64 addr)
{
    hdr_stamp_checksum(block, PROP_PAGE_SIZE);
    return g.add(block, PROP_PAGE_SIZE, addr);
}

// Groups 1 and 2: the images (with the boot block that makes the log
// live), then the metadata that counts them.
u32 write_images(proprhandle *handle, propr_pending *p)
{
    trace_comp tc = ut_trace(handle);
    WriteGroup images(handle);
    u32 rc = add_all(images, p->images);
    if (rc == PROP_OK && p->live == 0) rc = add_stamped(images, handle->bootbuf, PROPR_BOOT_ADDR);
    if (rc == PROP_OK) rc = images.flush();
    if (rc != PROP_OK) {
        trace_print(tc, 0, "utlog: Problem [%d] writing the tnode images in log space", static_cast<int>(rc));
        return rc;
    }
    p->live = 1;
    WriteGroup meta(handle);
    rc = add_stamped(meta, handle->proprhandle_propr_log->propr_log_buf, handle->proprhandle_lsst);
    if (rc == PROP_OK) rc = meta.flush();
    if (rc != PROP_OK)
        trace_print(tc, 0, "utlog: problem [%d] writing the log metadata buffer phy_addr %d", static_cast<int>(rc),
                    static_cast<int>(handle->proprhandle_lsst));
    return rc;
}

// Writes what is kept once it holds too much.
u32 check_size(proprhandle *handle, const propr_pending *p)
{
    if (p->images.count + p->pages.count < kMaxKeptPages) return PROP_OK;
    return ut_pending_flush(handle);
}

// Forgets the kept blocks; from now on pages are kept, or written at once.
void restart(proprhandle *handle, u32 keeping)
{
    propr_pending *p = pending_of(handle);
    if (p == nullptr) return;
    forget(handle, &p->images);
    forget(handle, &p->pages);
    p->keeping = keeping;
    p->live = 0;
}

}  // namespace

u32 ut_page_write(proprhandle *handle, u8 *block, u64 addr)
{
    propr_pending *p = pending_of(handle);
    if (p == nullptr || p->keeping == 0) return ut_stamp_write(handle, block, addr);
    propr_pending_page *kept = keep(handle, &p->pages, addr);
    if (kept == nullptr) {
        trace_print(ut_trace(handle), 0, "ut_page_write: no memory to keep the page at addr %d", static_cast<int>(addr));
        return PROP_E_NOMEM;
    }
    hdr_stamp_checksum(block, PROP_PAGE_SIZE);
    replace(handle, kept, block);
    return check_size(handle, p);
}

u32 ut_image_keep(proprhandle *handle, u8 *image, u64 slot_addr)
{
    propr_pending *p = pending_of(handle);
    if (p == nullptr) return PROP_E_STORAGE;
    propr_pending_page *kept = keep(handle, &p->images, slot_addr);
    if (kept == nullptr) {
        trace_print(ut_trace(handle), 0, "utlog: no memory to keep the image for slot addr %d",
                    static_cast<int>(slot_addr));
        return PROP_E_NOMEM;
    }
    hdr_stamp_checksum(image, PROP_PAGE_SIZE);
    std::memcpy(kept->block, image, PROP_PAGE_SIZE);
    kept->changed = 1;
    return check_size(handle, p);
}

u32 ut_page_read(proprhandle *handle, u8 *block, u64 addr, u32 flags)
{
    if (const propr_pending_page *at = kept_page(handle, addr); at != nullptr) {
        std::memcpy(block, at->block, PROP_PAGE_SIZE);
        return PROP_OK;
    }
    return proprior(handle, block, PROP_PAGE_SIZE, addr, flags, PROPRIO_ALL);
}

const u8 *ut_page_kept(const proprhandle *handle, u64 addr)
{
    const propr_pending_page *at = kept_page(handle, addr);
    return at != nullptr ? at->block : nullptr;
}

u8 *ut_page_aside(proprhandle *handle, u64 addr, u32 from)
{
    propr_pending *p = pending_of(handle);
    if (p == nullptr || p->pages.count == 0) return nullptr;
    propr_pending_page *at = find_slot(&p->pages, addr);
    if (at == p->pages.pages + p->pages.count || at->addr != addr) return nullptr;
    if (at->aside != nullptr && at->aside_from != from) drop_aside(handle, at);
    if (at->aside == nullptr && from < PROP_PAGE_SIZE) {
        at->aside = blockpool_take(handle);
        if (at->aside != nullptr) std::memset(at->aside, 0, 64);
        at->aside_from = from;
    }
    return at->aside;
}

bool ut_page_in_memory(proprhandle *handle, u64 addr)
{
    return kept_page(handle, addr) != nullptr || pagecache_has(handle, addr);
}

u32 ut_pages_read(proprhandle *handle, proprio_read *reqs, u32 n, u32 flags)
{
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
        if (const propr_pending_page *at = kept_page(handle, reqs[i].offset); at != nullptr) {
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

bool ut_pending_empty(const proprhandle *handle)
{
    const propr_pending *p = pending_of(handle);
    return p == nullptr || (p->images.count == 0 && p->pages.count == 0 && p->live == 0);
}

u32 ut_pending_flush(proprhandle *handle, WriteGroup *commit)
{
    propr_pending *p = pending_of(handle);
    if (p == nullptr) return commit != nullptr ? commit->flush() : u32{PROP_OK};
    u32 rc = p->images.count != 0 ? write_images(handle, p) : u32{PROP_OK};
    WriteGroup own(handle);
    WriteGroup &pages = commit != nullptr ? *commit : own;
    // Only a transaction that goes on keeps anything.
    if (rc == PROP_OK) rc = add_changed(pages, p->pages, commit != nullptr ? 0 : kMaxCleanPages);
    if (rc == PROP_OK && commit != nullptr && p->live == 0)
        rc = add_stamped(pages, handle->proprhandle_propr_log->propr_log_buf, handle->proprhandle_lsst);
    if (rc == PROP_OK) rc = pages.flush();
    if (rc != PROP_OK)
        trace_print(ut_trace(handle), 0, "ut_pending_flush: problem [%d] writing the pages of the transaction",
                    static_cast<int>(rc));
    forget(handle, &p->images);
    if (rc == PROP_OK)
        keep_marked(handle, &p->pages);
    else
        forget(handle, &p->pages);
    return rc;
}

void ut_pending_end(proprhandle *handle)
{
    restart(handle, 0);
}

void ut_pending_free(proprhandle *handle)
{
    propr_pending *p = pending_of(handle);
    if (p == nullptr) return;
    release(handle, &p->images);
    release(handle, &p->pages);
    *p = {};
}

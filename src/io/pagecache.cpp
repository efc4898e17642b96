#include "io/pagecache.h"

#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/alloc.h"
#include "core/handle.h"
#include "format/block.h"
#include "io/blockpool.h"
#include "io/listings.h"
#include "io/slot.h"
#include "storage/device.h"

using namespace propreg;

namespace {

struct pc_page {
    u64 addr;
    pc_page *chain;  // the next page of its bucket
    pc_page *newer;  // the use order, newest first
    pc_page *older;
    u8 *block;  // from the handle's block pool
};

}  // namespace

struct proprio_pagecache {
    plat_mutex mutex;
    proprhandle *handle;
    prop_metactx *meta;
    u32 max_pages;  // 0: the cache is off
    u32 pages;
    u32 bucket_mask;
    pc_page **buckets;
    pc_page *newest;
    pc_page *oldest;
    // Pages written since the last commit: the open transaction's, which a
    // rollback forgets.  Past what the list can hold, a rollback forgets
    // everything.
    u64 *written;
    u32 written_count;
    u32 written_max;
    bool written_lost;
    u32 rewrites;  // the stores rewritten from outside when last emptied
    // Below the CACHING level: the boot block's words as a look last saw
    // them, whether they could be seen, and pages filled since; the change
    // count the look saw, whether it could, whether some writer was found
    // not counting, and when a look last read the words.
    u8 boot_seen[PROPRIO_PAGECACHE_BOOT_WATCH];
    bool boot_known;
    u32 filled;
    u64 count_seen;
    bool count_known;
    bool count_distrusted;
    u64 words_at;
    u64 words_ms;  // how long the count may answer alone
    // Calls begun, and how many of them a look at the store served:
    // a call looks when it first uses the cache, not before.
    u32 begun;
    u32 looked;
    Listings listings;  // valid exactly as long as the pages
    u32 epoch;          // how many times everything was forgotten
};

namespace {

// Stores of this process rewritten without going through their open
// handles (a restore builds a handle of its own): each cache empties itself
// when it sees the count move.
std::atomic<u32> g_rewrites{0};

u32 setting_pages(proprhandle *h)
{
    u32 mb = PROPRIO_PAGECACHE_DEFAULT_MB;
    if (const char *env = std::getenv("ZKV_PAGE_CACHE_SIZE"); env != nullptr) {
        char *end = nullptr;
        const unsigned long v = std::strtoul(env, &end, 10);
        if (end != env && *end == '\0' && v <= 65536)
            mb = static_cast<u32>(v);
        else
            trace_print(io_trace(h), 1, "pagecache: ZKV_PAGE_CACHE_SIZE [%s] is not a size in MB; using %d", env,
                        static_cast<int>(mb));
    }
    return static_cast<u32>(u64{mb} * 1024 * 1024 / PROP_PAGE_SIZE);
}

u64 setting_words_ms(proprhandle *h)
{
    const char *env = std::getenv("ZKV_PAGE_CACHE_CHECK_MS");
    if (env == nullptr) return PROPRIO_PAGECACHE_WORDS_MS;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(env, &end, 10);
    if (end != env && *end == '\0') return v;
    trace_print(io_trace(h), 1, "pagecache: ZKV_PAGE_CACHE_CHECK_MS [%s] is not a count of milliseconds; using %d", env,
                static_cast<int>(PROPRIO_PAGECACHE_WORDS_MS));
    return PROPRIO_PAGECACHE_WORDS_MS;
}

u32 bucket_count(u32 pages)
{
    u32 n = 64;
    while (n < pages && n < (1U << 24)) n <<= 1;
    return n;
}

proprio_pagecache *create(proprhandle *h)
{
    MetaPtr<proprio_pagecache> c = MetaPtr<proprio_pagecache>::alloc(h->metactx);
    if (!c || plat_mutex_init(&c->mutex) != 0) return nullptr;
    c->handle = h;
    c->meta = h->metactx;
    c->rewrites = g_rewrites.load(std::memory_order_acquire);
    c->listings.meta = h->metactx;
    c->max_pages = setting_pages(h);
    c->words_ms = setting_words_ms(h);
    if (c->max_pages != 0) {
        const u32 buckets = bucket_count(c->max_pages);
        c->buckets = u_alloc_array<pc_page *>(h->metactx, buckets);
        if (c->buckets == nullptr) {
            plat_mutex_destroy(&c->mutex);
            return nullptr;
        }
        c->bucket_mask = buckets - 1;
    }
    trace_print(io_trace(h), 2, "pagecache: caching up to %d pages of the tree area", static_cast<int>(c->max_pages));
    return c.release();
}

bool level_caches(const proprhandle *h)
{
    const u32 level = h->proprhandle_bootlevel;
    return level == PROP_LEVEL_CACHING || level == PROP_LEVEL_READONLY || level == PROP_LEVEL_RW ||
           level == PROP_LEVEL_UPGRADE;
}

// Below the CACHING level other processes may write the store between this
// process's calls: the cache is trusted only as far as the boot block says.
bool level_validates(const proprhandle *h)
{
    return h->proprhandle_bootlevel != PROP_LEVEL_CACHING;
}

// The handle's cache (made at first use when make is set); nullptr at the
// backup level (and the legacy ones) or with the cache off.
proprio_pagecache *cache_of(proprhandle *h, bool make = true)
{
    if (h == nullptr || !level_caches(h)) return nullptr;
    proprio_pagecache *c = __atomic_load_n(&h->proprhandle_pagecache, __ATOMIC_ACQUIRE);
    if (c == nullptr) {
        if (!make) return nullptr;
        IoLock lock(h);
        c = h->proprhandle_pagecache;
        if (c == nullptr) {
            c = create(h);
            if (c == nullptr) return nullptr;
            __atomic_store_n(&h->proprhandle_pagecache, c, __ATOMIC_RELEASE);
        }
    }
    return c->max_pages != 0 ? c : nullptr;
}

// Only whole pages of the tree area are kept: the blocks before it (boot
// block, superblocks, bitmaps, log) are held in memory already or read
// once, and a boot block differs between locations.
bool in_tree_area(const proprhandle *h, u64 offset)
{
    const u64 start = h->proprhandle_rtnst;
    return offset % PROP_PAGE_SIZE == 0 && offset >= start &&
           offset < start + u64{h->numpage} * PROP_PAGE_SIZE;
}

pc_page **bucket_of(proprio_pagecache *c, u64 addr)
{
    return &c->buckets[((addr >> 12) * 2654435761U) & c->bucket_mask];
}

pc_page *find(proprio_pagecache *c, u64 addr)
{
    for (pc_page *p = *bucket_of(c, addr); p != nullptr; p = p->chain)
        if (p->addr == addr) return p;
    return nullptr;
}

void unlink_use(proprio_pagecache *c, pc_page *p)
{
    (p->newer != nullptr ? p->newer->older : c->newest) = p->older;
    (p->older != nullptr ? p->older->newer : c->oldest) = p->newer;
    p->newer = p->older = nullptr;
}

void link_newest(proprio_pagecache *c, pc_page *p)
{
    p->older = c->newest;
    p->newer = nullptr;
    (c->newest != nullptr ? c->newest->newer : c->oldest) = p;
    c->newest = p;
}

void unlink_bucket(proprio_pagecache *c, pc_page *p)
{
    for (pc_page **at = bucket_of(c, p->addr); *at != nullptr; at = &(*at)->chain) {
        if (*at == p) {
            *at = p->chain;
            return;
        }
    }
}

void drop(proprio_pagecache *c, pc_page *p)
{
    blockpool_give(c->handle, p->block);
    u_freem(c->meta, p);
}

void forget(proprio_pagecache *c, u64 addr)
{
    pc_page *p = find(c, addr);
    if (p == nullptr) return;
    c->listings.clear();  // it may have been read from this page
    unlink_bucket(c, p);
    unlink_use(c, p);
    drop(c, p);
    c->pages--;
}

// Keeps block as the page at addr; the page used longest ago makes room.
// A page the cache does not hold yet is kept only in memory the handle
// already has unless may_grow: growing costs a page fault per page, cheap
// beside a device read or a small commit, but as dear as the rest of a
// commit that writes a thousand fresh pages.
void put(proprio_pagecache *c, u64 addr, const void *block, bool may_grow)
{
    pc_page *p = find(c, addr);
    if (p != nullptr) {
        unlink_use(c, p);
        c->listings.clear();  // the page changes: a listing may have been read from it
    } else {
        if (c->pages >= c->max_pages) {
            p = c->oldest;
            unlink_bucket(c, p);
            unlink_use(c, p);
        } else {
            // A cache without memory just keeps less.
            u8 *page = blockpool_take(c->handle, may_grow);
            if (page == nullptr) return;
            p = static_cast<pc_page *>(u_allocm(c->meta, sizeof(pc_page)));
            if (p == nullptr) {
                blockpool_give(c->handle, page);
                return;
            }
            p->block = page;
            c->pages++;
        }
        p->addr = addr;
        p->chain = *bucket_of(c, addr);
        *bucket_of(c, addr) = p;
    }
    std::memcpy(p->block, block, PROP_PAGE_SIZE);
    link_newest(c, p);
}

void note_written(proprio_pagecache *c, u64 addr)
{
    if (c->written_lost) return;
    if (c->written_count == c->written_max) {
        const u32 max = c->written_max == 0 ? 64 : 2 * c->written_max;
        u64 *list = max <= c->max_pages ? u_alloc_array<u64>(c->meta, max) : nullptr;
        if (list == nullptr) {
            c->written_lost = true;
            return;
        }
        if (c->written_count != 0) std::memcpy(list, c->written, c->written_count * sizeof *list);
        if (c->written != nullptr) u_freem(c->meta, c->written);
        c->written = list;
        c->written_max = max;
    }
    c->written[c->written_count++] = addr;
}

void forget_all(proprio_pagecache *c)
{
    for (pc_page *p = c->newest; p != nullptr;) {
        pc_page *older = p->older;
        drop(c, p);
        p = older;
    }
    std::memset(c->buckets, 0, (c->bucket_mask + 1) * sizeof *c->buckets);
    c->newest = c->oldest = nullptr;
    c->pages = 0;
    c->listings.clear();
    __atomic_fetch_add(&c->epoch, 1, __ATOMIC_RELEASE);
}

void settle(proprio_pagecache *c)
{
    c->written_count = 0;
    c->written_lost = false;
}

// Called under the mutex before any use of the pages.
void catch_up(proprio_pagecache *c)
{
    const u32 now = g_rewrites.load(std::memory_order_acquire);
    if (c->rewrites == now) return;
    forget_all(c);
    settle(c);
    c->rewrites = now;
}

bool header_valid(const void *block)
{
    return proprut_isblk_valid_buf(static_cast<const u8 *>(block), PROPR_BLK_ANY) != 0;
}

// At the CACHING level this process is the store's only writer; at the
// levels below it pages are used only while the boot block is known.
bool trusted(const proprio_pagecache *c)
{
    return !level_validates(c->handle) || c->boot_known;
}

// The location a look watches: the first open file location.
ut_native *watched(proprhandle *h, u32 *slot)
{
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        if (h->proprhandle_loctype[i] != PROP_LOCTYPE_FILE || io_slot_state(h, i) != PROP_SLOT_OPEN) continue;
        *slot = i;
        return static_cast<ut_native *>(h->proprhandle_native[i]);
    }
    return nullptr;
}

// What a look at the store found: the change count of the watched
// location, and the boot block's words, read through the system's page
// cache.  Both are read before the cache's mutex is taken: a read may take
// the I/O mutex, which a writer holds while it takes the cache's.
struct boot_look {
    alignas(8) u8 words[PROPRIO_PAGECACHE_BOOT_WATCH];
    bool tried;  // the words were read, or tried
    bool known;  // ... and could be
    u64 count;
    bool counted;  // the count was read (before the words)
    bool recounted;  // ... and read the same after them
};

u64 coarse_ms()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return static_cast<u64>(t.tv_sec) * 1000 + static_cast<u64>(t.tv_nsec) / 1000000;
}

// Looks at the store.  Where a trusted change count is seen, the count
// alone answers, and the words are read when no look has compared them for
// words_ms; full: read them anyway.
boot_look look_at_store(proprio_pagecache *c, bool full)
{
    boot_look now{};
    u32 slot = 0;
    ut_native *holder = watched(c->handle, &slot);
    now.tried = holder == nullptr;  // nothing to see: nothing is trusted
    if (holder == nullptr) return now;
    const bool count_usable = !__atomic_load_n(&c->count_distrusted, __ATOMIC_ACQUIRE);
    now.counted = count_usable && ut_changes_read(&holder->changes, &now.count);
    const u64 ms = coarse_ms();
    const bool words_due = full || !now.counted || !__atomic_load_n(&c->boot_known, __ATOMIC_ACQUIRE) ||
                           !__atomic_load_n(&c->count_known, __ATOMIC_ACQUIRE) ||
                           ms - __atomic_load_n(&c->words_at, __ATOMIC_RELAXED) >= c->words_ms;
    if (!words_due) return now;
    now.tried = true;
    now.known = ut_peek(c->handle, holder, slot, now.words, PROPRIO_PAGECACHE_BOOT_WATCH, 0) == 0;
    u64 after = 0;
    now.recounted = now.counted && ut_changes_read(&holder->changes, &after) && after == now.count;
    if (now.known) __atomic_store_n(&c->words_at, ms, __ATOMIC_RELAXED);
    return now;
}

// Takes what a look found as what the pages belong to.  Anything another
// process commits, starts or undoes rewrites the boot block's words (the
// commit lsn, the log-live byte and the checksum over all of it lie in
// them) and counts the location's change count up: every page goes when
// either moved, or when nothing could be seen.  After this process's own
// commit the boot block is its own, and the pages held belong to it
// (own_commit).  Words that changed under a count that did not, twice read
// the same around them, mean some writer does not count: the count is not
// trusted again.
void take_boot(proprio_pagecache *c, const boot_look &now, bool own_commit = false)
{
    const bool words_moved = now.known && c->boot_known && std::memcmp(now.words, c->boot_seen, sizeof now.words) != 0;
    const bool count_moved = now.counted && c->count_known && now.count != c->count_seen;
    if (words_moved && !count_moved && now.recounted && c->count_known && !own_commit) {
        __atomic_store_n(&c->count_distrusted, true, __ATOMIC_RELEASE);
        trace_print(io_trace(c->handle), 1,
                    "pagecache: the boot block changed while its change count did not; comparing the boot block "
                    "at every call from now on");
    }
    const bool seen = now.tried ? now.known : now.counted && c->boot_known;
    const bool changed = !c->boot_known || words_moved || count_moved;
    if (!seen || (changed && !own_commit)) forget_all(c);
    if (now.known) std::memcpy(c->boot_seen, now.words, sizeof now.words);
    c->count_seen = now.count;
    __atomic_store_n(&c->count_known, now.counted, __ATOMIC_RELEASE);
    __atomic_store_n(&c->boot_known, seen, __ATOMIC_RELEASE);
    __atomic_store_n(&c->filled, 0, __ATOMIC_RELAXED);
}

// Looks at the store for the calls begun since the last look, before their
// first use of the cache.  The count is read before the look, so every
// call it serves began before the look was made.
void look_if_due(proprio_pagecache *c)
{
    const u32 begun = __atomic_load_n(&c->begun, __ATOMIC_ACQUIRE);
    if (begun == __atomic_load_n(&c->looked, __ATOMIC_ACQUIRE)) return;
    const boot_look now = look_at_store(c, false);
    MutexGuard guard(&c->mutex);
    take_boot(c, now);
    __atomic_store_n(&c->looked, begun, __ATOMIC_RELEASE);
}

}  // namespace

bool pagecache_lookup(proprhandle *handle, u64 offset, void *block)
{
    proprio_pagecache *c = cache_of(handle);
    if (c == nullptr || !in_tree_area(handle, offset)) return false;
    look_if_due(c);
    MutexGuard guard(&c->mutex);
    catch_up(c);
    if (!trusted(c)) return false;
    pc_page *p = find(c, offset);
    if (p == nullptr) return false;
    unlink_use(c, p);
    link_newest(c, p);
    std::memcpy(block, p->block, PROP_PAGE_SIZE);
    return true;
}

bool pagecache_has(proprhandle *handle, u64 offset)
{
    proprio_pagecache *c = cache_of(handle, false);
    if (c == nullptr || !in_tree_area(handle, offset)) return false;
    look_if_due(c);
    MutexGuard guard(&c->mutex);
    catch_up(c);
    return trusted(c) && find(c, offset) != nullptr;
}

u32 pagecache_epoch(proprhandle *handle)
{
    proprio_pagecache *c = cache_of(handle, false);
    return c == nullptr ? 0 : __atomic_load_n(&c->epoch, __ATOMIC_ACQUIRE);
}

void pagecache_fill(proprhandle *handle, u64 offset, const void *block, u32 epoch)
{
    proprio_pagecache *c = cache_of(handle);
    if (c == nullptr || !in_tree_area(handle, offset) || !header_valid(block)) return;
    look_if_due(c);
    MutexGuard guard(&c->mutex);
    catch_up(c);
    if (!trusted(c) || c->epoch != epoch) return;
    put(c, offset, block, true);
    __atomic_fetch_add(&c->filled, 1, __ATOMIC_RELAXED);
}

void pagecache_written(proprhandle *handle, const void *buffer, u32 length, u64 offset, bool on_every_location,
                       bool bulk)
{
    proprio_pagecache *c = cache_of(handle);
    if (c == nullptr) return;
    look_if_due(c);
    MutexGuard guard(&c->mutex);
    catch_up(c);
    const auto *bytes = static_cast<const u8 *>(buffer);
    for (u64 at = 0; at < length; at += PROP_PAGE_SIZE) {
        const u64 addr = offset + at;
        const bool whole = length - at >= PROP_PAGE_SIZE;
        if (on_every_location && whole && in_tree_area(handle, addr) && header_valid(bytes + at)) {
            put(c, addr, bytes + at, !bulk);
            note_written(c, addr);
        } else {
            forget(c, addr - addr % PROP_PAGE_SIZE);
        }
    }
}

void pagecache_commit(proprhandle *handle)
{
    proprio_pagecache *c = cache_of(handle, false);
    if (c == nullptr) return;
    // The boot block just written is this process's own commit: it is the
    // one the pages held belong to.
    boot_look now{};
    if (level_validates(handle)) now = look_at_store(c, true);
    MutexGuard guard(&c->mutex);
    settle(c);
    if (level_validates(handle)) take_boot(c, now, true);
}

void pagecache_rollback(proprhandle *handle)
{
    proprio_pagecache *c = cache_of(handle, false);
    if (c == nullptr) return;
    MutexGuard guard(&c->mutex);
    if (c->written_lost) {
        forget_all(c);
    } else {
        for (u32 i = 0; i < c->written_count; i++) forget(c, c->written[i]);
    }
    settle(c);
}

void pagecache_clear(proprhandle *handle)
{
    proprio_pagecache *c = cache_of(handle, false);
    if (c == nullptr) return;
    MutexGuard guard(&c->mutex);
    forget_all(c);
    settle(c);
}

void pagecache_free(proprhandle *handle)
{
    if (handle == nullptr || handle->proprhandle_pagecache == nullptr) return;
    proprio_pagecache *c = handle->proprhandle_pagecache;
    if (c->max_pages != 0) forget_all(c);
    c->listings.clear();
    if (c->buckets != nullptr) u_freem(c->meta, c->buckets);
    if (c->written != nullptr) u_freem(c->meta, c->written);
    plat_mutex_destroy(&c->mutex);
    u_freem(c->meta, c);
    handle->proprhandle_pagecache = nullptr;
}

void pagecache_call_begins(proprhandle *handle)
{
    if (handle == nullptr || !level_caches(handle) || !level_validates(handle)) return;
    proprio_pagecache *c = cache_of(handle);
    if (c != nullptr) __atomic_fetch_add(&c->begun, 1, __ATOMIC_ACQ_REL);
}

void pagecache_call_ends(proprhandle *handle)
{
    if (handle == nullptr || !level_caches(handle) || !level_validates(handle)) return;
    proprio_pagecache *c = cache_of(handle, false);
    if (c == nullptr || __atomic_load_n(&c->filled, __ATOMIC_RELAXED) == 0) return;
    const boot_look now = look_at_store(c, false);
    MutexGuard guard(&c->mutex);
    take_boot(c, now);
}

void pagecache_note_listing(proprhandle *handle, u32 parent, const char *names, u32 len, const u32 *children,
                            u32 count)
{
    proprio_pagecache *c = cache_of(handle);
    if (c == nullptr) return;
    look_if_due(c);
    MutexGuard guard(&c->mutex);
    catch_up(c);
    if (!trusted(c)) return;
    c->listings.note(parent, names, len, children, count);
    __atomic_fetch_add(&c->filled, 1, __ATOMIC_RELAXED);
}

u32 pagecache_listed_child(proprhandle *handle, u32 parent, const char *name)
{
    proprio_pagecache *c = cache_of(handle, false);
    if (c == nullptr) return 0;
    look_if_due(c);
    MutexGuard guard(&c->mutex);
    catch_up(c);
    return trusted(c) ? c->listings.find(parent, name) : 0;
}

void pagecache_stores_rewritten()
{
    g_rewrites.fetch_add(1, std::memory_order_acq_rel);
}

pagecache_info pagecache_state(proprhandle *handle)
{
    proprio_pagecache *c = cache_of(handle, false);
    if (c == nullptr) return {};
    MutexGuard guard(&c->mutex);
    catch_up(c);
    return {c->pages, c->max_pages};
}

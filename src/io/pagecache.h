// The cache of committed pages at the CACHING level, where this process is
// the store's only writer: pages of the tree area exactly as the open
// locations hold them, so that a hot key is read from memory.  Bounded in
// bytes ($ZKV_PAGE_CACHE_SIZE, in MB; default 64, 0 turns it off), the page
// used longest ago leaving first.  Filled by mirrored reads and by every
// mirrored write that reached the store (a large write refreshes the
// pages held and adds others only into memory the handle already has); a transaction's pages leave again
// when it rolls back; a direct or failed write forgets its pages; a change
// of locations, and anything that changes the store behind the I/O layer,
// empties it.  Other levels keep no cache: every call is then a no-op (and
// a lookup a miss).
#pragma once

#include "core/types.h"

struct proprhandle;

constexpr u32 PROPRIO_PAGECACHE_DEFAULT_MB = 64;

// A page of the tree area into block: true on a hit.
bool pagecache_lookup(proprhandle *handle, u64 offset, void *block);
// Whether the page is held (a read of it would cost no device read).
bool pagecache_has(proprhandle *handle, u64 offset);
// A page just read from the store (kept when its header is valid).
void pagecache_fill(proprhandle *handle, u64 offset, const void *block);
// After a write of length bytes at offset: on_every_location says that
// every open location now holds them, and the pages are kept (as pages of
// the open transaction); otherwise they are forgotten.  bulk: the write is
// one of many pages, which take new memory only for pages already held.
void pagecache_written(proprhandle *handle, const void *buffer, u32 length, u64 offset, bool on_every_location,
                       bool bulk = false);

// Groups of more pages than this are bulk writes to the cache.
constexpr u32 PROPRIO_PAGECACHE_BULK_PAGES = 64;
// The pages written since the last commit are committed.
void pagecache_commit(proprhandle *handle);
// The open transaction rolls back: the pages it wrote are forgotten.
void pagecache_rollback(proprhandle *handle);
// Forgets every page.
void pagecache_clear(proprhandle *handle);
// A store was rewritten from outside its open handles (a restore): every
// cache of the process empties itself at its next use.
void pagecache_stores_rewritten();
// Gives the memory back (the handle's I/O ends).
void pagecache_free(proprhandle *handle);

// What the cache holds: pages, and the most it may hold.
struct pagecache_info {
    u32 pages;
    u32 max_pages;
};
pagecache_info pagecache_state(proprhandle *handle);

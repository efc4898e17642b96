// The cache of committed pages: pages of the tree area exactly as the open
// locations hold them, so that a hot key, or a walk of many, is read from
// memory.  Bounded in bytes ($ZKV_PAGE_CACHE_SIZE, in MB; default 64, 0
// turns it off), the page used longest ago leaving first.  Filled by
// mirrored reads and by every mirrored write that reached the store (a
// large write refreshes the pages held and adds others only into memory the
// handle already has); a transaction's pages leave again when it rolls
// back; a direct or failed write forgets its pages; a change of locations,
// and anything that changes the store behind the I/O layer, empties it.
//
// At the CACHING level this process is the store's only writer and the
// cache is always trusted.  Below it other processes may write between
// (and during) this one's calls, so every export call, before it first
// uses the cache, looks at the store: at the change count of the first
// open file location (storage/changes.h), which every write of its boot
// block counts up, and now and then at the boot block's words themselves,
// which every commit, every start of a transaction that writes in place
// and every undo rewrites.  The cache empties when either moved; this
// process's own commit is taken as seen.  A call that read pages looks
// again when it ends, so a page read while a transaction began is not
// kept.  Where there is no trusted count, each look reads the words, and
// what stays open is a writer that starts, writes, dies and is undone by a
// third process's open, all inside a single call (the words come back as
// they were; a count does not).  Until a look has seen the boot block, and
// at the backup level, nothing is used: a lookup is a miss.
#pragma once

#include "core/types.h"

struct proprhandle;

constexpr u32 PROPRIO_PAGECACHE_DEFAULT_MB = 64;

// A page of the tree area into block: true on a hit.
bool pagecache_lookup(proprhandle *handle, u64 offset, void *block);
// Whether the page is held (a read of it would cost no device read).
bool pagecache_has(proprhandle *handle, u64 offset);
// The cache's epoch: it moves on each time everything is forgotten.
u32 pagecache_epoch(proprhandle *handle);
// A page just read from the store, by a read that began in epoch (kept
// when its header is valid and nothing was forgotten since: the page may
// be older than what another process has committed meanwhile).
void pagecache_fill(proprhandle *handle, u64 offset, const void *block, u32 epoch);
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
// The first bytes of the boot block that the read-only level watches: the
// superblock selector, the page count, the log-live byte, the commit lsn
// and the checksum over the whole block all lie in them.
constexpr u32 PROPRIO_PAGECACHE_BOOT_WATCH = 512;
// Where the location's change count answers a look, the words are still
// read when no look has compared them for this long: a writer that cannot
// count (a count file replaced, or one it may not write) is caught within
// this time, and the count is not trusted again.  $ZKV_PAGE_CACHE_CHECK_MS
// sets it (0: the words at every look, as without a count).
constexpr u64 PROPRIO_PAGECACHE_WORDS_MS = 10;
// An export call starts, and ends, on the handle: below the CACHING level
// the cache checks that the store did not change under it.
void pagecache_call_begins(proprhandle *handle);
void pagecache_call_ends(proprhandle *handle);
// Keeps a listing of the children of the tnode at parent (count names in
// names, len bytes, and their tnodes) beside the pages it was read from,
// and forgets it with them (see io/listings.h).
void pagecache_note_listing(proprhandle *handle, u32 parent, const char *names, u32 len, const u32 *children,
                            u32 count);
// The tnode of child name under parent from a listing kept, or 0.
u32 pagecache_listed_child(proprhandle *handle, u32 parent, const char *name);
// Gives the memory back (the handle's I/O ends).
void pagecache_free(proprhandle *handle);

// What the cache holds: pages, and the most it may hold.
struct pagecache_info {
    u32 pages;
    u32 max_pages;
};
pagecache_info pagecache_state(proprhandle *handle);

// Free space: the bitmap pages that hand out and take back the pages of the
// tnode area.  Bitmaps live in memory while a transaction runs and reach the
// disk only at commit, each to the copy that is not current; frees inside a
// transaction are queued and released at commit, so a rollback never finds
// one of its pages reused.
#pragma once

#include "core/handle.h"
#include "format/block.h"
#include "space/bitmap.h"

// proprutcfp flag: queue the page on the free page list until commit.
constexpr u32 PROPR_FREE_DEFERRED = 0x8000000;

// One bitmap page; bit b stands for page index * 32512 + b + 1.
struct propr_fcl {
    propr_hdr propr_fcl_hdr;      // the page's header as read or last written
    u32 propr_fcl_changed;        // changed in memory since the last commit
    u32 free_space_addr;          // which on-disk copy (0 or 1) is current
    i32 propr_fcl_first_free;     // lowest bit freed since the last commit, -1 = none
    u8 propr_fcl_page[PROPR_BITMAP_BYTES];
    i32 propr_fcl_last_reserved;  // bit where the last search started or stopped
    u32 propr_fcl_read;           // loaded from disk
};

// Allocates the handle's proprhandle_num_fcl bitmap records (unread) and the
// free and new page lists; PROP_OK or PROP_E_NOMEM with nothing allocated.
// proprutifcl: init free-space lists: the bitmap records and page lists.
u32 proprutifcl(proprhandle *handle);
// Gives back everything proprutifcl allocated.
void proprut_free_fcl(proprhandle *handle);
// Loads bitmap page index from its current copy unless already loaded.
u32 proprut_read_fcl(proprhandle *handle, u32 index);
// Allocates the lowest free page; PROP_OK, PROP_E_NOSPACE (none left) or PROP_E_STORAGE.
// proprutffp: find free page.
u32 proprutffp(proprhandle *handle, u32 *page);
// Frees page now, or at commit with PROPR_FREE_DEFERRED; PROP_OK, PROP_E_NOMEM or PROP_E_STORAGE.
// proprutcfp: clear (free) a page.
u32 proprutcfp(proprhandle *handle, u32 page, u32 flags);
// *isfree = 1 when page is not in use (page 0 never is); PROP_OK, PROP_E_NULL or PROP_E_STORAGE.
// proprutifp: is free page.
u32 proprutifp(proprhandle *handle, u32 page, u32 *isfree);
// Records a page allocated in the open transaction (it needs no undo
// image); PROP_OK or PROP_E_NOMEM.
u32 proprut_add_newpagelist(proprhandle *handle, u32 page);
// Empties the free and new page lists (begin, commit, rollback).
void proprut_clear_pagelists(proprhandle *handle);

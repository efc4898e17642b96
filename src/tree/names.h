// Owner and group names: the two name table pages of the store and the
// handle's caches of the names of ids below 256.  Every function holds the
// handle's name-cache mutex for its whole run.
#pragma once

#include "core/types.h"
#include "tree/namedb.h"

struct proprhandle;

constexpr u32 NAME_CACHE_SIZE = 256;

// The id of name in the kind's table (NAME_KIND_OWNER or NAME_KIND_GROUP),
// adding the name when it is new.  An empty group name is id 0.  PROP_OK, PROP_E_ARG
// (empty owner name), PROP_E_NOMEM (no memory), PROP_E_NULL (missing argument), PROP_E_STORAGE (no
// handle, bad kind, unreadable or invalid page, page full, write failure).
//
// The page is written in place on every location, without an undo image:
// names are only ever appended and ids never reused, so a name left behind
// by a rolled-back transaction is merely unused, and no committed tnode can
// point at an id that a rollback would take away.
// proprutnametoid: name to id: owner or group name to its number.
u32 proprutnametoid(proprhandle *handle, const char *name, u32 *id, u32 kind);

// The name of id into buf (*buflen bytes; on success *buflen becomes the
// name's length).  Group id 0 is the empty name.  PROP_OK; PROP_E_NOMEM when buf is too
// small (*buflen becomes the size needed, terminator included); 13 for a
// missing argument; 26 (no handle, bad kind, owner id 0, id not in the
// table, unreadable or invalid page).
// proprutidtoname: id to name: owner or group number to its name.
u32 proprutidtoname(proprhandle *handle, u32 id, u32 *buflen, char *buf, u32 kind);

// Loads both caches from the two pages at start-up and sets the id counts.
// PROP_OK, PROP_E_NOMEM, or PROP_E_STORAGE (no handle, unreadable or invalid page, corrupt slot).
// proprutiid: init ids: load the owner and group name caches.
u32 proprutiid(proprhandle *handle);

// Gives back every cached name and clears the counters (termination).
void proprut_free_namecache(proprhandle *handle);

// The value-page addresses a tnode names, and one VAL page as written.
#pragma once

#include "core/types.h"
#include "tree/tnode.h"

struct proprhandle;

struct value_addrs {
    u32 direct[TNODE_NUM_DIRECT];
};

// The 20 direct addresses of a tnode page; each is traced at level 4 under
// what (the caller's text, followed by "curptr = ..., direct_addr[i] = ...").
value_addrs value_addrs_read(const u8 *raw, const char *what);
// Puts them back, with no single-indirect page (values never use one).
void value_addrs_write(u8 *raw, const value_addrs &va, const char *what);

// Writes n bytes of a value as VAL page `page` (zero-filled behind them),
// stamped, to every location.  0 or the write error.
u32 value_page_write(proprhandle *handle, u32 page, const u8 *bytes, u32 n);

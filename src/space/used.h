// The used page count U: the number of the highest allocated page of the
// tnode area (0 when only the root page is in use).  Copies, backups and
// checks take pages 0 .. U.
#pragma once

#include "core/handle.h"

// Fits proprio_hooks::used_pages.  0, or the error of loading a bitmap page.
u32 proprut_used_pages(proprhandle *handle, u32 *used);

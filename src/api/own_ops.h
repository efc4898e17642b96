// Operations that live with the exports themselves: they only read the
// context and handle, or loop over a lower floor's service.
#pragma once

#include "core/types.h"

// Copies the five location names of the handle under the shared lock.
u32 propr_get_conf_handle(backend_ctx *ctx, char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE]);
// The open store's format version (version byte 0).
u32 propr_get_version(backend_ctx *ctx, u32 *version);
// Switches every open VLD location to a direct connection; a location that
// refuses is logged and does not change the result.
u32 propr_vld_directconn(backend_ctx *ctx);
// Writes the context and its handle to the trace log.
// proprdc: dump context.
u32 proprdc(backend_ctx *ctx);

// Device ids: the 31-bit id of a location name, the id vector of the
// configured locations, and the checks on a proposed new location.
#pragma once

#include "core/types.h"

struct proprhandle;

// The id of a location name: '/' and '\' count as one separator, hashed
// with lookup2 and masked to 31 bits.
u32 proprdev_id_of_name(const char *name);
// The id vector of a location table: slots 0 and 1 always carry an id,
// even when empty; later empty slots are 0.
void proprdev_ids_of(const char (*names)[PROP_LOCNAME_SIZE], u32 dev[PROP_MAX_LOCATIONS]);
// Reads the configured locations into dev (and, with a handle, into its
// location table).  PROP_OK, PROP_E_NULL, PROP_E_CLUSTER, or the configuration reader's code.
u32 proprdev_get(proprhandle *handle, u32 dev[PROP_MAX_LOCATIONS], char *errbuf, u64 *errbuf_sz,
                 u32 flags);
// 0 when equal over all 20 bytes, 34 when not, 13 for a missing vector.
u32 proprdev_compare(const u32 *dev1, const u32 *dev2);
// May newdev replace slot devnum?  PROP_OK, PROP_E_CTX, PROP_E_ARG or PROP_E_STORAGE.
u32 proprdev_check(backend_ctx *ctx, u32 devnum, const char *newdev);

// Operations behind the exports, with their argument lists.
u32 proprdev_get_op(backend_ctx *ctx, u32 dev[PROP_MAX_LOCATIONS], char *errbuf, u64 *errbuf_sz,
                    u32 flags);
u32 proprdev_compare_op(const u32 dev1[PROP_MAX_LOCATIONS], const u32 dev2[PROP_MAX_LOCATIONS],
                        char *errbuf, u32 *errbuf_sz);

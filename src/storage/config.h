// Where a registry's locations are configured, which storage types each
// registry kind accepts, and opening the file locations of a handle.
#pragma once

#include "core/types.h"
#include "platform/trace.h"

struct proprhandle;

// Configuration flags.
constexpr u32 PROP_CONF_COMPLETE_VLD_NAMES = 4;
constexpr u32 PROP_CONF_BACKUP_LOCATION = 0x800000;
constexpr u32 PROP_CONF_LEGACY = 0x20000000;

using prop_locations = char[PROP_NUM_SLOTS][PROP_LOCNAME_SIZE];

// Longest value and host name, with their terminating zeros.
constexpr u32 UT_LOCVALUE_SIZE = 1024;
constexpr u32 UT_HWK_HOME_SIZE = 4096;
constexpr u32 PROP_HOSTNAME_SIZE = 257;

// Behind prop_get_conf.
// proprgconf: get configuration.
u32 proprgconf(backend_ctx *ctx, void *unused, u32 *configured, prop_locations locations,
               u32 *local_only, char hwk_home[4096], char *errorbuf, u64 *errorbuf_sz, u32 flags);
// utgdv: get devices: read the configured locations.
u32 utgdv(prop_locations locations, u32 *local_only, char *hwk_home, char *errorbuf,
          u64 *errorbuf_sz, const char *hostname, u32 flags);
u32 ut_read_reg(trace_comp comp, prop_locations locations, u32 *local_only, char *hwk_home,
                char *errorbuf, u64 *errorbuf_sz, const char *hostname, u32 flags);
u32 ut_get_loc_path(u32 is_nkv, const char *hostname, char *path, size_t size);
// utstoragetypecommon: storage type checks shared by both kinds.
u32 utstoragetypecommon(trace_comp comp, u32 developer_mode, const char *path, u32 *filetype,
                        u32 *savedoserr, char *errbuf, u32 *errbuf_sz, u32 flags);
// Behind prop_check_storage.
// proprstcheckstorage: check storage.
u32 proprstcheckstorage(backend_ctx *ctx, const char *location, char *errorbuf, u32 *errorbuf_sz,
                        u32 flags);
// utchkstoragetype: check storage type of a location.
u32 utchkstoragetype(proprhandle *handle, const char *location, u32 *loctype, u32 flags);
// utopen: open a location.
u32 utopen(proprhandle *handle, u32 flags);

// $ZKV_DEVELOPER_ENV is "TRUE" or "true".
bool prop_developer_mode_env();
// Developer mode of a handle: its front-end context's flag, else the environment.
bool prop_developer_mode(const proprhandle *handle);

// The registry kind of a handle (PROP_KIND_ZKV or PROP_KIND_NKV): its
// front-end context's, ZKV without one.
u32 ut_registry_kind(const proprhandle *handle);
// This node's host name: the front-end context's when it has one, else
// the system's.  PROP_OK, or PROP_E_CLUSTER when there is none.
u32 ut_hostname(const przkv_ctx *zkv, char *buf, size_t size);
// The configuration value that holds location slot of a registry kind
// ("zkvconfig_loc", ...); nullptr for a slot the kind does not have.
const char *ut_location_value_name(u32 is_nkv, u32 slot);
// The value that keeps slot of the list a location change started from.
const char *ut_previous_value_name(u32 slot);
// The list a location change this node began started from, when the change
// is not finished (*pending); a missing key or value is no change.  0 or
// the error of finding the key.
u32 ut_read_previous_locations(const proprhandle *handle, prop_locations previous, bool *pending);

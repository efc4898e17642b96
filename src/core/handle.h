// The backend handle: everything one open store holds.  Allocated zero-filled
// from the caller's meta context; every subsystem keeps its own record here
// behind a pointer (or plain fields) and owns its initialisation.
#pragma once

#include "core/types.h"
#include "platform/thread.h"
#include "platform/trace.h"

struct proprch_ctx;      // key cache (cache/)
struct propr_log;        // undo-log state (txn/)
struct propr_fcl;        // one free-space bitmap page (space/)
struct propr_listset;    // membership of a long page list (space/)
struct proprio_workers;  // the four mirror workers (io/)
struct proprvld_state;   // the volume-manager client (vld/)
struct proprio_pagecache;  // committed pages at the CACHING level (io/)
struct proprio_blockpool;  // pages the I/O path reuses (io/)
struct propr_keyhandle;    // an open key (keys/)

struct proprhandle {
    u32 proprhandle_bootlevel;
    prop_metactx *metactx;
    prop_secctx *proprhandle_sctx;
    proprch_ctx *proprhandle_cache;

    // Location slots: slot i describes location i.
    void *proprhandle_native[PROP_NUM_SLOTS];  // open-file holder (storage/) or VLD handle
    u32 proprhandle_native_state[PROP_NUM_SLOTS];
    u32 proprhandle_read_device;
    u32 proprhandle_native_numpage[PROP_NUM_SLOTS];
    char proprhandle_filename[PROP_NUM_SLOTS][PROP_LOCNAME_SIZE];
    u32 proprhandle_loctype[PROP_NUM_SLOTS];
    u32 proprhandle_my_votes[PROP_NUM_SLOTS];
    u32 proprhandle_total_votes[PROP_NUM_SLOTS];
    u32 proprhandle_configured_device_count;
    u32 proprhandle_recover_dev_flag;

    // Store geometry and identity.
    u32 numpage;
    i64 totalsize;
    u32 num_free;
    u32 proprhandle_zkvid;
    u8 version[2];
    u8 *bootbuf;   // 4096-byte copy of the boot block
    u8 *superbuf;  // 4096-byte copy of the current superblock

    propr_log *proprhandle_propr_log;

    // Free space (space/).
    propr_fcl **proprhandle_fcl;
    u32 proprhandle_num_fcl;
    u32 proprhandle_last_fcl;
    u32 *propr_handle_free_page_list;  // pages freed in the open transaction
    u32 proprhandle_free_page_list_used;
    u32 proprhandle_free_page_list_max;
    u32 *proprhandle_new_page_list;  // pages allocated in the open transaction
    u32 proprhandle_new_page_list_used;
    u32 proprhandle_new_page_list_max;
    propr_listset *proprhandle_free_page_set;
    propr_listset *proprhandle_new_page_set;

    // Addresses and counts from the boot block and superblock.
    u32 super_block_addr;
    u32 proprhandle_isvalidlog;
    u32 root_key_addr;
    u32 proprhandle_odbst;
    u32 proprhandle_gdbst;
    u32 proprhandle_rtnst;
    u32 proprhandle_lsst;
    u32 proprhandle_num_log;
    u32 ndk_addr;
    u32 num_ndk;

    // Guards the owner and group name caches, the key-cache teardown and
    // the closed key handles.
    plat_mutex proprhandle_mutex;
    u32 proprhandle_mutex_created;
    // Key handles the caller closed, oldest first (keys/keyhandle.cpp).
    propr_keyhandle *proprhandle_closed_first;
    propr_keyhandle *proprhandle_closed_last;
    u32 proprhandle_closed_count;

    // Calls of the exports in progress on the context, and whether it is
    // being terminated; read and written atomically (api/).
    u32 proprhandle_calls;
    u32 proprhandle_closing;
    // Guards the location states and the round-robin read pointer.
    plat_mutex proprhandle_io_mutex;
    u32 proprhandle_io_mutex_created;

    u32 proprhandle_devid[PROP_NUM_SLOTS];

    // Owner and group name caches, indexed by id (entry 0 unused).
    char *proprhandle_uid[256];
    u32 proprhandle_num_cached_uid;
    u32 proprhandle_num_uid;
    char *proprhandle_gid[256];
    u32 proprhandle_num_cached_gid;
    u32 proprhandle_num_gid;

    przkv_ctx *proprhandle_zkvctx;

    // Trace components "ZKVRAW", "ZKVOSD", "ZKVVLD".
    trace_comp proprhandle_trace_raw;
    trace_comp proprhandle_trace_osd;
    trace_comp proprhandle_trace_vld;

    u32 proprhandle_os_min_block_size;
    u32 proprhandle_islocal_only;
    void *proprhandle_levelarg;  // CACHING level: the prop_grpctx *
    u32 proprhandle_upgrade_state;

    // I/O module (io/).
    proprio_workers *proprhandle_workers;
    proprvld_state *proprhandle_vld;
    const struct proprio_hooks *proprhandle_io_hooks;
    proprio_pagecache *proprhandle_pagecache;
    proprio_blockpool *proprhandle_blockpool;
};

// Registers the handle's three trace components and applies the levels
// that $ZKV_LOGGING_LEVEL gives them.  26 for a NULL handle.
u32 proprut_compreg(proprhandle *handle);

// The alert number base of a handle's front-end context (1000 without one).
inline u32 prop_alert_base(const przkv_ctx *zkv)
{
    return zkv != nullptr ? zkv->alert_base : 1000;
}

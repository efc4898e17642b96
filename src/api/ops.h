// The operations behind the exports, reached through one table so that an
// export never names its subsystem and tests can put a double in any slot.
// Each entry takes its export's arguments (after the wrapper's flag
// adjustments); the last group are services the wrappers themselves use.
#pragma once

#include "core/types.h"

struct proprhandle;

struct prop_ops {
    // Lifecycle.
    u32 (*setup)(backend_ctx **ctx, prop_secctx *secctx, void *clsctx, const sec_attr *topsec,
                 prop_metactx *metactx, przkv_ctx *zkvctx, i32 level, u32 *levelarg);
    u32 (*init)(backend_ctx **ctx, prop_metactx *metactx, prop_secctx *secctx, void *clsctx, u32 level,
                przkv_ctx *zkvctx, void *levelarg);
    u32 (*init_reboot)(backend_ctx *ctx);
    // Runs the whole reinitialisation under prop_rwlock; the export
    // escalates its failure.
    u32 (*reinit)(backend_ctx *ctx, void *levelarg);
    u32 (*terminate)(backend_ctx *ctx, u32 flags);
    u32 (*close_io)(backend_ctx *ctx);
    u32 (*dump_ctx)(backend_ctx *ctx);

    // Key operations.
    u32 (*open)(backend_ctx *ctx, const char *keyname, propr_keyhandle **keyh, u32 flags);
    u32 (*close)(backend_ctx *ctx, propr_keyhandle *keyh);
    u32 (*create_key)(backend_ctx *ctx, propr_keyhandle *parent, const char *subkey, const sec_attr *sec,
                      propr_keyhandle **keyh, u32 *disposition, u32 flags);
    u32 (*create_n_set_key)(backend_ctx *ctx, propr_keyhandle *parent, const char *subkey,
                            const sec_attr *sec, propr_keyhandle **keyh, u32 *disposition, u32 dtype,
                            const void *value, u32 size, u32 flags);
    u32 (*delete_key)(backend_ctx *ctx, propr_keyhandle *keyh, u32 recursive, u32 flags);
    u32 (*move_key)(backend_ctx *ctx, propr_keyhandle *src, propr_keyhandle *tgt_parent,
                    const char *tgt_subkey, propr_keyhandle *tgt, propr_keyhandle **result, u32 flags);
    u32 (*enum_subkey)(backend_ctx *ctx, propr_keyhandle *keyh, char **keybuf, u32 *buflen, u32 *num_keys,
                       u32 flags);
    u32 (*batch_execute)(backend_ctx *ctx, prop_batch *batch, u32 flags);

    // Values and security.
    u32 (*set_value)(backend_ctx *ctx, propr_keyhandle *keyh, u32 dtype, const void *value, u32 size,
                     u32 flags);
    u32 (*get_value)(backend_ctx *ctx, propr_keyhandle *keyh, u32 *dtype, void *value, u32 *size,
                     u32 flags);
    u32 (*delete_value)(backend_ctx *ctx, propr_keyhandle *keyh, u32 flags);
    u32 (*get_security)(backend_ctx *ctx, propr_keyhandle *keyh, sec_attr *sec);
    u32 (*set_security)(backend_ctx *ctx, propr_keyhandle *keyh, const sec_attr *sec, u32 flags);
    u32 (*check_perm_recurse)(backend_ctx *ctx, prop_secctx *secctx, propr_keyhandle *keyh, u32 required);

    // Devices and configuration.
    u32 (*get_conf)(backend_ctx *ctx, void *unused, u32 *configured,
                    char locations[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE], u32 *local_only,
                    char hwk_home[4096], char *errorbuf, u64 *errorbuf_sz, u32 flags);
    u32 (*get_conf_handle)(backend_ctx *ctx, char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE]);
    u32 (*check_storage)(backend_ctx *ctx, const char *location, char *errorbuf, u32 *errorbuf_sz,
                         u32 flags);
    u32 (*get_dev)(backend_ctx *ctx, u32 dev[PROP_MAX_LOCATIONS], char *errorbuf, u64 *errorbuf_sz,
                   u32 flags);
    u32 (*compare_dev)(const u32 dev1[PROP_MAX_LOCATIONS], const u32 dev2[PROP_MAX_LOCATIONS],
                       char *errorbuf, u32 *errorbuf_sz);
    u32 (*check_dev)(backend_ctx *ctx, u32 devnum, const char *newdev);
    u32 (*replace_dev)(backend_ctx *ctx, u32 devnum, const char *newdev, u32 master);
    u32 (*migrate_dev)(backend_ctx *ctx, u32 master);
    u32 (*prechk_confchange)(backend_ctx *ctx, u32 devnum, const char *newdev);
    u32 (*overwrite_conf)(prop_metactx *metactx);
    u32 (*repair_conf)(prop_metactx *metactx, u32 devnum, const char *newdev, u32 flags);
    // 103 when the local configuration was changed, 0 when nothing was.
    u32 (*autorepair_conf)(backend_ctx *ctx, const char published[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE]);
    u32 (*rim_autorepair_conf)(prop_metactx *metactx, char local[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE],
                               const char published[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE]);
    u32 (*get_devid)(backend_ctx *ctx, const char *location, u32 *zkvid);
    u32 (*get_id)(backend_ctx *ctx, u32 *zkvid, u32 dev[PROP_MAX_LOCATIONS], u32 flags);

    // Backups.
    u32 (*bkup)(backend_ctx *ctx, char *name);
    u32 (*recover_media)(prop_metactx *metactx, const char *name, u32 flags);
    u32 (*delete_bkpfile)(backend_ctx *ctx, const char *location, const char *filename, u32 flags);
    u32 (*rename_bkpfile)(backend_ctx *ctx, const char *location, const char *from, const char *to,
                          u32 flags);
    u32 (*copy_bkpfile)(backend_ctx *ctx, const char *src_location, const char *src_name,
                        const char *dst_location, char *dst_name);
    u32 (*cbkp_init)(backend_ctx *ctx, prop_metactx *metactx, prop_cbkp **cbkp, const char *filename,
                     u32 direction, u32 import_mode, const char *import_user, u32 flags);
    u32 (*cbkp_writerec)(prop_cbkp *cbkp, const prop_record *rec);
    u32 (*cbkp_readrec)(prop_cbkp *cbkp, prop_record *rec);
    u32 (*cbkp_term)(prop_cbkp *cbkp);

    // Blocks and state.
    u32 (*get_block)(backend_ctx *ctx, propr_keyhandle *keyh, u32 location, void *outbuf,
                     u32 *inout_size, u32 *blkno, u32 flags);
    u32 (*interpret_block)(backend_ctx *ctx, u32 blkno, const void *block, u32 block_size, char *text,
                           u32 *text_size, u32 flags);
    u32 (*set_block)(backend_ctx *ctx, propr_keyhandle *keyh, u32 location, const void *inbuf,
                     u32 *inout_size, u32 flags);
    u32 (*get_status)(backend_ctx *ctx, prop_status *status, u32 flags);
    u32 (*get_state)(backend_ctx *ctx, u32 *state, u32 flags);
    u32 (*set_state)(backend_ctx *ctx, u32 state, u32 flags);
    u32 (*check_logical_corruption)(backend_ctx *ctx);
    // Also the rollback that an escalated 36 runs.
    u32 (*recover)(backend_ctx *ctx, u32 flags);
    u32 (*recover_numpage)(backend_ctx *ctx);

    // Volume manager.
    u32 (*is_zkvonvld)(backend_ctx *ctx, const char *location, u32 *answer, u32 flags);
    u32 (*delete_vldfile)(backend_ctx *ctx, const char *filename, u32 flags);
    u32 (*vld_directconn)(backend_ctx *ctx);
    u32 (*file_exists)(prop_metactx *metactx, const char *filename, u32 *exists, u32 flags);

    // Misc.
    u32 (*get_version)(backend_ctx *ctx, u32 *version);

    // Services of lower floors that the wrappers use.
    // Switches one open VLD location to a direct connection.
    u32 (*vld_directconn_one)(proprhandle *handle, void *vldhdl, const char *location, u32 flags);
    // Closes and re-opens the locations after the configuration changed.
    u32 (*io_reinit)(proprhandle *handle, u32 flags);
    // Write the undo-log state and the free-space pages to the trace log.
    u32 (*dump_undo_log)(proprhandle *handle);
    u32 (*dump_free_space)(proprhandle *handle);
};

extern prop_ops g_prop_ops;

#include "api/ops.h"

#include "api/own_ops.h"
#include "api/placeholder.h"
#include "backup/backup.h"
#include "io/devid.h"
#include "io/io.h"
#include "keys/keys.h"
#include "keys/treeops.h"
#include "lifecycle/format.h"
#include "lifecycle/init.h"
#include "lifecycle/terminate.h"
#include "storage/config.h"
#include "txn/recover.h"

// Wiring an operation: replace prop_op_not_built in its entry.
prop_ops g_prop_ops = {
    .setup = propriniconfig,
    .init = proprinit,
    .init_reboot = proprir,
    .reinit = proprreinit,
    .terminate = proprterminate,
    .close_io = proprio_close_io,
    .dump_ctx = proprdc,

    .open = propropen,
    .close = proprcls,
    .create_key = proprcreate,
    .create_n_set_key = prcnskey,
    .delete_key = prdkey,
    .move_key = prmvkey,
    .enum_subkey = prenumsubkey,
    .batch_execute = proprbatchexec,

    .set_value = proprsetval,
    .get_value = prgval,
    .delete_value = prdval,
    .get_security = prgsec,
    .set_security = proprssec,
    .check_perm_recurse = prop_op_not_built,

    .get_conf = proprgconf,
    .get_conf_handle = propr_get_conf_handle,
    .check_storage = proprstcheckstorage,
    .get_dev = proprdev_get_op,
    .compare_dev = proprdev_compare_op,
    .check_dev = proprdev_check,
    .replace_dev = prop_op_not_built,
    .migrate_dev = prop_op_not_built,
    .prechk_confchange = prop_precheck_confchange,
    .overwrite_conf = prop_op_not_built,
    .repair_conf = prop_op_not_built,
    .autorepair_conf = prop_op_not_built,
    .rim_autorepair_conf = prop_op_not_built,
    .get_devid = prop_op_not_built,
    .get_id = prop_op_not_built,

    .bkup = proprbkp,
    .recover_media = phy_rec,
    .delete_bkpfile = proprbkp_delete,
    .rename_bkpfile = proprbkp_rename,
    .copy_bkpfile = proprbkp_copy,
    .cbkp_init = proprcbkp_init,
    .cbkp_writerec = proprcbkp_writerec,
    .cbkp_readrec = proprcbkp_readrec,
    .cbkp_term = proprcbkp_term,

    .get_block = prop_op_not_built,
    .interpret_block = prop_op_not_built,
    .set_block = prop_op_not_built,
    .get_status = prop_op_not_built,
    .get_state = prop_op_not_built,
    .set_state = prop_op_not_built,
    .check_logical_corruption = prop_op_not_built,
    .recover = proprrecover,
    .recover_numpage = rrecovernumpage,

    .is_zkvonvld = prop_op_not_built,
    .delete_vldfile = prop_op_not_built,
    .vld_directconn = propr_vld_directconn,
    .file_exists = prop_op_not_built,

    .get_version = propr_get_version,

    .vld_directconn_one = prop_op_not_built,
    .io_reinit = prop_op_not_built,
    .dump_undo_log = prop_op_not_built,
    .dump_free_space = prop_op_not_built,
};

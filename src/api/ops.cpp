#include "api/ops.h"

#include "api/backup_ops.h"
#include "api/own_ops.h"
#include "backup/backup.h"
#include "devices/devices.h"
#include "diag/diag.h"
#include "io/devid.h"
#include "io/io.h"
#include "keys/keys.h"
#include "keys/treeops.h"
#include "lifecycle/format.h"
#include "lifecycle/init.h"
#include "lifecycle/terminate.h"
#include "storage/config.h"
#include "txn/recover.h"
#include "vld/vld.h"

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
    .check_perm_recurse = prcpr,

    .get_conf = proprgconf,
    .get_conf_handle = propr_get_conf_handle,
    .check_storage = proprstcheckstorage,
    .get_dev = proprdev_get_op,
    .compare_dev = proprdev_compare_op,
    .check_dev = proprdev_check,
    .replace_dev = dev_replace,
    .migrate_dev = dev_migrate,
    .prechk_confchange = prop_precheck_confchange,
    .overwrite_conf = proprcow,
    .repair_conf = proprrep,
    .autorepair_conf = proprrepauto_op,
    .rim_autorepair_conf = proprrepauto_rim_op,
    .get_devid = prgdevid,
    .get_id = prgid,

    .bkup = api_bkup,
    .recover_media = api_recover_media,
    .delete_bkpfile = proprbkp_delete,
    .rename_bkpfile = proprbkp_rename,
    .copy_bkpfile = proprbkp_copy,
    .cbkp_init = proprcbkp_init,
    .cbkp_writerec = proprcbkp_writerec,
    .cbkp_readrec = proprcbkp_readrec,
    .cbkp_term = proprcbkp_term,

    .get_block = proprgblock,
    .interpret_block = propriblock,
    .set_block = proprsblock,
    .get_status = proprgst,
    .get_state = proprgstate,
    .set_state = proprsstate,
    .check_logical_corruption = proprchk_logicalcorruption,
    .recover = proprrecover,
    .recover_numpage = rrecovernumpage,

    .is_zkvonvld = proprvld_zkvonvld_op,
    .delete_vldfile = proprvld_delete_op,
    .vld_directconn = propr_vld_directconn,
    .file_exists = proprfexists,

    .get_version = propr_get_version,

    .vld_directconn_one = proprvld_directconn_one,
    .io_reinit = proprio_reinit,
    .dump_undo_log = proprdc_log,
    .dump_free_space = proprdc_fcl,
};

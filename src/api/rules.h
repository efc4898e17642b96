// What each export allows, as data: the levels that reach its operation,
// what the legacy levels 5 and 6 do, how failures are escalated at the
// CACHING level, and the context checks it makes before anything else.
// Checks of other arguments stay in the export, which knows them.
#pragma once

#include "core/types.h"

namespace propreg {

enum class export_id : u8 {
    setup, init, init_reboot, reinit, terminate, close_io, dump_ctx,
    open, close, create_key, create_n_set_key, delete_key, move_key, enum_subkey, batch_execute,
    set_value, get_value, delete_value,
    get_security, set_security, check_perm_recurse,
    get_conf, get_conf_handle, check_storage, get_dev, compare_dev, check_dev, replace_dev, migrate_dev,
    prechk_confchange, overwrite_conf, repair_conf, autorepair_conf, rim_autorepair_conf, get_devid, get_id,
    bkup, recover_media, delete_bkpfile, rename_bkpfile, copy_bkpfile,
    cbkp_init, cbkp_writerec, cbkp_readrec, cbkp_term,
    get_block, interpret_block, set_block, get_status, get_state, set_state, check_logical_corruption,
    recover, recover_numpage,
    is_zkvonvld, delete_vldfile, vld_directconn, file_exists,
    get_version,
    count_
};

// Levels 5 and 6 when the operation does not take them.
enum class legacy_rule : u8 {
    none,       // no legacy path: 2
    backend,    // the legacy-format backend, which this build does not have: 2
    returns_0,  // nothing to do at these levels
    returns_2,  // explicitly unsupported
};

enum class esc_rule : u8 {
    none,
    all,         // level 1: every non-zero result goes through proprseterror
    bkup,        // level 1, ZKV only: 49 stays, anything else becomes 26
    replace,     // PROP_OK, PROP_E_ARG and PROP_E_DEVSPACE are answers, not failures
    prechk,      // every level: all but PROP_OK and PROP_E_MINORITY
    autorepair,  // 103 re-opens the I/O and is success; 0 is a failure (26)
    reinit,      // level 1: either step's failure
};

constexpr u32 kAnyLevel = 0xffffffffu;  // no level test at all

struct export_rule {
    const char *log_name;  // the export's name in its trace lines
    u32 levels;            // bit n: level n reaches the operation
    legacy_rule legacy;
    esc_rule esc;
    u32 null_ctx_code;            // 0: the context is not looked at
    const char *null_ctx_text;    // nullptr: "<log_name>: NULL context passed"
    u32 null_handle_code;         // 0: the handle is not looked at
    const char *null_handle_text;
};

const export_rule &rule_of(export_id id);

}  // namespace propreg

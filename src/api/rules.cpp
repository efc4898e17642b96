#include "api/rules.h"

namespace propreg {

namespace {

template <class... L>
constexpr u32 lv(L... levels)
{
    return ((1u << levels) | ...);
}

constexpr u32 kOpenLevels = lv(0, 1, 2, 4, 8);   // every level that can hold a store
constexpr u32 kWriteLevels = lv(0, 1, 4);
constexpr u32 kCaching = lv(1);
constexpr u32 kReadOnlyDiag = lv(0, 2, 4, 8);   // block access outside the caching daemon

using L = legacy_rule;
using E = esc_rule;

// Checks of the context as most exports make them: 3, with the export's name.
constexpr export_rule ctx3(const char *name, u32 levels, L legacy, E esc)
{
    return {name, levels, legacy, esc, PROP_E_CTX, nullptr, 0, nullptr};
}

// Exports that do not look at the context or the level.
constexpr export_rule free_of_ctx(const char *name, E esc = E::none)
{
    return {name, kAnyLevel, L::none, esc, 0, nullptr, 0, nullptr};
}

constexpr export_rule kRules[] = {
    // Lifecycle: prop_setup and prop_init take the level as an argument.
    {"propr_setup", lv(0, 4), L::backend, E::none, 0, nullptr, 0, nullptr},
    {"propr_init", kOpenLevels, L::backend, E::none, 0, nullptr, 0, nullptr},
    ctx3("propr_init_reboot", kOpenLevels, L::returns_0, E::none),
    ctx3("propr_reinit", kCaching, L::none, E::reinit),
    ctx3("propr_terminate", kOpenLevels, L::backend, E::none),
    {"propr_close_io", kCaching, L::none, E::none, PROP_E_NULL, "propr_close_io: NULL context passed",
     PROP_E_STORAGE, "propr_close_io: Backend handle passed is null"},
    {"propr_dump_ctx", kOpenLevels, L::returns_2, E::none, PROP_E_STORAGE, "propr_dump_ctx: backend_ctx is NULL",
     PROP_E_STORAGE, "propr_dump_ctx: Backend context passed is null"},

    // Key operations.
    ctx3("propr_open", kOpenLevels, L::backend, E::all),
    ctx3("propr_close", kOpenLevels, L::backend, E::all),
    ctx3("propr_create_key", kWriteLevels, L::backend, E::all),
    ctx3("propr_create_n_set_key", kWriteLevels, L::backend, E::all),
    ctx3("propr_delete_key", kWriteLevels, L::backend, E::all),
    ctx3("propr_move_key", kWriteLevels, L::none, E::all),
    ctx3("propr_enum_subkey", kOpenLevels, L::backend, E::all),
    ctx3("propr_batch_execute", kWriteLevels, L::none, E::all),

    // Values.
    ctx3("propr_set_value", kWriteLevels, L::backend, E::all),
    ctx3("propr_get_value", kOpenLevels, L::backend, E::all),
    ctx3("propr_delete_value", kWriteLevels, L::backend, E::all),

    // Security.
    ctx3("propr_get_security", kOpenLevels, L::backend, E::all),
    ctx3("propr_set_security", kWriteLevels, L::backend, E::all),
    {"propr_check_perm_recurse", kOpenLevels, L::none, E::all, PROP_E_CTX,
     "propr_check_erm_recurse: NULL context passed", 0, nullptr},

    // Devices and configuration.
    free_of_ctx("propr_get_conf"),
    {"propr_get_conf_handle", kOpenLevels, L::none, E::none, PROP_E_NULL,
     "propr_get_conf_handle: Backend context passed is NULL", PROP_E_CTX,
     "propr_get_conf_handle: Backend handle passed is NULL"},
    free_of_ctx("propr_check_storage"),
    free_of_ctx("propr_get_dev"),
    free_of_ctx("propr_compare_dev"),
    ctx3("propr_check_dev", kCaching, L::none, E::none),
    ctx3("propr_replace_dev", kCaching, L::none, E::replace),
    ctx3("propr_migrate_dev", kCaching, L::none, E::none),
    free_of_ctx("propr_prechk_confchange", E::prechk),
    free_of_ctx("propr_overwrite_conf"),
    free_of_ctx("propr_repair_conf"),
    {"propr_autorepair_conf", kCaching, L::none, E::autorepair, PROP_E_CTX, nullptr, PROP_E_CTX,
     "propr_autorepair_conf: Backend handle passed is NULL."},
    free_of_ctx("propr_rim_autorepair_conf"),
    free_of_ctx("propr_get_devid"),
    ctx3("propr_get_id", kOpenLevels, L::returns_2, E::all),

    // Backups.
    ctx3("propr_bkup", kOpenLevels, L::returns_2, E::bkup),
    free_of_ctx("propr_recover_media"),
    ctx3("propr_delete_bkpfile", kCaching, L::none, E::none),
    ctx3("propr_rename_bkpfile", kCaching, L::none, E::none),
    ctx3("propr_copy_bkpfile", lv(0, 1, 2, 4, 5, 6, 8), L::none, E::none),
    free_of_ctx("propr_cbkp_init"),
    free_of_ctx("propr_cbkp_writerec"),
    free_of_ctx("propr_cbkp_readrec"),
    free_of_ctx("propr_cbkp_term"),

    // Blocks and state.
    ctx3("propr_get_block", kReadOnlyDiag, L::none, E::none),
    ctx3("propr_interpret_block", kReadOnlyDiag, L::none, E::none),
    ctx3("propr_set_block", lv(0, 4), L::none, E::none),
    ctx3("propr_get_status", kOpenLevels, L::returns_2, E::all),
    ctx3("propr_get_state", kOpenLevels, L::returns_2, E::all),
    ctx3("propr_set_state", kOpenLevels, L::returns_2, E::all),
    {"propr_check_logical_corruption", kReadOnlyDiag, L::none, E::none, PROP_E_CTX,
     "propr_check_logical_corruption: NULL backend context passed", 0, nullptr},
    ctx3("propr_recover", kWriteLevels, L::returns_2, E::all),
    ctx3("propr_recover_numpage", kCaching, L::none, E::all),

    // Volume manager.
    {"propr_is_zkvonvld", lv(0, 1, 2, 4, 5, 6), L::none, E::none, PROP_E_NULL,
     "propr_is_zkvonvld: NULL context passed", 0, nullptr},
    {"propr_delete_vldfile", kCaching, L::none, E::none, PROP_E_NULL,
     "propr_delete_vldfile: Backend context passed is NULL", PROP_E_CTX, "propr_delete_vldfile: Backend handle is NULL"},
    {"propr_vld_directconn", kCaching, L::none, E::none, PROP_E_NULL, "propr_vld_directconn: Backend context is NULL",
     PROP_E_CTX, "propr_vld_directconn: Backend handle is NULL"},
    free_of_ctx("propr_file_exists"),

    // Misc.
    {"propr_get_version", kWriteLevels, L::none, E::none, PROP_E_NULL, "propr_get_version: NULL context passed",
     PROP_E_STORAGE, "propr_get_version: Backend context passed is null"},
};

static_assert(sizeof kRules / sizeof kRules[0] == static_cast<size_t>(export_id::count_),
              "one rule per export, in export_id order");

}  // namespace

const export_rule &rule_of(export_id id)
{
    return kRules[static_cast<size_t>(id)];
}

}  // namespace propreg

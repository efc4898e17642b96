// Every export at every boot level: which levels reach the operation, what
// the others return, which failures are escalated, and the argument checks
// the wrappers make before anything else.
#include <functional>
#include <string>

#include "api_fixture.h"
#include "platform/trace.h"

namespace {

enum class Esc { none, caching, always };

constexpr u32 kAny = 0xffffffffu;
constexpr u32 kReached = 0xfffffffeu;  // a NULL context goes on to the operation
constexpr u32 kNoCtx = 0xfffffffdu;    // the export takes no context

template <class... L>
constexpr u32 lv(L... levels)
{
    return ((1u << levels) | ...);
}

constexpr u32 kOpen = lv(0, 1, 2, 4, 8);
constexpr u32 kWrite = lv(0, 1, 4);

// Arguments that are merely not NULL.
char g_name[PROP_LOCNAME_SIZE] = "name";
char g_names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];
char g_buf[4096];
u32 g_u32, g_dev[PROP_MAX_LOCATIONS];
u64 g_u64;
sec_attr g_sec;
prop_status g_status;
prop_record g_record;
prop_batch g_batch;
auto *const g_key = reinterpret_cast<propr_keyhandle *>(&g_u64);
propr_keyhandle *g_keyout;
backend_ctx *g_ctxout;
prop_cbkp *g_cbkp;
auto *const g_cbkp_in = reinterpret_cast<prop_cbkp *>(&g_u64);
prop_metactx g_meta;

struct ExportCase {
    const char *name;
    std::function<void()> install;
    std::function<u32(backend_ctx *)> call;
    u32 levels;       // levels that reach the operation
    u32 legacy_rc;    // what levels 5 and 6 return when they do not reach it
    Esc esc;
    u32 null_ctx_rc;  // or kReached / kNoCtx
    const char *null_ctx_text;
};

#define SLOT(member) [] { put_double(g_prop_ops.member); }

std::vector<ExportCase> export_cases()
{
    using C = backend_ctx *;
    return {
        {"prop_setup", SLOT(setup),
         [](C c) {
             return prop_setup(&g_ctxout, nullptr, nullptr, &g_sec, &g_meta, nullptr,
                               static_cast<i32>(c->prop_boot_mode), &g_u32);
         },
         lv(0, 4), 2, Esc::none, kNoCtx, nullptr},
        {"prop_init", SLOT(init),
         [](C c) { return prop_init(&g_ctxout, &g_meta, nullptr, nullptr, c->prop_boot_mode, nullptr, nullptr); },
         kOpen, 2, Esc::none, kNoCtx, nullptr},
        {"prop_init_reboot", SLOT(init_reboot), [](C c) { return prop_init_reboot(c); }, kOpen, 0, Esc::none, 3,
         "propr_init_reboot: NULL context passed"},
        {"prop_reinit", SLOT(reinit), [](C c) { return prop_reinit(c, nullptr); }, lv(1), 2, Esc::caching, 3,
         "propr_reinit: NULL context passed"},
        {"prop_terminate", SLOT(terminate), [](C c) { return prop_terminate(c, 0); }, kOpen, 2, Esc::none, 3,
         "propr_terminate: NULL context passed"},
        {"prop_close_io", SLOT(close_io), [](C c) { return prop_close_io(c); }, lv(1), 2, Esc::none, 13,
         "propr_close_io: NULL context passed"},
        {"prop_dump_ctx", SLOT(dump_ctx), [](C c) { return prop_dump_ctx(c); }, kOpen, 2, Esc::none, 26,
         "propr_dump_ctx: backend_ctx is NULL"},

        {"prop_open", SLOT(open), [](C c) { return prop_open(c, "SYSTEM", &g_keyout, 0); }, kOpen, 2, Esc::caching,
         3, "propr_open: NULL context passed"},
        {"prop_close", SLOT(close), [](C c) { return prop_close(c, g_key); }, kOpen, 2, Esc::caching, 3,
         "propr_close: NULL context passed"},
        {"prop_create_key", SLOT(create_key),
         [](C c) { return prop_create_key(c, g_key, "a", &g_sec, &g_keyout, &g_u32, 0); }, kWrite, 2, Esc::caching,
         3, "propr_create_key: NULL context passed"},
        {"prop_create_n_set_key", SLOT(create_n_set_key),
         [](C c) { return prop_create_n_set_key(c, g_key, "a", &g_sec, &g_keyout, &g_u32, 3, "v", 2, 0); }, kWrite,
         2, Esc::caching, 3, "propr_create_n_set_key: NULL context passed"},
        {"prop_delete_key", SLOT(delete_key), [](C c) { return prop_delete_key(c, g_key, 0, 0); }, kWrite, 2,
         Esc::caching, 3, "propr_delete_key: NULL context passed"},
        {"prop_move_key", SLOT(move_key),
         [](C c) { return prop_move_key(c, g_key, g_key, "b", nullptr, &g_keyout, 0); }, kWrite, 2, Esc::caching, 3,
         "propr_move_key: NULL context passed"},
        {"prop_enum_subkey", SLOT(enum_subkey),
         [](C c) {
             char *buf = nullptr;
             return prop_enum_subkey(c, g_key, &buf, &g_u32, &g_u32, 0);
         },
         kOpen, 2, Esc::caching, 3, "propr_enum_subkey: NULL context passed"},
        {"prop_batch_execute", SLOT(batch_execute), [](C c) { return prop_batch_execute(c, &g_batch, 0); }, kWrite,
         2, Esc::caching, 3, "propr_batch_execute: NULL context passed"},

        {"prop_set_value", SLOT(set_value), [](C c) { return prop_set_value(c, g_key, 3, "v", 2, 0); }, kWrite, 2,
         Esc::caching, 3, "propr_set_value: NULL context passed"},
        {"prop_get_value", SLOT(get_value), [](C c) { return prop_get_value(c, g_key, &g_u32, g_buf, &g_u32, 0); },
         kOpen, 2, Esc::caching, 3, "propr_get_value: NULL context passed"},
        {"prop_delete_value", SLOT(delete_value), [](C c) { return prop_delete_value(c, g_key, 0); }, kWrite, 2,
         Esc::caching, 3, "propr_delete_value: NULL context passed"},
        {"prop_get_security", SLOT(get_security), [](C c) { return prop_get_security(c, g_key, &g_sec); }, kOpen, 2,
         Esc::caching, 3, "propr_get_security: NULL context passed"},
        {"prop_set_security", SLOT(set_security), [](C c) { return prop_set_security(c, g_key, &g_sec, 0); },
         kWrite, 2, Esc::caching, 3, "propr_set_security: NULL context passed"},
        {"prop_check_perm_recurse", SLOT(check_perm_recurse),
         [](C c) { return prop_check_perm_recurse(c, nullptr, g_key, 3); }, kOpen, 2, Esc::caching, 3,
         "propr_check_erm_recurse: NULL context passed"},

        {"prop_get_conf", SLOT(get_conf),
         [](C c) { return prop_get_conf(c, nullptr, &g_u32, g_names, &g_u32, g_buf, g_buf, &g_u64, 0); }, kAny, 0,
         Esc::none, kReached, nullptr},
        {"prop_get_conf_handle", SLOT(get_conf_handle), [](C c) { return prop_get_conf_handle(c, g_names); }, kOpen,
         2, Esc::none, 13, "propr_get_conf_handle: Backend context passed is NULL"},
        {"prop_check_storage", SLOT(check_storage),
         [](C c) { return prop_check_storage(c, "/x", g_buf, &g_u32, 0); }, kAny, 0, Esc::none, kReached, nullptr},
        {"prop_get_dev", SLOT(get_dev), [](C c) { return prop_get_dev(c, g_dev, g_buf, &g_u64, 0); }, kAny, 0,
         Esc::none, kReached, nullptr},
        {"prop_compare_dev", SLOT(compare_dev), [](C) { return prop_compare_dev(g_dev, g_dev, g_buf, &g_u32); },
         kAny, 0, Esc::none, kNoCtx, nullptr},
        {"prop_check_dev", SLOT(check_dev), [](C c) { return prop_check_dev(c, 1, "/y"); }, lv(1), 2, Esc::none, 3,
         "propr_check_dev: NULL context passed"},
        {"prop_replace_dev", SLOT(replace_dev), [](C c) { return prop_replace_dev(c, 1, "/y", 1); }, lv(1), 2,
         Esc::caching, 3, "propr_replace_dev: NULL context passed"},
        {"prop_migrate_dev", SLOT(migrate_dev), [](C c) { return prop_migrate_dev(c, 1); }, lv(1), 2, Esc::none, 3,
         "propr_migrate_dev: NULL context passed"},
        {"prop_prechk_confchange", SLOT(prechk_confchange), [](C c) { return prop_prechk_confchange(c, 1, "/y"); },
         kAny, 0, Esc::always, kReached, nullptr},
        {"prop_overwrite_conf", SLOT(overwrite_conf), [](C) { return prop_overwrite_conf(&g_meta); }, kAny, 0,
         Esc::none, kNoCtx, nullptr},
        {"prop_repair_conf", SLOT(repair_conf), [](C) { return prop_repair_conf(&g_meta, 1, "/y", 0); }, kAny, 0,
         Esc::none, kNoCtx, nullptr},
        {"prop_autorepair_conf", SLOT(autorepair_conf), [](C c) { return prop_autorepair_conf(c, g_names); },
         lv(1), 2, Esc::caching, 3, "propr_autorepair_conf: NULL context passed"},
        {"prop_rim_autorepair_conf", SLOT(rim_autorepair_conf),
         [](C) { return prop_rim_autorepair_conf(&g_meta, g_names, g_names); }, kAny, 0, Esc::none, kNoCtx, nullptr},
        {"prop_get_devid", SLOT(get_devid), [](C c) { return prop_get_devid(c, "/y", &g_u32); }, kAny, 0, Esc::none,
         kReached, nullptr},
        {"prop_get_id", SLOT(get_id), [](C c) { return prop_get_id(c, &g_u32, g_dev, 0); }, kOpen, 2, Esc::caching,
         3, "propr_get_id: NULL context passed"},

        {"prop_bkup", SLOT(bkup), [](C c) { return prop_bkup(c, g_name); }, kOpen, 2, Esc::caching, 3,
         "propr_bkup: NULL context passed"},
        {"prop_recover_media", SLOT(recover_media), [](C) { return prop_recover_media(&g_meta, "/b", 0); }, kAny, 0,
         Esc::none, kNoCtx, nullptr},
        {"prop_delete_bkpfile", SLOT(delete_bkpfile), [](C c) { return prop_delete_bkpfile(c, "/d", "f", 0); },
         lv(1), 2, Esc::none, 3, "propr_delete_bkpfile: NULL context passed"},
        {"prop_rename_bkpfile", SLOT(rename_bkpfile),
         [](C c) { return prop_rename_bkpfile(c, "/d", "f", "g", 0); }, lv(1), 2, Esc::none, 3,
         "propr_rename_bkpfile: NULL context passed"},
        {"prop_copy_bkpfile", SLOT(copy_bkpfile), [](C c) { return prop_copy_bkpfile(c, "/d", "f", "/e", g_name); },
         lv(0, 1, 2, 4, 5, 6, 8), 2, Esc::none, 3, "propr_copy_bkpfile: NULL context passed"},
        {"prop_cbkp_init", SLOT(cbkp_init),
         [](C c) { return prop_cbkp_init(c, &g_meta, &g_cbkp, "/r", PROP_CBKP_EXPORT, 0, nullptr, 0); }, kAny, 0,
         Esc::none, kReached, nullptr},
        {"prop_cbkp_writerec", SLOT(cbkp_writerec), [](C) { return prop_cbkp_writerec(g_cbkp_in, &g_record); },
         kAny, 0, Esc::none, kNoCtx, nullptr},
        {"prop_cbkp_readrec", SLOT(cbkp_readrec), [](C) { return prop_cbkp_readrec(g_cbkp_in, &g_record); }, kAny,
         0, Esc::none, kNoCtx, nullptr},
        {"prop_cbkp_term", SLOT(cbkp_term), [](C) { return prop_cbkp_term(g_cbkp_in); }, kAny, 0, Esc::none, kNoCtx,
         nullptr},

        {"prop_get_block", SLOT(get_block),
         [](C c) { return prop_get_block(c, g_key, 0, g_buf, &g_u32, &g_u32, 0); }, lv(0, 2, 4, 8), 2,
         Esc::none, 3, "propr_get_block: NULL context passed"},
        {"prop_interpret_block", SLOT(interpret_block),
         [](C c) { return prop_interpret_block(c, 25, g_buf, 4096, g_buf, &g_u32, 0); }, lv(0, 2, 4, 8), 2,
         Esc::none, 3, "propr_interpret_block: NULL context passed"},
        {"prop_set_block", SLOT(set_block), [](C c) { return prop_set_block(c, g_key, 0, g_buf, &g_u32, 0); },
         lv(0, 4), 2, Esc::none, 3, "propr_set_block: NULL context passed"},
        {"prop_get_status", SLOT(get_status), [](C c) { return prop_get_status(c, &g_status, 0); }, kOpen, 2,
         Esc::caching, 3, "propr_get_status: NULL context passed"},
        {"prop_get_state", SLOT(get_state), [](C c) { return prop_get_state(c, &g_u32, 0); }, kOpen, 2, Esc::caching,
         3, "propr_get_state: NULL context passed"},
        {"prop_set_state", SLOT(set_state), [](C c) { return prop_set_state(c, 0x10, 0); }, kOpen, 2, Esc::caching,
         3, "propr_set_state: NULL context passed"},
        {"prop_check_logical_corruption", SLOT(check_logical_corruption),
         [](C c) { return prop_check_logical_corruption(c); }, lv(0, 2, 4, 8), 2, Esc::none, 3,
         "propr_check_logical_corruption: NULL backend context passed"},
        {"prop_recover", SLOT(recover), [](C c) { return prop_recover(c, 0); }, kWrite, 2, Esc::caching, 3,
         "propr_recover: NULL context passed"},
        {"prop_recover_numpage", SLOT(recover_numpage), [](C c) { return prop_recover_numpage(c); }, lv(1), 2,
         Esc::caching, 3, "propr_recover_numpage: NULL context passed"},

        {"prop_is_zkvonvld", SLOT(is_zkvonvld), [](C c) { return prop_is_zkvonvld(c, "+dg", &g_u32, 0); },
         lv(0, 1, 2, 4, 5, 6), 2, Esc::none, 13, "propr_is_zkvonvld: NULL context passed"},
        {"prop_delete_vldfile", SLOT(delete_vldfile), [](C c) { return prop_delete_vldfile(c, "+dg/f", 0); }, lv(1),
         2, Esc::none, 13, "propr_delete_vldfile: Backend context passed is NULL"},
        {"prop_vld_directconn", SLOT(vld_directconn), [](C c) { return prop_vld_directconn(c); }, lv(1), 2,
         Esc::none, 13, "propr_vld_directconn: Backend context is NULL"},
        {"prop_file_exists", SLOT(file_exists), [](C) { return prop_file_exists(&g_meta, "/f", &g_u32, 0); }, kAny,
         0, Esc::none, kNoCtx, nullptr},

        {"prop_get_version", SLOT(get_version), [](C c) { return prop_get_version(c, &g_u32); }, kWrite, 2,
         Esc::none, 13, "propr_get_version: NULL context passed"},
    };
}

using LevelTest = ApiTest;

TEST_F(LevelTest, EveryExportAtEveryLevelAndWithANullContext)
{
    auto cases = export_cases();
    ASSERT_EQ(cases.size(), 59u);
    constexpr u32 kFailure = PROP_E_BKPFILE;  // a failure no special rule treats as success
    for (const ExportCase &e : cases) {
        e.install();
        for (u32 level : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 1000u}) {
            SCOPED_TRACE(std::string(e.name) + " at level " + std::to_string(level));
            at_level(level);
            u_reset_error(zkv, nullptr);
            g_double_calls = 0;
            g_double_rc = kFailure;
            bool reaches = e.levels == kAny || (level < 32 && ((e.levels >> level) & 1u) != 0);
            u32 rc = e.call(ctx);
            if (reaches) {
                EXPECT_EQ(g_double_calls, 1);
                EXPECT_EQ(rc, kFailure);
            } else {
                EXPECT_EQ(g_double_calls, 0);
                EXPECT_EQ(rc, level == 5 || level == 6 ? e.legacy_rc : 2u);
            }
            bool escalated = reaches && (e.esc == Esc::always || (e.esc == Esc::caching && level == 1));
            EXPECT_EQ(recorded(), escalated ? kFailure : 0u);
        }

        if (e.null_ctx_rc == kNoCtx) continue;
        SCOPED_TRACE(std::string(e.name) + " with a NULL context");
        g_double_calls = 0;
        g_double_rc = 0;
        trace_capture_start();
        u32 rc = e.call(nullptr);
        trace_capture_stop();
        if (e.null_ctx_rc == kReached) {
            EXPECT_EQ(g_double_calls, 1);
            EXPECT_EQ(rc, 0u);
        } else {
            EXPECT_EQ(g_double_calls, 0);
            EXPECT_EQ(rc, e.null_ctx_rc);
            EXPECT_TRUE(trace_captured_contains(e.null_ctx_text)) << e.null_ctx_text;
        }
    }
}

struct NullArgCase {
    const char *text;
    u32 rc;
    std::function<u32(backend_ctx *)> call;
};

TEST_F(LevelTest, NullHandleAndArguments)
{
    using C = backend_ctx *;
    char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];
    NullArgCase with_null_handle[] = {
        {"propr_close_io: Backend handle passed is null", 26, [](C c) { return prop_close_io(c); }},
        {"propr_get_version: Backend context passed is null", 26, [](C c) { return prop_get_version(c, &g_u32); }},
        {"propr_dump_ctx: Backend context passed is null", 26, [](C c) { return prop_dump_ctx(c); }},
        {"propr_get_conf_handle: Backend handle passed is NULL", 3,
         [&](C c) { return prop_get_conf_handle(c, names); }},
        {"propr_autorepair_conf: Backend handle passed is NULL.", 3,
         [](C c) { return prop_autorepair_conf(c, g_names); }},
        {"propr_delete_vldfile: Backend handle is NULL", 3, [](C c) { return prop_delete_vldfile(c, "+a", 0); }},
        {"propr_vld_directconn: Backend handle is NULL", 3, [](C c) { return prop_vld_directconn(c); }},
    };
    NullArgCase with_null_argument[] = {
        {"propr_autorepair_conf: NULL device passed", 13, [](C c) { return prop_autorepair_conf(c, nullptr); }},
        {"propr_rim_autorepair_conf: Meta context passed is NULL", 13,
         [](C) { return prop_rim_autorepair_conf(nullptr, g_names, g_names); }},
        {"propr_delete_vldfile: Filename passed is NULL", 13, [](C c) { return prop_delete_vldfile(c, nullptr, 0); }},
        {"propr_is_zkvonvld: NULL parameter zkvonvld passed", 13,
         [](C c) { return prop_is_zkvonvld(c, "+a", nullptr, 0); }},
        {"propr_get_version: NULL parameter version passed", 13, [](C c) { return prop_get_version(c, nullptr); }},
        {"propr_delete_bkpfile: NULL backup location/filename passed", 13,
         [](C c) { return prop_delete_bkpfile(c, nullptr, "f", 0); }},
        {"propr_delete_bkpfile: NULL backup location/filename passed", 13,
         [](C c) { return prop_delete_bkpfile(c, "/d", nullptr, 0); }},
        {"propr_rename_bkpfile: NULL backup location/filename passed", 13,
         [](C c) { return prop_rename_bkpfile(c, "/d", "f", nullptr, 0); }},
        {"propr_copy_bkpfile: NULL source/destination backup location/filename passed", 13,
         [](C c) { return prop_copy_bkpfile(c, "/d", "f", "/e", nullptr); }},
        {"propr_copy_bkpfile: NULL source/destination backup location/filename passed", 13,
         [](C c) { return prop_copy_bkpfile(c, nullptr, "f", "/e", g_name); }},
        {"propr_get_dev: NULL dev passed", 13, [](C c) { return prop_get_dev(c, nullptr, g_buf, &g_u64, 0); }},
        {"propr_get_dev: NULL errorbuf passed", 13, [](C c) { return prop_get_dev(c, g_dev, nullptr, &g_u64, 0); }},
        {"propr_get_dev: NULL errorbuf_sz passed", 13,
         [](C c) { return prop_get_dev(c, g_dev, g_buf, nullptr, 0); }},
        {"propr_compare_dev: NULL dev1 passed", 13,
         [](C) { return prop_compare_dev(g_dev, nullptr, g_buf, &g_u32); }},
        {"propr_compare_dev: NULL errorbuf passed", 13,
         [](C) { return prop_compare_dev(g_dev, g_dev, nullptr, &g_u32); }},
        {"propr_compare_dev: NULL errorbuf_sz passed", 13,
         [](C) { return prop_compare_dev(g_dev, g_dev, g_buf, nullptr); }},
        {"propr_file_exists: NULL metactx passed.", 13,
         [](C) { return prop_file_exists(nullptr, "/f", &g_u32, 0); }},
        {"propr_file_exists: Filename passed is NULL.", 13,
         [](C) { return prop_file_exists(&g_meta, nullptr, &g_u32, 0); }},
        {"propr_file_exists: file_exists passed is NULL.", 13,
         [](C) { return prop_file_exists(&g_meta, "/f", nullptr, 0); }},
    };
    for (const ExportCase &e : export_cases()) e.install();
    at_level(PROP_LEVEL_CACHING);
    auto check = [&](const NullArgCase &c) {
        SCOPED_TRACE(c.text);
        trace_capture_start();
        g_double_calls = 0;
        EXPECT_EQ(c.call(ctx), c.rc);
        EXPECT_EQ(g_double_calls, 0);
        EXPECT_TRUE(trace_captured_contains(c.text));
        trace_capture_stop();
    };
    for (const NullArgCase &c : with_null_argument) check(c);
    ctx->propb_ctx = nullptr;
    for (const NullArgCase &c : with_null_handle) check(c);
    ctx->propb_ctx = handle;
}

TEST_F(LevelTest, LevelsWithARuleOfTheirOwn)
{
    put_double(g_prop_ops.init);
    put_double(g_prop_ops.setup);
    trace_capture_start();

    // The node-local registry has no legacy format at all.
    make_zkv(PROP_KIND_NKV);
    EXPECT_EQ(prop_init(&g_ctxout, meta, sec, nullptr, 6, zkv, nullptr), 33u);
    EXPECT_EQ(prop_init(&g_ctxout, meta, sec, nullptr, 5, zkv, nullptr), 33u);
    make_zkv(PROP_KIND_ZKV);
    EXPECT_EQ(prop_init(&g_ctxout, meta, sec, nullptr, 6, zkv, nullptr), 2u);
    EXPECT_EQ(g_double_calls, 0);

    // A fresh store raises the format alert from the context's alert base.
    g_double_rc = 0;
    EXPECT_EQ(prop_setup(&g_ctxout, sec, nullptr, &g_sec, meta, zkv, 4, nullptr), 0u);
    make_zkv(PROP_KIND_NKV);
    EXPECT_EQ(prop_setup(&g_ctxout, sec, nullptr, &g_sec, meta, zkv, 0, nullptr), 0u);
    EXPECT_EQ(prop_setup(&g_ctxout, sec, nullptr, &g_sec, meta, nullptr, 0, nullptr), 0u);
    g_double_rc = PROP_E_STORAGE;
    EXPECT_EQ(prop_setup(&g_ctxout, sec, nullptr, &g_sec, meta, zkv, 0, nullptr), 26u);
    EXPECT_EQ(prop_setup(&g_ctxout, sec, nullptr, &g_sec, meta, zkv, 6, nullptr), 2u);
    auto alerts = alerts_captured();
    ASSERT_EQ(alerts.size(), 3u);
    EXPECT_EQ(alerts[0].number, 1001u);
    EXPECT_EQ(alerts[1].number, 2101u);
    EXPECT_EQ(alerts[2].number, 1001u);
    EXPECT_EQ(alerts[0].args, "4");
    trace_capture_stop();
}

TEST_F(LevelTest, BatchFlagIsTheBatchsAlone)
{
    for (const ExportCase &e : export_cases()) e.install();
    at_level(0);
    const u32 all = 0xffffffffu;
    std::function<u32()> cleared[] = {
        [&] { return prop_move_key(ctx, g_key, g_key, "b", nullptr, &g_keyout, all); },
        [&] { return prop_get_block(ctx, g_key, 0, g_buf, &g_u32, &g_u32, all); },
        [&] { return prop_interpret_block(ctx, 25, g_buf, 4096, g_buf, &g_u32, all); },
        [&] { return prop_set_block(ctx, g_key, 0, g_buf, &g_u32, all); },
    };
    for (auto &call : cleared) {
        g_double_flags = 0;
        EXPECT_EQ(call(), 0u);
        EXPECT_EQ(g_double_flags, 0xfdffffffu);
    }
    EXPECT_EQ(prop_batch_execute(ctx, &g_batch, 0x10), 0u);
    EXPECT_EQ(g_double_flags, 0x2000010u);
}

}  // namespace

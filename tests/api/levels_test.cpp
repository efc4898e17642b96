// Every export at every boot level, as its rule says: which levels reach the
// operation, what the others return, which failures are escalated; and the
// argument checks the wrappers make before anything else.
#include <functional>
#include <string>

#include "api/rules.h"
#include "api_fixture.h"
#include "platform/trace.h"

namespace {

using propreg::export_id;
using propreg::rule_of;

// Arguments that are merely not NULL.
char g_name[PROP_LOCNAME_SIZE] = "name";
char g_names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];
char g_buf[4096], *g_list;
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

// One export: its double, and a call with arguments that are merely not
// NULL.  What each export allows is its rule; these tests prove that the
// exports follow the rule they are listed under.
struct ExportCase {
    export_id id;
    std::function<void()> install;
    std::function<u32(backend_ctx *)> call;
    bool level_arg = false;  // the level is an argument: no context to leave out
};

#define EXPORT(member) export_id::member, [] { put_double(g_prop_ops.member); }

std::vector<ExportCase> export_cases()
{
    using C = backend_ctx *;
    return {
        {EXPORT(setup), [](C c) {
             return prop_setup(&g_ctxout, nullptr, nullptr, &g_sec, &g_meta, nullptr, i32(c->prop_boot_mode), &g_u32);
         }, true},
        {EXPORT(init), [](C c) {
             return prop_init(&g_ctxout, &g_meta, nullptr, nullptr, c->prop_boot_mode, nullptr, nullptr);
         }, true},
        {EXPORT(init_reboot), [](C c) { return prop_init_reboot(c); }},
        {EXPORT(reinit), [](C c) { return prop_reinit(c, nullptr); }},
        {EXPORT(terminate), [](C c) { return prop_terminate(c, 0); }},
        {EXPORT(close_io), [](C c) { return prop_close_io(c); }},
        {EXPORT(dump_ctx), [](C c) { return prop_dump_ctx(c); }},
        {EXPORT(open), [](C c) { return prop_open(c, "SYSTEM", &g_keyout, 0); }},
        {EXPORT(close), [](C c) { return prop_close(c, g_key); }},
        {EXPORT(create_key), [](C c) { return prop_create_key(c, g_key, "a", &g_sec, &g_keyout, &g_u32, 0); }},
        {EXPORT(create_n_set_key),
         [](C c) { return prop_create_n_set_key(c, g_key, "a", &g_sec, &g_keyout, &g_u32, 3, "v", 2, 0); }},
        {EXPORT(delete_key), [](C c) { return prop_delete_key(c, g_key, 0, 0); }},
        {EXPORT(move_key), [](C c) { return prop_move_key(c, g_key, g_key, "b", nullptr, &g_keyout, 0); }},
        {EXPORT(enum_subkey), [](C c) { return prop_enum_subkey(c, g_key, &g_list, &g_u32, &g_u32, 0); }},
        {EXPORT(batch_execute), [](C c) { return prop_batch_execute(c, &g_batch, 0); }},
        {EXPORT(set_value), [](C c) { return prop_set_value(c, g_key, 3, "v", 2, 0); }},
        {EXPORT(get_value), [](C c) { return prop_get_value(c, g_key, &g_u32, g_buf, &g_u32, 0); }},
        {EXPORT(delete_value), [](C c) { return prop_delete_value(c, g_key, 0); }},
        {EXPORT(get_security), [](C c) { return prop_get_security(c, g_key, &g_sec); }},
        {EXPORT(set_security), [](C c) { return prop_set_security(c, g_key, &g_sec, 0); }},
        {EXPORT(check_perm_recurse), [](C c) { return prop_check_perm_recurse(c, nullptr, g_key, 3); }},
        {EXPORT(get_conf),
         [](C c) { return prop_get_conf(c, nullptr, &g_u32, g_names, &g_u32, g_buf, g_buf, &g_u64, 0); }},
        {EXPORT(get_conf_handle), [](C c) { return prop_get_conf_handle(c, g_names); }},
        {EXPORT(check_storage), [](C c) { return prop_check_storage(c, "/x", g_buf, &g_u32, 0); }},
        {EXPORT(get_dev), [](C c) { return prop_get_dev(c, g_dev, g_buf, &g_u64, 0); }},
        {EXPORT(compare_dev), [](C) { return prop_compare_dev(g_dev, g_dev, g_buf, &g_u32); }},
        {EXPORT(check_dev), [](C c) { return prop_check_dev(c, 1, "/y"); }},
        {EXPORT(replace_dev), [](C c) { return prop_replace_dev(c, 1, "/y", 1); }},
        {EXPORT(migrate_dev), [](C c) { return prop_migrate_dev(c, 1); }},
        {EXPORT(prechk_confchange), [](C c) { return prop_prechk_confchange(c, 1, "/y"); }},
        {EXPORT(overwrite_conf), [](C) { return prop_overwrite_conf(&g_meta); }},
        {EXPORT(repair_conf), [](C) { return prop_repair_conf(&g_meta, 1, "/y", 0); }},
        {EXPORT(autorepair_conf), [](C c) { return prop_autorepair_conf(c, g_names); }},
        {EXPORT(rim_autorepair_conf), [](C) { return prop_rim_autorepair_conf(&g_meta, g_names, g_names); }},
        {EXPORT(get_devid), [](C c) { return prop_get_devid(c, "/y", &g_u32); }},
        {EXPORT(get_id), [](C c) { return prop_get_id(c, &g_u32, g_dev, 0); }},
        {EXPORT(bkup), [](C c) { return prop_bkup(c, g_name); }},
        {EXPORT(recover_media), [](C) { return prop_recover_media(&g_meta, "/b", 0); }},
        {EXPORT(delete_bkpfile), [](C c) { return prop_delete_bkpfile(c, "/d", "f", 0); }},
        {EXPORT(rename_bkpfile), [](C c) { return prop_rename_bkpfile(c, "/d", "f", "g", 0); }},
        {EXPORT(copy_bkpfile), [](C c) { return prop_copy_bkpfile(c, "/d", "f", "/e", g_name); }},
        {EXPORT(cbkp_init),
         [](C c) { return prop_cbkp_init(c, &g_meta, &g_cbkp, "/r", PROP_CBKP_EXPORT, 0, nullptr, 0); }},
        {EXPORT(cbkp_writerec), [](C) { return prop_cbkp_writerec(g_cbkp_in, &g_record); }},
        {EXPORT(cbkp_readrec), [](C) { return prop_cbkp_readrec(g_cbkp_in, &g_record); }},
        {EXPORT(cbkp_term), [](C) { return prop_cbkp_term(g_cbkp_in); }},
        {EXPORT(get_block), [](C c) { return prop_get_block(c, g_key, 0, g_buf, &g_u32, &g_u32, 0); }},
        {EXPORT(interpret_block), [](C c) { return prop_interpret_block(c, 25, g_buf, 4096, g_buf, &g_u32, 0); }},
        {EXPORT(set_block), [](C c) { return prop_set_block(c, g_key, 0, g_buf, &g_u32, 0); }},
        {EXPORT(get_status), [](C c) { return prop_get_status(c, &g_status, 0); }},
        {EXPORT(get_state), [](C c) { return prop_get_state(c, &g_u32, 0); }},
        {EXPORT(set_state), [](C c) { return prop_set_state(c, 0x10, 0); }},
        {EXPORT(check_logical_corruption), [](C c) { return prop_check_logical_corruption(c); }},
        {EXPORT(recover), [](C c) { return prop_recover(c, 0); }},
        {EXPORT(recover_numpage), [](C c) { return prop_recover_numpage(c); }},
        {EXPORT(is_zkvonvld), [](C c) { return prop_is_zkvonvld(c, "+dg", &g_u32, 0); }},
        {EXPORT(delete_vldfile), [](C c) { return prop_delete_vldfile(c, "+dg/f", 0); }},
        {EXPORT(vld_directconn), [](C c) { return prop_vld_directconn(c); }},
        {EXPORT(file_exists), [](C) { return prop_file_exists(&g_meta, "/f", &g_u32, 0); }},
        {EXPORT(get_version), [](C c) { return prop_get_version(c, &g_u32); }},
    };
}

using LevelTest = ApiTest;

TEST_F(LevelTest, EveryExportAtEveryLevelAndWithANullContext)
{
    auto cases = export_cases();
    ASSERT_EQ(cases.size(), static_cast<size_t>(export_id::count_));
    constexpr u32 kFailure = PROP_E_BKPFILE;  // a failure no special rule treats as success
    for (size_t i = 0; i < cases.size(); i++) {
        const ExportCase &e = cases[i];
        ASSERT_EQ(static_cast<size_t>(e.id), i) << "listed in export order";
        const propreg::export_rule &r = rule_of(e.id);
        e.install();
        for (u32 level : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 1000u}) {
            SCOPED_TRACE(std::string(r.log_name) + " at level " + std::to_string(level));
            at_level(level);
            u_reset_error(zkv, nullptr);
            g_double_calls = 0;
            g_double_rc = kFailure;
            // What the rule says a call at this level must do.
            const bool reaches = r.levels == propreg::kAnyLevel || (level < 32 && ((r.levels >> level) & 1u) != 0);
            const bool legacy_0 = (level == 5 || level == 6) && r.legacy == propreg::legacy_rule::returns_0;
            const bool escalated =
                r.esc == propreg::esc_rule::prechk || (r.esc != propreg::esc_rule::none && level == 1);
            EXPECT_EQ(e.call(ctx), reaches ? kFailure : legacy_0 ? 0u : 2u);
            EXPECT_EQ(g_double_calls, reaches ? 1 : 0);
            EXPECT_EQ(recorded(), reaches && escalated ? kFailure : 0u);
        }

        if (e.level_arg) continue;
        SCOPED_TRACE(std::string(r.log_name) + " with a NULL context");
        g_double_calls = 0;
        g_double_rc = 0;
        EXPECT_EQ(e.call(nullptr), r.null_ctx_code);
        EXPECT_EQ(g_double_calls, r.null_ctx_code == 0 ? 1 : 0);
    }
    // The one refusal text made from the export's name.
    trace_capture_start();
    prop_get_value(nullptr, g_key, &g_u32, g_buf, &g_u32, 0);
    EXPECT_TRUE(trace_captured_contains("propr_get_value: NULL context passed"));
    trace_capture_stop();
}

TEST_F(LevelTest, NullHandleAndArguments)
{
    using C = backend_ctx *;
    // One missing argument per export that checks its own: refused before
    // the operation runs.
    const std::function<u32(C)> with_null_argument[] = {
        [](C c) { return prop_autorepair_conf(c, nullptr); },
        [](C) { return prop_rim_autorepair_conf(nullptr, g_names, g_names); },
        [](C c) { return prop_delete_vldfile(c, nullptr, 0); },
        [](C c) { return prop_is_zkvonvld(c, "+a", nullptr, 0); },
        [](C c) { return prop_get_version(c, nullptr); },
        [](C c) { return prop_delete_bkpfile(c, "/d", nullptr, 0); },
        [](C c) { return prop_rename_bkpfile(c, "/d", "f", nullptr, 0); },
        [](C c) { return prop_copy_bkpfile(c, "/d", "f", "/e", nullptr); },
        [](C c) { return prop_get_dev(c, g_dev, g_buf, nullptr, 0); },
        [](C) { return prop_compare_dev(g_dev, nullptr, g_buf, &g_u32); },
        [](C) { return prop_file_exists(&g_meta, "/f", nullptr, 0); },
    };
    for (const ExportCase &e : export_cases()) e.install();
    at_level(PROP_LEVEL_CACHING);
    for (size_t i = 0; i < std::size(with_null_argument); i++) {
        g_double_calls = 0;
        EXPECT_EQ(with_null_argument[i](ctx), PROP_E_NULL) << i;
        EXPECT_EQ(g_double_calls, 0) << i;
    }
    ctx->propb_ctx = nullptr;  // a context without its handle
    for (const ExportCase &e : export_cases()) {
        const propreg::export_rule &r = rule_of(e.id);
        if (r.null_handle_code == 0) continue;
        g_double_calls = 0;
        EXPECT_EQ(e.call(ctx), r.null_handle_code) << r.log_name;
        EXPECT_EQ(g_double_calls, 0) << r.log_name;
    }
    ctx->propb_ctx = handle;
}

TEST_F(LevelTest, LevelsWithARuleOfTheirOwn)
{
    put_double(g_prop_ops.init);
    put_double(g_prop_ops.setup);
    trace_capture_start();

    // The node-local registry has no legacy format at all.
    make_zkv(PROP_KIND_NKV);
    EXPECT_EQ(prop_init(&g_ctxout, meta, sec, nullptr, 6, zkv, nullptr), PROP_E_NOCONF);
    EXPECT_EQ(g_double_calls, 0);

    // A fresh store raises the format alert from the context's alert base.
    g_double_rc = 0;
    EXPECT_EQ(prop_setup(&g_ctxout, sec, nullptr, &g_sec, meta, zkv, 0, nullptr), PROP_OK);
    EXPECT_EQ(prop_setup(&g_ctxout, sec, nullptr, &g_sec, meta, nullptr, 0, nullptr), PROP_OK);
    make_zkv(PROP_KIND_ZKV);
    EXPECT_EQ(prop_setup(&g_ctxout, sec, nullptr, &g_sec, meta, zkv, 4, nullptr), PROP_OK);
    g_double_rc = PROP_E_STORAGE;
    EXPECT_EQ(prop_setup(&g_ctxout, sec, nullptr, &g_sec, meta, zkv, 0, nullptr), PROP_E_STORAGE);
    EXPECT_EQ(prop_setup(&g_ctxout, sec, nullptr, &g_sec, meta, zkv, 6, nullptr), PROP_E_LEVEL);
    std::string alerts;
    for (const auto &a : alerts_captured())
        alerts += std::to_string(a.number) + "(" + a.args + ") ";
    EXPECT_EQ(alerts, "2101(4) 1001(4) 1001(4) ");
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
    EXPECT_EQ(prop_batch_execute(ctx, &g_batch, 0x10), PROP_OK);
    EXPECT_EQ(g_double_flags, 0x2000010u);
}

}  // namespace

// Every export reaches its working operation, not a refusal, at every
// level the level table gives it: each is called with real arguments on a
// real store opened at that level.  Those that serve the caching level
// alone, or take no store, and formatting for an upgrade are run by their
// own folders' tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "support/batch_builder.h"
#include "support/store.h"
#include "support/tmpdir.h"

namespace {

template <class... L>
constexpr uint32_t lv(L... levels)
{
    return ((1u << levels) | ...);
}

constexpr uint32_t kOpen = lv(0, 1, 2, 4, 8);
constexpr uint32_t kWrite = lv(0, 1, 4);

// What one level's calls share.
struct At {
    Store &s;
    TempDir &dir;
    uint32_t level;
    propr_keyhandle *system = nullptr;  // SYSTEM, open
    backend_ctx *ctx() const { return s.ctx(); }
    std::string name(const std::string &base) const { return base + std::to_string(level); }
    std::string path(const std::string &base) const { return dir.file(name(base)); }
};

// Opens SYSTEM.<sub>, runs op on it and closes it: the first failing code.
uint32_t with_key(At &a, const std::string &sub, const std::function<uint32_t(propr_keyhandle *)> &op)
{
    propr_keyhandle *key = nullptr;
    uint32_t rc = prop_open(a.ctx(), ("SYSTEM." + sub).c_str(), &key, 0);
    if (rc == 0) rc = op(key);
    const uint32_t crc = key != nullptr ? prop_close(a.ctx(), key) : 0;
    return rc != 0 ? rc : crc;
}

// Makes SYSTEM.<sub>, with a value if one is given.
uint32_t make_key(At &a, const std::string &sub, const char *value = nullptr)
{
    sec_attr sec = a.s.top_security();
    propr_keyhandle *key = nullptr;
    uint32_t disp = 0;
    uint32_t rc = value == nullptr
                      ? prop_create_key(a.ctx(), a.system, sub.c_str(), &sec, &key, &disp, 0)
                      : prop_create_n_set_key(a.ctx(), a.system, sub.c_str(), &sec, &key, &disp, PROP_TYPE_BYTES,
                                              value, static_cast<uint32_t>(std::strlen(value)), 0);
    if (key != nullptr) prop_close(a.ctx(), key);
    return rc;
}

// The tree node of SYSTEM, as the block calls read it.
uint32_t system_block(At &a, char *block, uint32_t *size, uint32_t *blkno)
{
    *size = 4096;
    return prop_get_block(a.ctx(), a.system, 0, block, size, blkno, PROP_BLOCK_BY_KEY);
}

uint32_t record_file(backend_ctx *ctx, prop_metactx *meta, const std::string &path, uint32_t direction,
                     const std::function<uint32_t(prop_cbkp *)> &op)
{
    prop_cbkp *c = nullptr;
    uint32_t rc = prop_cbkp_init(ctx, meta, &c, path.c_str(), direction, PROP_CBKP_IMPORT_ASIS, nullptr, 0);
    if (rc == 0) rc = op(c);
    const uint32_t trc = c != nullptr ? prop_cbkp_term(c) : 0;
    return rc != 0 ? rc : trc;
}

// Out-arguments the calls share; the sizes are those of g_text, afresh for each call.
prop_record g_record{};
char g_names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];
char g_text[8192], g_home[4096];
uint32_t g_n, g_dev[PROP_MAX_LOCATIONS];
sec_attr g_sec;
prop_status g_status;
uint32_t *text_size()
{
    static uint32_t size;
    return &(size = sizeof g_text);
}
u64 *text_size64()
{
    static u64 size;
    return &(size = sizeof g_text);
}

struct Case {
    const char *name;
    uint32_t levels;
    std::function<uint32_t(At &)> call;
};

// In the order they run at one level; the store stays open throughout.
// prop_open, prop_close, prop_get_block and the record file's init and
// term are parts of other calls; the context dump and the names of the handle are
// the export layer's own (own_ops_test).
std::vector<Case> open_store_cases()
{
    auto u = [](const char *n, uint32_t l, std::function<uint32_t(At &)> f) { return Case{n, l, std::move(f)}; };
    return {
        u("prop_init_reboot", kOpen, [](At &a) { return prop_init_reboot(a.ctx()); }),
        u("prop_create_key", kWrite, [](At &a) { return make_key(a, a.name("k")); }),
        u("prop_create_n_set_key", kWrite, [](At &a) { return make_key(a, a.name("v"), "value"); }),
        u("prop_move_key", kWrite, [](At &a) {
            return with_key(a, a.name("k"), [&](propr_keyhandle *k) {
                propr_keyhandle *moved = nullptr;
                uint32_t rc = prop_move_key(a.ctx(), k, a.system, a.name("m").c_str(), nullptr, &moved, 0);
                if (moved != nullptr) prop_close(a.ctx(), moved);
                return rc;
            });
        }),
        u("prop_enum_subkey", kOpen, [](At &a) {
            char *buf = nullptr;
            uint32_t len = 0, count = 0;
            uint32_t rc = prop_enum_subkey(a.ctx(), a.system, &buf, &len, &count, 0);
            if (buf != nullptr) prop_fe_free_block(a.s.meta(), buf);
            return rc;
        }),
        u("prop_batch_execute", kWrite, [](At &a) {
            BatchBuilder b;
            b.add(PROP_BATCH_CREATE_KEY, a.system, a.name("b").c_str()).sec = a.s.top_security();
            const uint32_t rc = prop_batch_execute(a.ctx(), b.get(), 0);
            for (propr_keyhandle *k : b.take_handles()) prop_close(a.ctx(), k);
            return rc;
        }),
        u("prop_set_value", kWrite, [](At &a) {
            return with_key(a, a.name("m"), [&](propr_keyhandle *k) {
                return prop_set_value(a.ctx(), k, PROP_TYPE_BYTES, "abc", 3, 0);
            });
        }),
        u("prop_get_value", kOpen, [](At &a) {
            return with_key(a, "app", [&](propr_keyhandle *k) {
                return prop_get_value(a.ctx(), k, &g_n, g_text, text_size(), 0);
            });
        }),
        u("prop_delete_value", kWrite, [](At &a) {
            return with_key(a, a.name("m"), [&](propr_keyhandle *k) { return prop_delete_value(a.ctx(), k, 0); });
        }),
        u("prop_get_security", kOpen, [](At &a) { return prop_get_security(a.ctx(), a.system, &g_sec); }),
        u("prop_set_security", kWrite, [](At &a) {
            return with_key(a, a.name("m"), [&](propr_keyhandle *k) {
                sec_attr sec = a.s.top_security();
                return prop_set_security(a.ctx(), k, &sec, 0);
            });
        }),
        u("prop_delete_key", kWrite, [](At &a) {
            return with_key(a, a.name("m"), [&](propr_keyhandle *k) { return prop_delete_key(a.ctx(), k, 0, 0); });
        }),
        u("prop_check_perm_recurse", kOpen,
          [](At &a) { return prop_check_perm_recurse(a.ctx(), a.s.sec(), a.system, PROP_PERM_QUERY_KEY); }),

        u("prop_get_conf", kOpen, [](At &a) {
            return prop_get_conf(a.ctx(), nullptr, &g_n, g_names, &g_n, g_home, g_text, text_size64(), PROP_KIND_ZKV);
        }),
        u("prop_check_storage", kOpen, [](At &a) {
            return prop_check_storage(a.ctx(), a.s.location(0).c_str(), g_text, text_size(), PROP_KIND_ZKV);
        }),
        u("prop_get_dev", kOpen,
          [](At &a) { return prop_get_dev(a.ctx(), g_dev, g_text, text_size64(), PROP_KIND_ZKV); }),
        u("prop_prechk_confchange", kOpen,
          [](At &a) { return prop_prechk_confchange(a.ctx(), 2, a.path("spare").c_str()); }),
        u("prop_get_devid", kOpen, [](At &a) { return prop_get_devid(a.ctx(), a.s.location(0).c_str(), &g_n); }),
        u("prop_get_id", kOpen, [](At &a) { return prop_get_id(a.ctx(), &g_n, g_dev, 0); }),

        u("prop_bkup", kOpen, [](At &a) {
            char name[PROP_LOCNAME_SIZE];
            std::snprintf(name, sizeof name, "%s", a.path("bk").c_str());
            return prop_bkup(a.ctx(), name);
        }),
        u("prop_copy_bkpfile", lv(0, 1, 2, 4, 8), [](At &a) {
            char out[PROP_LOCNAME_SIZE];
            std::snprintf(out, sizeof out, "%s", a.name("copy").c_str());
            return prop_copy_bkpfile(a.ctx(), a.dir.path().c_str(), a.name("bk").c_str(), a.dir.path().c_str(), out);
        }),
        u("prop_cbkp_writerec", kOpen, [](At &a) {
            std::snprintf(g_record.keyname, sizeof g_record.keyname, "SYSTEM.app");
            return record_file(a.ctx(), nullptr, a.path("rec2"), PROP_CBKP_EXPORT,
                               [](prop_cbkp *c) { return prop_cbkp_writerec(c, &g_record); });
        }),
        u("prop_cbkp_readrec", kOpen, [](At &a) {
            return record_file(a.ctx(), nullptr, a.path("rec2"), PROP_CBKP_IMPORT,
                               [](prop_cbkp *c) { return prop_cbkp_readrec(c, &g_record); });
        }),

        u("prop_interpret_block", lv(0, 2, 4, 8), [](At &a) {
            uint32_t size = 0, blkno = 0;
            char block[4096];
            const uint32_t rc = system_block(a, block, &size, &blkno);
            return rc != 0 ? rc : prop_interpret_block(a.ctx(), blkno, block, 4096, g_text, text_size(), 0);
        }),
        u("prop_set_block", lv(0, 4), [](At &a) {
            uint32_t size = 0, blkno = 0;
            char block[4096];
            const uint32_t rc = system_block(a, block, &size, &blkno);
            return rc != 0 ? rc : prop_set_block(a.ctx(), a.system, 0, block, &size, PROP_BLOCK_BY_KEY);
        }),
        u("prop_get_status", kOpen, [](At &a) { return prop_get_status(a.ctx(), &g_status, 0); }),
        u("prop_get_state", kOpen, [](At &a) { return prop_get_state(a.ctx(), &g_n, 0); }),
        // A read-only store takes the state into its own view only.
        u("prop_set_state", kOpen,
          [](At &a) { return prop_set_state(a.ctx(), 0, a.level == 2 || a.level == 8 ? 0x200000 : 0); }),
        u("prop_check_logical_corruption", lv(0, 2, 4, 8),
          [](At &a) { return prop_check_logical_corruption(a.ctx()); }),
        u("prop_recover", kWrite, [](At &a) { return prop_recover(a.ctx(), 0); }),

        u("prop_is_zkvonvld", lv(0, 1, 2, 4), [](At &a) { return prop_is_zkvonvld(a.ctx(), nullptr, &g_n, 0); }),
        u("prop_get_version", kWrite, [](At &a) { return prop_get_version(a.ctx(), &g_n); }),
    };
}

TEST(Reach, EveryExportReachesItsOperationAtEveryLevelItLists)
{
    TempDir dir;
    std::set<std::string> reached;
    auto expect_reached = [&](const char *name, uint32_t level, uint32_t rc) {
        EXPECT_EQ(rc, PROP_OK) << name << " at level " << level;
        reached.insert(name);
    };
    Store s({.locations = 2});
    expect_reached("prop_setup", 0, s.setup(PROP_LEVEL_RW));
    ASSERT_EQ(s.terminate(), 0u);
    ASSERT_EQ(s.init(PROP_LEVEL_RW), PROP_OK);
    {
        At a{s, dir, 0};
        ASSERT_EQ(prop_open(s.ctx(), "SYSTEM", &a.system, 0), PROP_OK);
        ASSERT_EQ(make_key(a, "app"), 0u);
        prop_close(s.ctx(), a.system);
        char backup[PROP_LOCNAME_SIZE];
        std::snprintf(backup, sizeof backup, "%s", dir.file("level8").c_str());
        ASSERT_EQ(prop_bkup(s.ctx(), backup), PROP_OK);
    }
    ASSERT_EQ(s.terminate(), 0u);

    const std::vector<Case> cases = open_store_cases();
    for (uint32_t level : {0u, 1u, 2u, 4u, 8u}) {
        SCOPED_TRACE("level " + std::to_string(level));
        std::string backup = dir.file("level8");
        if (FILE *f = std::fopen(dir.file("spare" + std::to_string(level)).c_str(), "a")) std::fclose(f);
        const uint32_t rc = level == 8 ? s.init(level, backup.data()) : s.init(level);
        expect_reached("prop_init", level, rc);
        if (rc != 0) continue;
        At a{s, dir, level};
        ASSERT_EQ(prop_open(s.ctx(), "SYSTEM", &a.system, 0), PROP_OK);
        for (const Case &c : cases)
            if ((c.levels >> level) & 1u) expect_reached(c.name, level, c.call(a));
        prop_close(s.ctx(), a.system);
        if (level == 1) expect_reached("prop_close_io", level, prop_close_io(s.ctx()));
        expect_reached("prop_terminate", level, s.terminate());
    }

    // Two exports that take no store, run by no other folder.
    uint32_t dev[PROP_MAX_LOCATIONS] = {};
    char local[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE] = {};
    for (uint32_t i = 0; i < 2; i++) std::snprintf(local[i], sizeof local[i], "%s", s.config_name(i).c_str());
    expect_reached("prop_compare_dev", 0, prop_compare_dev(dev, dev, g_text, text_size()));
    expect_reached("prop_rim_autorepair_conf", 0, prop_rim_autorepair_conf(s.meta(), local, local));
    EXPECT_EQ(reached.size(), 38u);
}

}  // namespace

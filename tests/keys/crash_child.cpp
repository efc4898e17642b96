// The child side of the crash tests: opens the store the inherited
// configuration names and runs one operation on it, one transaction on the
// keys crash_test.cpp makes.  Under $PROPREG_FAULTS the fault layer may end
// it at any write.  A report file, when named, receives the number of
// writes made before and after the operation.
//
// Usage: keys_crash_child <set|create|cnset|rdelete|move|batch> [report-file]
#include <cstdlib>
#include <string>

#include "keys_data.h"
#include "platform/fault_env.h"
#include "propreg/frontend.h"
#include "support/batch_builder.h"

namespace {

unsigned long long writes_so_far()
{
    auto *faults = dynamic_cast<FaultEnv *>(env_current());
    return faults != nullptr ? faults->writes() : 0;
}

// One operation; every handle it opens is closed at the end.  A key that
// fails to open shows as the operation's own failure.
struct Run {
    backend_ctx *ctx;
    sec_attr sec;
    std::vector<propr_keyhandle *> open;

    ~Run()
    {
        for (propr_keyhandle *kh : open) prop_close(ctx, kh);
    }
    propr_keyhandle *key(const char *name)
    {
        propr_keyhandle *kh = nullptr;
        if (prop_open(ctx, name, &kh, 0) == 0) open.push_back(kh);
        return kh;
    }
    uint32_t operator()(const std::string &op)
    {
        propr_keyhandle *made = nullptr;
        uint32_t disp = 0, rc = PROP_E_ARG;
        std::vector<uint8_t> v = pattern(op == "set" ? 9000 : 5000, 2);
        const uint32_t size = static_cast<uint32_t>(v.size());
        if (op == "set")  // SYSTEM.crash grows to three pages
            rc = prop_set_value(ctx, key("SYSTEM.crash"), PROP_TYPE_BYTES, v.data(), size, 0);
        else if (op == "create")
            rc = prop_create_key(ctx, key("SYSTEM"), "c1.c2.c3", &sec, &made, &disp, 0);
        else if (op == "cnset")
            rc = prop_create_n_set_key(ctx, key("SYSTEM"), "n1.n2", &sec, &made, &disp, PROP_TYPE_TEXT, v.data(),
                                       size, 0);
        else if (op == "rdelete")
            rc = prop_delete_key(ctx, key("SYSTEM.tree"), 1, 0);
        else if (op == "move")
            rc = prop_move_key(ctx, key("SYSTEM.tree"), key("SYSTEM.dest"), "moved", nullptr, &made, 0);
        else if (op == "batch")
            rc = batch();
        if (made != nullptr) prop_close(ctx, made);
        return rc;
    }
    // Five operations of every kind that touches pages, in one batch.
    uint32_t batch()
    {
        BatchBuilder b;
        b.add(PROP_BATCH_CREATE_KEY, key("SYSTEM"), "b1").sec = sec;
        b.set_value(key("SYSTEM.crash"), pattern(4000, 5));
        b.add(PROP_BATCH_SET_SECURITY, key("SYSTEM.crash")).sec = make_sec(sec.username, sec.groupname, 7, 6, 5);
        b.add(PROP_BATCH_DELETE_TREE, key("SYSTEM.tree.c2"));
        b.add(PROP_BATCH_MOVE_KEY, key("SYSTEM.tree.c1"), "m").key2 = key("SYSTEM.dest");
        uint32_t rc = prop_batch_execute(ctx, b.get(), 0);
        for (propr_keyhandle *made : b.take_handles()) prop_close(ctx, made);
        return rc;
    }
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return 2;
    prop_metactx *meta = prop_fe_meta_create();
    prop_clsctx *cls = prop_fe_clsctx_create("node1");
    prop_secctx *sec = prop_fe_secctx_create(nullptr, nullptr, cls);
    prop_fe_zkv_opts opts{};
    opts.developer_mode = std::getenv("ZKV_DEVELOPER_ENV") != nullptr ? 1 : 0;
    przkv_ctx *zkv = prop_fe_zkvctx_create(meta, sec, &opts);
    backend_ctx *ctx = nullptr;
    if (prop_init(&ctx, meta, sec, cls, PROP_LEVEL_RW, zkv, nullptr) != 0) return 3;

    unsigned long long before = writes_so_far();
    uint32_t rc =
        Run{ctx, make_sec(sec->user, sec->group, PROP_PERM_ALL_ACCESS, PROP_PERM_READ, 0), {}}(argv[1]);
    unsigned long long after = writes_so_far();
    prop_terminate(ctx, 0);
    prop_fe_zkvctx_destroy(zkv);
    prop_fe_secctx_destroy(sec);
    prop_fe_clsctx_destroy(cls);
    prop_fe_meta_destroy(meta);
    if (argc > 2) {
        FILE *f = std::fopen(argv[2], "w");
        if (f == nullptr) return 4;
        std::fprintf(f, "%llu %llu\n", before, after);
        std::fclose(f);
    }
    return rc == 0 ? 0 : 1;
}

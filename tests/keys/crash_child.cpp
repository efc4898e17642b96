// The child side of the crash tests: opens the store the inherited
// configuration names and runs one operation on it.  Under $PROPREG_FAULTS
// the fault layer may end it at any write.  A report file, when named,
// receives the number of writes made before and after the operation.
//
// Usage: keys_crash_child <set|create|cnset|rdelete|move|batch> [report-file]
//   set:     SYSTEM.crash's value grows to three pages
//   create:  SYSTEM.c1.c2.c3 is made
//   cnset:   SYSTEM.n1.n2 is made with a two-page value
//   rdelete, move, batch: the subtree operations of crash_tree_ops.h
#include <cstdlib>
#include <string>

#include "crash_tree_ops.h"
#include "keys_data.h"
#include "platform/fault_env.h"
#include "propreg/frontend.h"

namespace {

unsigned long long writes_so_far()
{
    auto *faults = dynamic_cast<FaultEnv *>(env_current());
    return faults != nullptr ? faults->writes() : 0;
}

uint32_t run(backend_ctx *ctx, const std::string &op, const sec_attr &sec)
{
    if (op != "set" && op != "create" && op != "cnset") return crash_tree_run(ctx, op, sec);
    propr_keyhandle *key = nullptr, *made = nullptr;
    uint32_t disp = 0;
    uint32_t rc = prop_open(ctx, op == "set" ? "SYSTEM.crash" : "SYSTEM", &key, 0);
    if (rc != 0) return rc;
    std::vector<uint8_t> v = pattern(op == "set" ? 9000 : 5000, 2);
    if (op == "set")
        rc = prop_set_value(ctx, key, PROP_TYPE_BYTES, v.data(), static_cast<uint32_t>(v.size()), 0);
    else if (op == "create")
        rc = prop_create_key(ctx, key, "c1.c2.c3", &sec, &made, &disp, 0);
    else
        rc = prop_create_n_set_key(ctx, key, "n1.n2", &sec, &made, &disp, PROP_TYPE_TEXT, v.data(),
                                   static_cast<uint32_t>(v.size()), 0);
    if (made != nullptr) prop_close(ctx, made);
    prop_close(ctx, key);
    return rc;
}

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
    uint32_t rc = run(ctx, argv[1], make_sec(sec->user, sec->group, PROP_PERM_ALL_ACCESS, PROP_PERM_READ, 0));
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

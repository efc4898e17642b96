// The child side of the crash tests: opens the store the inherited
// configuration names, runs one operation and ends.  Under $PROPREG_FAULTS
// the fault layer may end it at any write.  A report file, when named,
// receives the number of writes made before and after the operation.
//
// Usage: keys_crash_child <set|create|cnset> [report-file]
#include <cstdio>
#include <cstdlib>

#include "crash_ops.h"
#include "platform/fault_env.h"
#include "propreg/frontend.h"

namespace {

unsigned long long writes_so_far()
{
    auto *faults = dynamic_cast<FaultEnv *>(env_current());
    return faults != nullptr ? faults->writes() : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return 2;
    prop_metactx *meta = prop_fe_meta_create();
    prop_metactx *fe_meta = prop_fe_meta_create();
    prop_clsctx *cls = prop_fe_clsctx_create("node1");
    prop_secctx *sec = prop_fe_secctx_create(nullptr, nullptr, cls);
    prop_fe_zkv_opts opts{};
    opts.developer_mode = std::getenv("ZKV_DEVELOPER_ENV") != nullptr ? 1 : 0;
    opts.group_name = "testgroup";
    przkv_ctx *zkv = prop_fe_zkvctx_create(fe_meta, sec, &opts);

    backend_ctx *ctx = nullptr;
    uint32_t rc = prop_init(&ctx, meta, sec, cls, PROP_LEVEL_RW, zkv, nullptr);
    if (rc != 0) {
        std::fprintf(stderr, "keys_crash_child: prop_init returned %u\n", rc);
        return 3;
    }
    unsigned long long before = writes_so_far();
    rc = crash_run(ctx, argv[1], crash_sec(sec));
    unsigned long long after = writes_so_far();
    if (rc != 0) std::fprintf(stderr, "keys_crash_child: %s returned %u\n", argv[1], rc);
    prop_terminate(ctx, 0);
    if (argc > 2 && argv[2][0] != '\0') {
        FILE *f = std::fopen(argv[2], "w");
        if (f == nullptr) return 4;
        std::fprintf(f, "%llu %llu\n", before, after);
        std::fclose(f);
    }
    prop_fe_zkvctx_destroy(zkv);
    prop_fe_secctx_destroy(sec);
    prop_fe_clsctx_destroy(cls);
    prop_fe_meta_destroy(fe_meta);
    prop_fe_meta_destroy(meta);
    return rc == 0 ? 0 : 1;
}

// The crash suite's child process: opens the store the inherited
// configuration names and runs one command on it; under $PROPREG_FAULTS
// the fault layer may end it at any write.
//
// Usage: crash_driver run <level> <seed> <ops> <report-file>
//        crash_driver recover <level> <report-file>
//        crash_driver replace <slot> <new-location|-> <master> <report-file>
//        crash_driver open <active-version> <report-file>
//        crash_driver restore <backup-file> <report-file>
//        crash_driver migrate <master> <report-file>
//
// The report gets a line when the store is open and one after each
// operation, written as it goes: the operation's code, the writes so far
// (in all, then per location), then the reads per location.
//
// Exit status: 0 all done; 10 an operation failed; 11 the store did not
// open; 12 no report; else the crash status of the fault rules.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/fault_env.h"
#include "propreg/frontend.h"
#include "workload.h"

namespace {

constexpr int kFailedOp = 10;
constexpr int kNoStore = 11;
constexpr int kNoReport = 12;

// Write counts need the fault layer; without rules it only counts.
FaultEnv *faults()
{
    if (auto *f = dynamic_cast<FaultEnv *>(env_current())) return f;
    static FaultEnv counting(env_posix());
    env_install(&counting);
    return &counting;
}

void report(FILE *out, uint32_t rc)
{
    FaultEnv *f = faults();
    std::fprintf(out, "%u %llu", rc, static_cast<unsigned long long>(f->writes()));
    std::string reads;
    for (int i = 0; i < PROP_MAX_LOCATIONS; i++) {
        std::string tag = "store-location-" + std::to_string(i);
        std::fprintf(out, " %llu", static_cast<unsigned long long>(f->writes(tag.c_str())));
        reads += " " + std::to_string(f->reads(tag.c_str()));
    }
    std::fprintf(out, "%s\n", reads.c_str());
    std::fflush(out);
}

struct Contexts {
    prop_metactx *meta = prop_fe_meta_create();
    prop_clsctx *cls = prop_fe_clsctx_create("node1");
    prop_secctx *sec = prop_fe_secctx_create(nullptr, nullptr, cls);
    prop_grpctx *grp = prop_fe_grpctx_create("testgroup");
    przkv_ctx *zkv = nullptr;
    backend_ctx *ctx = nullptr;

    explicit Contexts(uint32_t level, const char *version = nullptr)
    {
        prop_fe_zkv_opts opts{};
        opts.active_version = version;
        // Crash runs test the durable path a cluster runs; a developer
        // environment only lets a run read another node's configuration.
        opts.developer_mode = 0;
        opts.boot_level = level;
        opts.group_name = "testgroup";
        zkv = prop_fe_zkvctx_create(meta, sec, &opts);
    }
    ~Contexts()
    {
        if (ctx != nullptr) prop_terminate(ctx, 0);
        prop_fe_zkvctx_destroy(zkv);
        prop_fe_grpctx_destroy(grp);
        prop_fe_secctx_destroy(sec);
        prop_fe_clsctx_destroy(cls);
        prop_fe_meta_destroy(meta);
    }
    uint32_t open(uint32_t level)
    {
        return prop_init(&ctx, meta, sec, cls, level, zkv, level == PROP_LEVEL_CACHING ? grp : nullptr);
    }
};

int run(uint32_t level, uint32_t seed, uint32_t count, FILE *out)
{
    Contexts c(level);
    if (c.open(level) != 0) return kNoStore;
    Tree start;
    if (read_tree(c.ctx, &start) != 0) return kNoStore;
    Workload w = make_workload(seed, count, start);
    report(out, 0);
    for (const Op &op : w.ops) {
        uint32_t rc = run_op(c.ctx, op);
        report(out, rc);
        if (rc != 0) return kFailedOp;
    }
    return 0;
}

// The Cache Writer tells the other nodes the locations it runs on.
uint32_t publish(backend_ctx *ctx)
{
    char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];
    uint32_t rc = prop_get_conf_handle(ctx, names);
    if (rc == 0 && prop_fe_publish_locations("testgroup", names) != 0) rc = PROP_E_CLUSTER;
    return rc;
}

// Opens the store at the level given, then one call with a report line
// before and after it.
template <class Call> int one_call(uint32_t level, FILE *out, Call call)
{
    Contexts c(level);
    if (c.open(level) != 0) return kNoStore;
    report(out, 0);
    uint32_t rc = call(c.ctx);
    report(out, rc);
    return rc == 0 ? 0 : kFailedOp;
}

// A change of locations; the Cache Writer (master 1) then publishes it.
template <class How> int change(FILE *out, uint32_t master, How how)
{
    return one_call(PROP_LEVEL_CACHING, out, [&](backend_ctx *ctx) {
        uint32_t rc = how(ctx, master);
        return rc == 0 && master != 0 ? publish(ctx) : rc;
    });
}

// Opens at the CACHING level as a node of the given cluster version whose
// configuration may be stale (it repairs itself from the published one).
int open_node(const char *version, FILE *out)
{
    Contexts c(PROP_LEVEL_CACHING, version);
    report(out, 0);
    uint32_t rc = c.open(PROP_LEVEL_CACHING);
    if (rc == 0) rc = prop_recover(c.ctx, 0);
    report(out, rc);
    return rc == 0 ? 0 : kNoStore;
}

// The restore works on the closed store: one line before it, one after.
int restore(const char *backup, FILE *out)
{
    Contexts c(PROP_LEVEL_RW);
    report(out, 0);
    uint32_t rc = prop_recover_media(c.meta, backup, PROP_KIND_ZKV);
    report(out, rc);
    return rc == 0 ? 0 : kFailedOp;
}

uint32_t number(const char *s)
{
    return static_cast<uint32_t>(std::strtoul(s, nullptr, 0));
}

int dispatch(const std::string &cmd, int argc, char **argv, FILE *out)
{
    if (cmd == "run" && argc == 6) return run(number(argv[2]), number(argv[3]), number(argv[4]), out);
    if (cmd == "recover" && argc == 4)
        return one_call(number(argv[2]), out, [](backend_ctx *ctx) { return prop_recover(ctx, 0); });
    if (cmd == "replace" && argc == 6) {
        const char *to = std::strcmp(argv[3], "-") == 0 ? "" : argv[3];
        return change(out, number(argv[4]), [&](backend_ctx *ctx, uint32_t m) {
            return prop_replace_dev(ctx, number(argv[2]), to, m);
        });
    }
    if (cmd == "migrate" && argc == 4) return change(out, number(argv[2]), prop_migrate_dev);
    if (cmd == "open" && argc == 4) return open_node(argv[2], out);
    if (cmd == "restore" && argc == 4) return restore(argv[2], out);
    return -1;
}

}  // namespace

int main(int argc, char **argv)
{
    faults();
    FILE *out = argc >= 4 ? std::fopen(argv[argc - 1], "w") : nullptr;
    if (argc >= 4 && out == nullptr) return kNoReport;
    int status = argc >= 4 ? dispatch(argv[1], argc, argv, out) : -1;
    if (out != nullptr) std::fclose(out);
    if (status < 0) std::fprintf(stderr, "usage: see the head of driver.cpp\n");
    return status < 0 ? 2 : status;
}

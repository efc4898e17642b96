// propctl_bench: the rows of the benchmark that concern propctl and the
// size of stores, in one run, on stores that propctl init makes (local
// registries, one sparse location file, direct synced I/O).
//
//   propctl_bench --propctl PATH [--dir DIR] [--keys N] [--parents P] [--keep]
//
// Row 1: propctl's batch beside the library's batch of the same changes:
// N sets of new keys, SYSTEM.p<i>.k<j>, spread over P new parents, as
// propctl plans them (one create-and-set under SYSTEM each).  The
// library's figure is its prop_batch_execute call alone; propctl's is the
// whole command, from exec to exit (opening and closing the store, reading
// the file, planning and the same batch call).
// Row 2: the largest store the file system under DIR can hold (what is
// free there, at most what a format can count), made with init --size,
// and the time the library takes to open it and close it again.
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "propreg/frontend.h"
#include "propreg/prop.h"

namespace {

struct Options {
    std::string propctl;
    std::string dir = "propctl-batch-bench";
    unsigned keys = 10000;
    unsigned parents = 100;
    bool keep = false;
};

bool parse(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool more = i + 1 < argc;
        if (a == "--propctl" && more)
            o->propctl = argv[++i];
        else if (a == "--dir" && more)
            o->dir = argv[++i];
        else if (a == "--keys" && more)
            o->keys = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--parents" && more)
            o->parents = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--keep")
            o->keep = true;
        else
            return false;
    }
    return !o->propctl.empty() && o->keys > 0 && o->parents > 0;
}

double cpu_ms(int who)
{
    rusage u{};
    getrusage(who, &u);
    auto ms = [](const timeval &t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

double now_ms()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// The key of change i and its value, as the batch file names them.
std::string rel_name(const Options &o, unsigned i)
{
    unsigned per = (o.keys + o.parents - 1) / o.parents;
    return "p" + std::to_string(i / per) + ".k" + std::to_string(i % per);
}

std::string value_of(unsigned i)
{
    return "v" + std::to_string(i);
}

bool write_batch_file(const Options &o, const std::string &path)
{
    std::ofstream f(path);
    for (unsigned i = 0; i < o.keys; i++) f << "set SYSTEM." << rel_name(o, i) << ' ' << value_of(i) << '\n';
    return static_cast<bool>(f);
}

// Runs propctl with args; its exit status, or -1.  The milliseconds from
// fork to exit go to *ms.  Its output is dropped when quiet.
int run_propctl(const Options &o, const std::vector<std::string> &args, double *ms, bool quiet = true)
{
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(o.propctl.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    double start = now_ms();
    std::fflush(stdout);  // a child would write out what is buffered again
    pid_t pid = fork();
    if (pid == 0) {
        if (quiet) freopen("/dev/null", "w", stdout);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    if (ms != nullptr) *ms = now_ms() - start;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void link_last(prop_list_node *head, prop_list_node *node)
{
    node->prev = head->prev;
    node->next = head;
    head->prev->next = node;
    head->prev = node;
}

struct Timing {
    double wall_ms = -1;
    double cpu_ms = 0;  // user and system
};

// A store propctl made under root, opened through the library at level 0
// as a front end opens it.
class Opened {
  public:
    explicit Opened(const std::string &root)
    {
        setenv("ZKV_REGISTRY_ROOT", root.c_str(), 1);
        meta_ = prop_fe_meta_create();
        cls_ = prop_fe_clsctx_create(nullptr);
        sec_ = prop_fe_secctx_create(nullptr, nullptr, cls_);
        prop_fe_zkv_opts opts{};
        opts.registry_kind = PROP_KIND_NKV;
        zkv_ = prop_fe_zkvctx_create(meta_, sec_, &opts);
        rc_ = prop_init(&ctx_, meta_, sec_, cls_, PROP_LEVEL_RW, zkv_, nullptr);
        if (rc_ == 0) rc_ = prop_recover(ctx_, 0);
    }
    ~Opened()
    {
        close();
        prop_fe_zkvctx_destroy(zkv_);
        prop_fe_secctx_destroy(sec_);
        prop_fe_clsctx_destroy(cls_);
        prop_fe_meta_destroy(meta_);
    }
    Opened(const Opened &) = delete;
    Opened &operator=(const Opened &) = delete;

    uint32_t rc() const { return rc_; }
    backend_ctx *ctx() const { return ctx_; }
    const prop_secctx *sec() const { return sec_; }
    uint32_t close()
    {
        uint32_t rc = ctx_ != nullptr ? prop_terminate(ctx_, 0) : 0;
        ctx_ = nullptr;
        return rc;
    }

  private:
    prop_metactx *meta_ = nullptr;
    prop_clsctx *cls_ = nullptr;
    prop_secctx *sec_ = nullptr;
    przkv_ctx *zkv_ = nullptr;
    backend_ctx *ctx_ = nullptr;
    uint32_t rc_ = 0;
};

// The library's batch of the same changes on the store under root; its
// time, or a negative one after printing why.
Timing library_batch(const Options &o, const std::string &root)
{
    Opened store(root);
    propr_keyhandle *system = nullptr;
    uint32_t rc = store.rc();
    if (rc == 0) rc = prop_open(store.ctx(), "SYSTEM", &system, 0);
    Timing t;
    if (rc == 0) {
        sec_attr owner{};
        owner.userperm = PROP_PERM_ALL_ACCESS;
        owner.groupperm = PROP_PERM_READ;
        owner.otherperm = PROP_PERM_READ;
        std::snprintf(owner.username, sizeof owner.username, "%s", store.sec()->user);
        std::snprintf(owner.groupname, sizeof owner.groupname, "%s", store.sec()->group);
        std::vector<prop_batch_op> ops(o.keys);
        std::vector<prop_batch_result> results(o.keys);
        prop_batch batch{};
        batch.count = o.keys;
        batch.ops.next = batch.ops.prev = &batch.ops;
        batch.results.next = batch.results.prev = &batch.results;
        for (unsigned i = 0; i < o.keys; i++) {
            prop_batch_op &op = ops[i];
            op.opcode = PROP_BATCH_CREATE_SET;
            op.key = system;
            std::snprintf(op.name, sizeof op.name, "%s", rel_name(o, i).c_str());
            op.sec = owner;
            std::string v = value_of(i);
            op.dtype = PROP_TYPE_TEXT;
            op.value_size = static_cast<uint32_t>(v.size() + 1);
            std::memcpy(op.value, v.c_str(), v.size() + 1);
            link_last(&batch.ops, &op.link);
            link_last(&batch.results, &results[i].link);
        }
        double start = now_ms(), cpu = cpu_ms(RUSAGE_SELF);
        rc = prop_batch_execute(store.ctx(), &batch, 0);
        t.wall_ms = now_ms() - start;
        t.cpu_ms = cpu_ms(RUSAGE_SELF) - cpu;
        for (prop_batch_result &r : results)
            if (r.key != nullptr) prop_close(store.ctx(), r.key);
    }
    if (rc != 0) {
        std::fprintf(stderr, "propctl_bench: the library's batch failed: error %u\n", rc);
        t.wall_ms = -1;
    }
    if (system != nullptr) prop_close(store.ctx(), system);
    return t;
}

int batch_row(const Options &o)
{
    const std::string file = o.dir + "/batch.txt";
    const std::string lib_root = o.dir + "/library";
    const std::string cli_root = o.dir + "/propctl";
    if (!write_batch_file(o, file)) {
        std::fprintf(stderr, "propctl_bench: cannot write %s\n", file.c_str());
        return 1;
    }
    for (const std::string &root : {lib_root, cli_root})
        if (run_propctl(o, {"--root", root, "init"}, nullptr) != 0) {
            std::fprintf(stderr, "propctl_bench: propctl init failed under %s\n", root.c_str());
            return 1;
        }
    Timing lib = library_batch(o, lib_root);
    Timing cli;
    const double children = cpu_ms(RUSAGE_CHILDREN);
    int st = run_propctl(o, {"--root", cli_root, "batch", file}, &cli.wall_ms);
    cli.cpu_ms = cpu_ms(RUSAGE_CHILDREN) - children;
    std::filesystem::remove_all(lib_root);
    std::filesystem::remove_all(cli_root);
    if (lib.wall_ms < 0 || st != 0) {
        if (st != 0) std::fprintf(stderr, "propctl_bench: propctl batch exited %d\n", st);
        return 1;
    }
    std::printf("%-46s %10s %10s %10s\n", "sets of new keys", "wall ms", "ms a key", "cpu ms");
    auto row = [&](const std::string &what, const Timing &t) {
        std::printf("%-46s %10.1f %10.4f %10.1f\n", what.c_str(), t.wall_ms, t.wall_ms / o.keys, t.cpu_ms);
    };
    row("library prop_batch_execute, " + std::to_string(o.keys) + " sets", lib);
    row("propctl batch (whole command), " + std::to_string(o.keys) + " lines", cli);
    std::printf("propctl / library: %.2fx wall, %.2fx cpu\n\n", cli.wall_ms / lib.wall_ms, cli.cpu_ms / lib.cpu_ms);
    return 0;
}

// What a format can count at most, as init --size says it; 0 when propctl
// does not say.
uint64_t format_limit(const Options &o)
{
    const std::string probe = o.dir + "/probe";
    const std::string out = o.dir + "/probe.err";
    std::fflush(stdout);  // a child would write out what is buffered again
    pid_t pid = fork();
    if (pid == 0) {
        freopen(out.c_str(), "w", stderr);
        freopen("/dev/null", "w", stdout);
        execl(o.propctl.c_str(), o.propctl.c_str(), "--root", probe.c_str(), "init", "--size", "1T", nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream f(out);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::filesystem::remove_all(probe);
    std::filesystem::remove(out);
    const size_t at = text.find("at most ");
    return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + 8, nullptr, 10);
}

int largest_row(const Options &o)
{
    struct statvfs fs {};
    if (statvfs(o.dir.c_str(), &fs) != 0) return 1;
    const uint64_t free_bytes = uint64_t{fs.f_bavail} * fs.f_frsize;
    const uint64_t limit = format_limit(o);
    // A store the disk can fill: what is free, less a tenth for the rest
    // of the machine, and no more than a format counts.
    uint64_t size = free_bytes / 10 * 9 / 4096 * 4096;
    const bool by_disk = limit == 0 || size < limit;
    if (!by_disk) size = limit;
    const std::string root = o.dir + "/largest";
    double made_ms = 0;
    if (run_propctl(o, {"--root", root, "init", "--size", std::to_string(size)}, &made_ms) != 0) {
        std::fprintf(stderr, "propctl_bench: init --size %llu failed\n", static_cast<unsigned long long>(size));
        return 1;
    }
    double start = now_ms();
    double open_ms = 0, close_ms = 0;
    uint32_t rc = 0;
    {
        Opened store(root);
        open_ms = now_ms() - start;
        rc = store.rc();
        start = now_ms();
        if (store.close() != 0 && rc == 0) rc = 1;
        close_ms = now_ms() - start;
    }
    std::filesystem::remove_all(root);
    if (rc != 0) {
        std::fprintf(stderr, "propctl_bench: the largest store did not open: error %u\n", rc);
        return 1;
    }
    std::printf("largest store on %s: %llu bytes (%s; %llu bytes free, a format counts %llu)\n", o.dir.c_str(),
                static_cast<unsigned long long>(size), by_disk ? "nine tenths of the free space" : "the format's limit",
                static_cast<unsigned long long>(free_bytes), static_cast<unsigned long long>(limit));
    std::printf("%-46s %10.1f ms\n%-46s %10.1f ms\n%-46s %10.1f ms\n", "propctl init --size (whole command)",
                made_ms, "library open (prop_init, prop_recover)", open_ms, "library close (prop_terminate)", close_ms);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: %s --propctl PATH [--dir DIR] [--keys N] [--parents P] [--keep]\n", argv[0]);
        return 2;
    }
    std::filesystem::create_directories(o.dir);
    unsetenv("ZKV_DEVELOPER_ENV");
    int st = batch_row(o);
    if (st == 0) st = largest_row(o);
    if (!o.keep) std::filesystem::remove_all(o.dir);
    return st;
}

// propregd: the registry as a service.  It owns one store at the CACHING
// level for as long as it runs and serves clients on a Unix socket; see
// --help.
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "executor.h"
#include "log.h"
#include "server.h"
#include "store.h"

namespace {

constexpr const char *kUsage =
    "usage: propregd [--root DIR] [--socket PATH] [--pidfile FILE] [--log FILE]\n"
    "                [--no-group-commit] [--watch-queue N] [--lock-wait SECONDS]\n"
    "\n"
    "Owns the store of a configuration root at the caching level and serves it\n"
    "to clients (propctl, programs using the client library) on a Unix socket,\n"
    "checking every request against the key's owner, group and permission\n"
    "levels for the calling user.  Runs in the foreground; SIGTERM stops it\n"
    "after the request in progress.  A storage failure that the caching level\n"
    "treats as fatal ends it with status 1: run it under a supervisor that\n"
    "restarts it (the installed systemd unit does).\n"
    "\n"
    "  --root DIR          the configuration root (default: $ZKV_REGISTRY_ROOT,\n"
    "                      else ~/.local/share/propreg)\n"
    "  --socket PATH       where to listen (default: ROOT/propregd.sock)\n"
    "  --pidfile FILE      write the daemon's process id there\n"
    "  --log FILE          append the log there instead of stderr\n"
    "  --no-group-commit   commit every write on its own\n"
    "  --watch-queue N     events a watcher may have waiting before it is\n"
    "                      sent a resync instead (default 4096)\n"
    "  --lock-wait SECONDS how long to wait for a propctl command that holds\n"
    "                      the store (default 10)\n";

struct Options {
    std::string root;
    std::string socket;
    std::string pidfile;
    std::string log;
    bool group_commit = true;
    size_t watch_queue = 4096;
    int lock_wait = 10;
};

bool number(const char *s, long min, long max, long *out)
{
    char *end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

// 0 to run, else the exit status.
int parse(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        long n = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        } else if (a == "--no-group-commit") {
            o->group_commit = false;
        } else if (a == "--root" && has_value) {
            o->root = argv[++i];
        } else if (a == "--socket" && has_value) {
            o->socket = argv[++i];
        } else if (a == "--pidfile" && has_value) {
            o->pidfile = argv[++i];
        } else if (a == "--log" && has_value) {
            o->log = argv[++i];
        } else if (a == "--watch-queue" && has_value && number(argv[i + 1], 1, 1 << 24, &n)) {
            o->watch_queue = static_cast<size_t>(n);
            i++;
        } else if (a == "--lock-wait" && has_value && number(argv[i + 1], 0, 3600, &n)) {
            o->lock_wait = static_cast<int>(n);
            i++;
        } else {
            std::fprintf(stderr, "propregd: unknown or incomplete option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    return 0;
}

bool write_pidfile(const std::string &path)
{
    if (path.empty()) return true;
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    std::fprintf(f, "%d\n", static_cast<int>(getpid()));
    return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    if (int st = parse(argc, argv, &o); st != 0) return st < 0 ? 0 : st;
    std::string why;
    if (!propregd::log_to(o.log, &why)) {
        std::fprintf(stderr, "propregd: %s\n", why.c_str());
        return 1;
    }
    // Signals are read from a descriptor by the connection thread; no
    // thread is ever interrupted by one.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int sfd = signalfd(-1, &stop, SFD_CLOEXEC);

    propctl::Root root = propctl::choose_root(o.root);
    propregd::Store store;
    if (!store.open(root, o.lock_wait)) return 1;
    propregd::ServerOptions so;
    so.socket_path = o.socket.empty() ? root.dir + "/propregd.sock" : o.socket;
    so.watch_queue = o.watch_queue;
    propregd::Outbox outbox;
    int status = 0;
    {
        propregd::Executor executor(store, outbox, propregd::ExecOptions{o.group_commit});
        propregd::Server server(executor, outbox, store.cls(), so);
        if (sfd < 0 || !server.listen() || !write_pidfile(o.pidfile)) {
            status = 1;
        } else {
            propregd::log_line("group commit %s", o.group_commit ? "on" : "off");
            std::thread worker([&] { executor.run(); });
            server.run(sfd);
            executor.stop();
            worker.join();
            server.finish();
        }
    }
    store.close();
    if (!o.pidfile.empty()) ::unlink(o.pidfile.c_str());
    propregd::log_line(status == 0 ? "stopped" : "could not start");
    return status;
}

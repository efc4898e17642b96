#include "service.h"

#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "propreg/client.h"
#include "propreg_store.h"
#include "stats.h"

extern char **environ;

namespace {

constexpr int kClients[2] = {1, 8};
constexpr uint32_t kValue = 100;

using Step = std::function<uint32_t()>;

double percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty()) return 0;
    size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::max<size_t>(rank, 1) - 1];
}

// Calls and the time they took, gathered over rounds.
struct Samples {
    std::vector<double> latency_us;
    double elapsed_s = 0;
    uint32_t failed = 0;
};

// n threads, each with a step of its own made by make(i), calling it for
// the given time; every call is timed.
void run_clients(int n, double seconds, const std::function<Step(int)> &make, Samples *into)
{
    std::vector<std::vector<double>> lat(static_cast<size_t>(n));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false}, stop{false};
    std::atomic<uint32_t> failed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++) {
        threads.emplace_back([&, i] {
            Step step = make(i);
            if (!step) failed = PROP_E_CTX;
            for (int w = 0; w < 3 && step && failed == 0; w++)
                if (uint32_t rc = step(); rc != 0) failed = rc;
            ready++;
            while (!go) std::this_thread::yield();
            std::vector<double> &mine = lat[static_cast<size_t>(i)];
            while (!stop && failed == 0 && step) {
                const double t0 = now_us();
                if (uint32_t rc = step(); rc != 0) {
                    failed = rc;
                    break;
                }
                mine.push_back(now_us() - t0);
            }
        });
    }
    while (ready < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double start = now_us();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (std::thread &t : threads) t.join();
    into->elapsed_s += (now_us() - start) / 1e6;
    if (failed != 0) into->failed = failed;
    for (auto &v : lat) into->latency_us.insert(into->latency_us.end(), v.begin(), v.end());
}

Rate rate_of(Samples &s)
{
    Rate r;
    if (s.failed != 0) {
        r.why = "failed (" + std::to_string(s.failed) + ")";
        return r;
    }
    std::sort(s.latency_us.begin(), s.latency_us.end());
    r.ran = !s.latency_us.empty();
    r.per_s = static_cast<double>(s.latency_us.size()) / s.elapsed_s;
    r.p50_us = percentile(s.latency_us, 0.5);
    r.p99_us = percentile(s.latency_us, 0.99);
    return r;
}

// One client and eight, in alternating rounds: a shared device changes
// speed from one second to the next, and both rows see the same spells.
void run_pair(double seconds, const std::function<Step(int)> &make, Rate out[2])
{
    constexpr int kRounds = 6;
    Samples one, eight;
    for (int round = 0; round < kRounds; round++) {
        run_clients(kClients[0], seconds / kRounds, make, &one);
        run_clients(kClients[1], seconds / kRounds, make, &eight);
    }
    out[0] = rate_of(one);
    out[1] = rate_of(eight);
}

std::string key_name(int i)
{
    return "SYSTEM.svc.c" + std::to_string(i);
}

// The library called directly: every thread on the one context, each on
// its own key.  Every set-value writes a value different from the last.
void measure_library(PropregStore &store, double seconds, ServiceRows *rows)
{
    backend_ctx *ctx = store.ctx();
    auto make = [&](bool set) {
        return [&, set](int i) -> Step {
            propr_keyhandle *raw = nullptr;
            if (prop_open(ctx, key_name(i).c_str(), &raw, 0) != 0) return {};
            auto h = std::shared_ptr<propr_keyhandle *>(new propr_keyhandle *(raw), [ctx](propr_keyhandle **p) {
                prop_close(ctx, *p);
                delete p;
            });
            auto buf = std::make_shared<std::vector<unsigned char>>(kValue, 0x33);
            if (set) return [=] {
                ++(*buf)[0];
                return prop_set_value(ctx, *h, PROP_TYPE_BYTES, buf->data(), kValue, 0);
            };
            return [=] {
                uint32_t type = 0, size = kValue;
                return prop_get_value(ctx, *h, &type, buf->data(), &size, 0);
            };
        };
    };
    run_pair(seconds, make(false), rows->get[kLibrary]);
    run_pair(seconds, make(true), rows->set[kLibrary]);
}

uint32_t make_keys(PropregStore &store)
{
    backend_ctx *ctx = store.ctx();
    propr_keyhandle *system = nullptr, *svc = nullptr;
    uint32_t disp = 0;
    uint32_t rc = prop_open(ctx, "SYSTEM", &system, 0);
    if (rc == 0) rc = prop_create_key(ctx, system, "svc", &store.security(), &svc, &disp, 0);
    std::vector<unsigned char> value(kValue, 0x11);
    for (int i = 0; rc == 0 && i < kClients[1]; i++) {
        propr_keyhandle *k = nullptr;
        std::string name = key_name(i);
        name = name.substr(name.find_last_of('.') + 1);
        rc = prop_create_n_set_key(ctx, svc, name.c_str(), &store.security(), &k, &disp,
                                   PROP_TYPE_BYTES, value.data(), kValue, 0);
        if (k != nullptr) prop_close(ctx, k);
    }
    if (svc != nullptr) prop_close(ctx, svc);
    if (system != nullptr) prop_close(ctx, system);
    return rc;
}

class DaemonProcess {
  public:
    // The daemon on root; false with why when it does not answer.
    bool start(const std::string &root, bool group_commit, std::string *why)
    {
        socket_ = root + "/propregd.sock";
        std::vector<std::string> words = {PROPREGD_PATH, "--root", root, "--log", root + "/propregd.log"};
        if (!group_commit) words.push_back("--no-group-commit");
        std::vector<char *> argv;
        for (std::string &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, PROPREGD_PATH, nullptr, nullptr, argv.data(), environ) != 0) {
            *why = "cannot run propregd";
            return false;
        }
        for (int i = 0; i < 3000; i++) {
            prc_conn *c = nullptr;
            if (prc_connect(socket_.c_str(), &c) == 0) {
                prc_disconnect(c);
                return true;
            }
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        *why = "propregd did not start (see " + root + "/propregd.log)";
        return false;
    }
    void stop()
    {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    ~DaemonProcess() { stop(); }
    const std::string &socket() const { return socket_; }

  private:
    pid_t pid_ = -1;
    std::string socket_;
};

std::function<Step(int)> daemon_client(const std::string &socket, bool set)
{
    return [socket, set](int i) -> Step {
        prc_conn *raw = nullptr;
        if (prc_connect(socket.c_str(), &raw) != 0) return {};
        auto conn = std::shared_ptr<prc_conn>(raw, prc_disconnect);
        prc_key k = 0;
        if (prc_open(raw, key_name(i).c_str(), &k) != 0) return {};
        auto buf = std::make_shared<std::vector<unsigned char>>(kValue, 0x44);
        if (set) return [=] {
            ++(*buf)[0];
            return prc_set_value(conn.get(), k, PROP_TYPE_BYTES, buf->data(), kValue);
        };
        return [=] {
            uint32_t type = 0, size = kValue;
            return prc_get_value(conn.get(), k, &type, buf->data(), &size);
        };
    };
}

void measure_daemon(const std::string &root, double seconds, ServiceRows *rows)
{
    for (bool group : {true, false}) {
        DaemonProcess d;
        std::string why;
        const ServiceSystem sys = group ? kDaemon : kDaemonAlone;
        if (!d.start(root, group, &why)) {
            for (int c = 0; c < 2; c++) rows->set[sys][c].why = rows->get[sys][c].why = why;
            continue;
        }
        if (group) run_pair(seconds, daemon_client(d.socket(), false), rows->get[sys]);
        run_pair(seconds, daemon_client(d.socket(), true), rows->set[sys]);
    }
}

// SQLite with a connection per thread, each on a row of its own.
void measure_sqlite(const std::string &dir, double seconds, ServiceRows *rows)
{
    const std::string path = dir + "/service.db";
    for (const char *suffix : {"", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
    sqlite3 *db = nullptr;
    int rc = sqlite3_open(path.c_str(), &db);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL; CREATE TABLE kv(name TEXT PRIMARY KEY, value BLOB)", nullptr,
                          nullptr, nullptr);
    for (int i = 0; rc == SQLITE_OK && i < kClients[1]; i++)
        rc = sqlite3_exec(db, ("INSERT INTO kv VALUES('" + key_name(i) + "', zeroblob(100))").c_str(), nullptr, nullptr,
                          nullptr);
    sqlite3_close(db);
    auto make = [&](bool set) {
        return [&, set](int i) -> Step {
            sqlite3 *raw = nullptr;
            if (sqlite3_open(path.c_str(), &raw) != SQLITE_OK) return {};
            auto conn = std::shared_ptr<sqlite3>(raw, sqlite3_close);
            sqlite3_busy_timeout(raw, 10000);
            sqlite3_exec(raw, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
            sqlite3_stmt *st = nullptr;
            const char *sql = set ? "UPDATE kv SET value = ?1 WHERE name = ?2" : "SELECT value FROM kv WHERE name = ?2";
            if (sqlite3_prepare_v2(raw, sql, -1, &st, nullptr) != SQLITE_OK) return {};
            auto stmt = std::shared_ptr<sqlite3_stmt>(st, sqlite3_finalize);
            auto name = std::make_shared<std::string>(key_name(i));
            auto value = std::make_shared<std::vector<unsigned char>>(kValue, 0x55);
            return [=]() -> uint32_t {
                sqlite3_stmt *s = stmt.get();
                // A row written over with what it holds is not written at all.
                ++(*value)[0];
                if (set) sqlite3_bind_blob(s, 1, value->data(), kValue, SQLITE_STATIC);
                sqlite3_bind_text(s, 2, name->c_str(), -1, SQLITE_STATIC);
                int r;
                while ((r = sqlite3_step(s)) == SQLITE_ROW) {
                }
                sqlite3_reset(s);
                (void)conn;
                return r == SQLITE_DONE ? 0 : static_cast<uint32_t>(r);
            };
        };
    };
    if (rc == SQLITE_OK) {
        run_pair(seconds, make(false), rows->get[kSqlite]);
        run_pair(seconds, make(true), rows->set[kSqlite]);
    }
    for (const char *suffix : {"", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
}

std::string cell(const Rate &r)
{
    char buf[64];
    if (!r.ran)
        std::snprintf(buf, sizeof buf, "%s", r.why.empty() ? "-" : r.why.c_str());
    else
        std::snprintf(buf, sizeof buf, "%8.0f/s %7.3f %7.3f", r.per_s, r.p50_us / 1000, r.p99_us / 1000);
    return buf;
}

}  // namespace

bool ServiceRows::ok() const
{
    for (int s = 0; s < kServiceSystems; s++)
        for (int c = 0; c < 2; c++)
            if (!set[s][c].ran || (s != kDaemonAlone && !get[s][c].ran)) return false;
    return true;
}

ServiceRows measure_service(const std::string &dir, bool quick)
{
    ServiceRows rows;
    const double seconds = quick ? 0.6 : 6;  // per row, in rounds
    std::fprintf(stderr, "service: the library, propregd and SQLite with 1 and 8 clients\n");
    std::string why;
    {
        PropregStore store;
        uint32_t rc = store.open(dir, 1, false, PROP_LEVEL_CACHING, &why);
        if (rc == 0 && (rc = make_keys(store)) != 0) {
            why = "making the keys returned ";
            why += std::to_string(rc);
        }
        if (rc != 0) {
            for (auto *table : {rows.get, rows.set})
                for (int s = 0; s < kServiceSystems; s++) table[s][0].why = table[s][1].why = why;
            return rows;
        }
        measure_library(store, seconds, &rows);
    }
    // The store the daemon serves: the same configuration root.
    measure_daemon(dir + "/registry", seconds, &rows);
    measure_sqlite(dir, seconds, &rows);
    return rows;
}

void print_service(std::FILE *out, const ServiceRows &rows)
{
    std::fprintf(out,
                 "\nThrough propregd: requests per second and p50 / p99 latency in ms, each client (thread, connection)\n"
                 "on a key of its own, one durable location; 1 and 8 clients in alternating rounds:\n\n");
    std::fprintf(out, "%-17s %-27s %-27s %-27s\n", "", "", "1 client", "8 clients");
    const char *names[kServiceSystems] = {"library directly", "propregd", "propregd, no group commit",
                                          "SQLite WAL"};
    for (int op = 0; op < 2; op++) {
        for (int s = 0; s < kServiceSystems; s++) {
            if (op == 0 && s == kDaemonAlone) continue;
            const Rate *r = op == 0 ? rows.get[s] : rows.set[s];
            std::fprintf(out, "%-17s %-27s %-27s %-27s\n", s == 0 ? (op == 0 ? "get-value 100 B" : "set-value 100 B") : "",
                         names[s], cell(r[0]).c_str(), cell(r[1]).c_str());
        }
    }
    const Rate *g = rows.set[kDaemon];
    if (g[0].ran && g[1].ran)
        std::fprintf(out, "\nset-value through propregd with group commit: 8 clients make %.1fx the requests of 1.\n",
                     g[1].per_s / g[0].per_s);
}

// A propregd of a test's own: a store under a TempDir made by the built
// propctl, the daemon run as a child process on it, and connections to it
// through the client library.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "propreg/client.h"
#include "support/child.h"
#include "support/tmpdir.h"

// Runs body(0) to body(n - 1) each on a thread of its own, and waits for all.
void on_threads(int n, const std::function<void(int)> &body);

struct DaemonOptions {
    bool serve = false;  // started at once, with no arguments
    // "+DATA": a cluster store's locations there.  Stores are in developer
    // mode: no test here cuts power.
    std::vector<std::string> disk_groups = {};
    std::string init_faults = "";  // $PROPREG_FAULTS while the store is made
};

// The common case: a developer-mode store, served at once.
inline const DaemonOptions kServed{.serve = true};

// A connection closed when it goes out of scope.
class Conn {
  public:
    explicit Conn(prc_conn *c = nullptr) : c_(c) {}
    ~Conn() { prc_disconnect(c_); }
    Conn(Conn &&o) noexcept : c_(o.c_) { o.c_ = nullptr; }
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;
    operator prc_conn *() const { return c_; }

    // Opens name, creating what is missing below an existing top key.
    prc_key key(const std::string &name);
    // Sets a text value (through key()); the code.
    uint32_t set(const std::string &name, const std::string &value);
    // The text value of name, or "<error N>".
    std::string get(const std::string &name);

  private:
    prc_conn *c_;
};

class Daemon {
  public:
    explicit Daemon(const DaemonOptions &options = {});
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Starts propregd with args and $PROPREG_FAULTS (none when empty) and
    // waits until it answers; a test failure when it does not.
    void start(const std::vector<std::string> &args = {}, const std::string &faults = "");
    // SIGTERM (or another signal) and the exit status (128 + signal for
    // a signal, -1 when it did not end within 30 s).
    int stop(int signal = 15);
    // The exit status once it ended by itself, or -1 after timeout_ms.
    int wait_exit(int timeout_ms);
    bool running() const { return pid_ > 0; }

    const std::string &root() const { return root_; }
    std::string socket() const { return root_ + "/propregd.sock"; }
    std::string log() const;
    Conn connect() const;
    // Runs the built propctl on the root; its exit status.
    int propctl(const std::vector<std::string> &args) const;

  private:
    TempDir dir_;
    std::string root_;
    pid_t pid_ = -1;
};

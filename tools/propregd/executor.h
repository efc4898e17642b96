// The store's one thread: it takes the requests the connections decoded,
// checks each against the caller's permissions, runs it through the
// exports and hands back the answer, and after every commit the events of
// the keys it changed.
//
// Group commit: the writes that arrive while a commit runs are taken
// together and run as one batch transaction.  When that batch fails (one
// of its operations is refused, and the batch rolls back whole), each
// request runs again on its own, so every client gets its own request's
// result and nothing is applied twice or lost.  A client is answered only
// once its change is committed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "../../client/wire.h"
#include "caller.h"
#include "store.h"

namespace propregd {

struct Item;

struct Job {
    enum class Kind { request, gone };
    Kind kind = Kind::request;
    uint64_t conn = 0;
    std::shared_ptr<const Caller> caller;
    wire::Request req;
};

// What the store thread hands back to the connections.
struct Outcome {
    uint64_t conn = 0;    // the connection answered (0: events only)
    std::string frame;    // the encoded answer
    bool watch = false;   // the connection now watches watch_key
    std::string watch_key;
    std::vector<wire::Event> events;  // committed changes, in commit order
};

class Outbox {
  public:
    Outbox();
    ~Outbox();
    // Readable whenever outcomes wait.
    int fd() const { return fd_; }
    void post(std::vector<Outcome> &&outcomes);
    std::vector<Outcome> take();

  private:
    int fd_;
    std::mutex mu_;
    std::vector<Outcome> items_;
};

struct ExecOptions {
    bool group_commit = true;
};

class Executor {
  public:
    Executor(Store &store, Outbox &outbox, const ExecOptions &options);
    ~Executor();

    void submit(Job &&job);
    // Runs until stop(): the requests taken when it is called are finished
    // and answered, the ones still queued are not started.
    void run();
    void stop();

    struct Key {
        propr_keyhandle *handle = nullptr;
        std::string name;  // normalised full name
    };
    struct Session {
        std::unordered_map<uint32_t, Key> keys;
        uint32_t next = 1;
    };
    struct Write;

  private:
    void cycle(std::vector<Job> &jobs);
    void gather(std::vector<Job> &jobs);
    Outcome read(const Job &job, Session &s);
    // An export or an import on the daemon's store, as propctl runs it.
    void run_records(const wire::Request &r, const Caller &c, wire::Answer *a);
    // Checks a write and resolves its keys; false when it was answered
    // already (refused).
    bool prepare(Write &w);
    void run_alone(Write &w);
    void run_group(std::vector<Write *> &group);
    void run_batch(Write &w);
    void finish(Write &w, std::vector<Outcome> *out);
    void committed(Write &w, const std::vector<Item *> &items, std::vector<wire::Event> *events);
    void post_events(std::vector<wire::Event> &&events);

    Outcome answer(uint64_t conn, wire::Answer &&a);
    uint32_t check(const Caller &c, const Key &k, uint32_t level, bool subtree, wire::Op op, wire::Answer *a);
    uint32_t check_owner(const Caller &c, const wire::Security &s, wire::Answer *a);
    Key *find(Session &s, uint32_t id, wire::Answer *a);
    // The connection's number for a key it now holds, or 0 when it may hold
    // no more (the key is then closed).
    uint32_t keep(Session &s, propr_keyhandle *h, const std::string &name);
    void drop(uint64_t conn);
    uint64_t next_seq() { return ++seq_; }

    Store &store_;
    backend_ctx *ctx_;
    Outbox &outbox_;
    ExecOptions options_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Job> queue_;
    bool stopping_ = false;
    std::unordered_map<uint64_t, Session> sessions_;
    uint64_t seq_ = 0;         // the last event given out
    size_t open_keys_ = 0;     // over every connection
    size_t last_group_ = 0;    // writes in the last group
    uint64_t writes_ = 0;      // requests that changed the store
    uint64_t commits_ = 0;     // transactions that committed
    double last_commit_us_ = 0;
};

// Names as the store splits them: empty components dropped.
std::string normal_name(const std::string &name);
// The full name a subkey gets under parent (a name that already starts
// with the parent's is taken as it stands).
std::string child_name(const std::string &parent, const std::string &subkey);
// Whether an event about key (and, for a move, target) concerns a watcher
// of watched.
bool concerns(const wire::Event &e, const std::string &watched);

}  // namespace propregd

// The connections: one thread on epoll accepts callers, cuts their bytes
// into frames, hands each decoded request to the store thread and writes
// back what it answers, and feeds the watchers their events.
//
// epoll and our own loop rather than a library: the daemon waits on three
// kinds of descriptor (the socket, the store thread's wake-up, signals)
// and needs nothing a library would add; a few hundred lines keep every
// bound (frame size, queue lengths, connections) in plain sight.
//
// A connection has at most one request at the store thread: its next frame
// is read only once the answer is out, so a client cannot queue work
// without bound, and the answers of one connection keep their order.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

#include "../../client/wire.h"
#include "caller.h"
#include "executor.h"

namespace propregd {

struct ServerOptions {
    std::string socket_path;
    // Events a watcher may have waiting; one more drops them for a single
    // resync event.
    size_t watch_queue = 4096;
    size_t max_connections = 1024;
};

class Server {
  public:
    Server(Executor &executor, Outbox &outbox, prop_clsctx *cls, const ServerOptions &options);
    ~Server();

    // Binds and listens (a socket file left by a daemon that is gone is
    // replaced; one that answers is not).  false after logging why.
    bool listen();
    // Serves until a signal arrives on signal_fd.
    void run(int signal_fd);
    // Writes out what the store thread answered after run() returned,
    // then closes every connection.
    void finish();

  private:
    struct Conn;

    void accept_all();
    void on_event(Conn &c, uint32_t events);
    void pump(Conn &c);
    // Hands a request to the store thread; false when the frame was refused,
    // which may have closed c.
    bool dispatch(Conn &c, const uint8_t *body, size_t size);
    void refuse(Conn &c, uint16_t op, const std::string &why);
    void deliver();
    void queue_event(Conn &c, const wire::Event &e, const std::string &frame);
    void flush(Conn &c);
    void close_conn(uint64_t id);

    Executor &executor_;
    Outbox &outbox_;
    prop_clsctx *cls_;
    ServerOptions options_;
    int epfd_ = -1;
    int listen_fd_ = -1;
    bool bound_ = false;
    uint64_t next_id_ = 1;
    std::unordered_map<uint64_t, std::unique_ptr<Conn>> conns_;
};

}  // namespace propregd

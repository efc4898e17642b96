#include "server.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "log.h"

namespace propregd {

namespace {

constexpr uint64_t kListenTag = ~uint64_t{0};
constexpr uint64_t kOutboxTag = kListenTag - 1;
constexpr uint64_t kSignalTag = kListenTag - 2;
// Event frames sent with one call when a watcher has several waiting.
constexpr size_t kSendChunk = 64 * 1024;

bool fill_addr(const std::string &path, sockaddr_un *addr)
{
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

struct Server::Conn {
    uint64_t id = 0;
    int fd = -1;
    std::shared_ptr<Caller> caller;
    wire::Framer in{wire::kMaxRequest};
    std::string out;
    size_t out_pos = 0;
    bool busy = false;     // a request is at the store thread
    bool closing = false;  // closed once out is written
    bool watching = false;
    std::string watched;
    std::deque<std::string> events;  // event frames waiting behind out
    bool resync = false;             // a resync goes out before anything else
    uint64_t resync_seq = 0;
};

Server::Server(Executor &executor, Outbox &outbox, prop_clsctx *cls, const ServerOptions &options)
    : executor_(executor), outbox_(outbox), cls_(cls), options_(options)
{
}

Server::~Server()
{
    for (auto &[id, c] : conns_) ::close(c->fd);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (bound_) ::unlink(options_.socket_path.c_str());
    if (epfd_ >= 0) ::close(epfd_);
}

bool Server::listen()
{
    sockaddr_un addr;
    if (!fill_addr(options_.socket_path, &addr)) {
        log_line("the socket path %s is too long", options_.socket_path.c_str());
        return false;
    }
    // A socket file that still answers belongs to a daemon that runs.
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        ::close(probe);
        log_line("another daemon answers at %s", options_.socket_path.c_str());
        return false;
    }
    if (probe >= 0) ::close(probe);
    ::unlink(options_.socket_path.c_str());
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        log_line("cannot listen at %s: %s", options_.socket_path.c_str(), std::strerror(errno));
        return false;
    }
    bound_ = true;
    // Every user may connect; each request is checked against its caller.
    if (::chmod(options_.socket_path.c_str(), 0666) != 0 || ::listen(listen_fd_, 128) != 0) {
        log_line("cannot listen at %s: %s", options_.socket_path.c_str(), std::strerror(errno));
        return false;
    }
    epfd_ = epoll_create1(EPOLL_CLOEXEC);
    return epfd_ >= 0;
}

void Server::run(int signal_fd)
{
    auto watch_fd = [&](int fd, uint64_t tag) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = tag;
        epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev);
    };
    watch_fd(listen_fd_, kListenTag);
    watch_fd(outbox_.fd(), kOutboxTag);
    watch_fd(signal_fd, kSignalTag);
    log_line("listening at %s", options_.socket_path.c_str());
    epoll_event evs[64];
    for (;;) {
        int n = epoll_wait(epfd_, evs, 64, -1);
        if (n < 0 && errno == EINTR) continue;
        for (int i = 0; i < n; i++) {
            const uint64_t tag = evs[i].data.u64;
            if (tag == kSignalTag) {
                signalfd_siginfo si{};
                ssize_t rc = ::read(signal_fd, &si, sizeof si);
                (void)rc;
                log_line("stopping on signal %u", si.ssi_signo);
                return;
            }
            if (tag == kListenTag) {
                accept_all();
            } else if (tag == kOutboxTag) {
                deliver();
            } else if (auto it = conns_.find(tag); it != conns_.end()) {
                on_event(*it->second, evs[i].events);
            }
        }
    }
}

void Server::finish()
{
    deliver();
    std::vector<uint64_t> ids;
    for (auto &[id, c] : conns_) ids.push_back(id);
    for (uint64_t id : ids) close_conn(id);
}

void Server::accept_all()
{
    for (;;) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (conns_.size() >= options_.max_connections) {
            log_line("refused a connection: %zu are open already", conns_.size());
            ::close(fd);
            continue;
        }
        std::shared_ptr<Caller> caller = caller_of(fd, cls_);
        if (caller == nullptr) {
            log_line("refused a connection whose caller the kernel does not tell");
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Conn>();
        c->id = next_id_++;
        c->fd = fd;
        c->caller = std::move(caller);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.u64 = c->id;
        epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev);
        Conn &ref = *c;
        conns_.emplace(c->id, std::move(c));
        pump(ref);
    }
}

void Server::on_event(Conn &c, uint32_t events)
{
    const uint64_t id = c.id;
    if ((events & EPOLLERR) != 0) return close_conn(id);
    if ((events & EPOLLOUT) != 0) {
        flush(c);
        if (conns_.count(id) == 0) return;
    }
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) != 0) pump(c);
}

// Reads and passes on requests until one is at the store thread or the
// socket has nothing more.
void Server::pump(Conn &c)
{
    while (!c.busy && !c.closing) {
        const uint8_t *body = nullptr;
        size_t size = 0;
        switch (c.in.next(&body, &size)) {
        case wire::Framer::Result::frame:
            if (c.watching) return refuse(c, 0, "a watching connection takes no requests");
            if (!dispatch(c, body, size)) return;  // refused: c may be gone
            continue;
        case wire::Framer::Result::broken:
            return refuse(c, 0, "a frame is longer than " + std::to_string(wire::kMaxRequest) + " bytes");
        case wire::Framer::Result::more:
            break;
        }
        uint8_t buf[65536];
        ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n > 0) {
            c.in.feed(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            return close_conn(c.id);
        }
    }
}

bool Server::dispatch(Conn &c, const uint8_t *body, size_t size)
{
    Job job;
    std::string why;
    if (!wire::decode(body, size, &job.req, &why)) {
        refuse(c, 0, why);
        return false;
    }
    job.conn = c.id;
    job.caller = c.caller;
    c.busy = true;
    executor_.submit(std::move(job));
    return true;
}

// A frame that cannot be read ends its connection, and no other.
void Server::refuse(Conn &c, uint16_t, const std::string &why)
{
    log_line("closing the connection of %s: %s", c.caller->describe().c_str(), why.c_str());
    wire::Answer a;
    a.op = wire::Op::refused;
    a.code = PROP_E_FORMAT;
    a.text = "malformed request: " + why + "; the connection is closed";
    c.out += wire::encode(a);
    c.closing = true;
    c.events.clear();
    c.resync = false;
    flush(c);
}

void Server::deliver()
{
    std::vector<Outcome> outcomes = outbox_.take();
    std::vector<uint64_t> touched;
    for (Outcome &o : outcomes) {
        for (const wire::Event &e : o.events) {
            std::string frame = wire::encode(e);
            for (auto &[id, c] : conns_) {
                if (!c->watching || c->closing || !concerns(e, c->watched)) continue;
                queue_event(*c, e, frame);
                touched.push_back(id);
            }
        }
        if (o.conn == 0) continue;
        auto it = conns_.find(o.conn);
        if (it == conns_.end()) continue;  // the caller left meanwhile
        Conn &c = *it->second;
        c.out += o.frame;
        c.busy = false;
        if (o.watch) {
            c.watching = true;
            c.watched = o.watch_key;
        }
        touched.push_back(o.conn);
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    for (uint64_t id : touched) {
        auto it = conns_.find(id);
        if (it == conns_.end()) continue;
        flush(*it->second);
        it = conns_.find(id);
        if (it != conns_.end()) pump(*it->second);
    }
}

// A watcher that has more events waiting than the bound loses them all for
// one resync, and nothing more is queued until the resync is on its way:
// the store thread never waits for a watcher.
void Server::queue_event(Conn &c, const wire::Event &e, const std::string &frame)
{
    // A change not told key by key (an import) asks every watcher to read
    // again, as falling behind does.
    if (c.resync || e.kind == wire::EventKind::resync) {
        c.events.clear();
        c.resync = true;
        c.resync_seq = e.seq;
        return;
    }
    if (c.events.size() >= options_.watch_queue) {
        log_line("%s fell behind watching %s: its %zu waiting events are dropped for a resync",
                 c.caller->describe().c_str(), c.watched.c_str(), c.events.size());
        c.events.clear();
        c.resync = true;
        c.resync_seq = e.seq;
        return;
    }
    c.events.push_back(frame);
}

void Server::flush(Conn &c)
{
    for (;;) {
        if (c.out_pos == c.out.size()) {
            c.out.clear();
            c.out_pos = 0;
            if (c.resync) {
                c.out = wire::encode(wire::Event{c.resync_seq, wire::EventKind::resync, c.watched, ""});
                c.resync = false;
            }
            while (!c.events.empty() && c.out.size() < kSendChunk) {
                c.out += c.events.front();
                c.events.pop_front();
            }
            if (c.out.empty()) break;
        }
        ssize_t n = ::send(c.fd, c.out.data() + c.out_pos, c.out.size() - c.out_pos, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out_pos += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        return close_conn(c.id);
    }
    if (c.closing) close_conn(c.id);
}

void Server::close_conn(uint64_t id)
{
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    epoll_ctl(epfd_, EPOLL_CTL_DEL, it->second->fd, nullptr);
    ::close(it->second->fd);
    conns_.erase(it);
    Job gone;
    gone.kind = Job::Kind::gone;
    gone.conn = id;
    executor_.submit(std::move(gone));
}

}  // namespace propregd

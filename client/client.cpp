// The client library: one request at a time on a connection, each answered
// before the next is sent.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "propreg/client.h"
#include "wire.h"

struct prc_conn {
    int fd = -1;
    wire::Framer framer{wire::kMaxAnswer};
    std::string text;
    bool broken = false;    // nothing more can be said on it
    bool watching = false;  // given over to events
    std::string findings;   // of the last status, check or backup
};

struct prc_batch {
    std::vector<wire::BatchItem> items;
    std::vector<wire::BatchResult> results;
};

namespace {

using wire::Op;

uint32_t broken(prc_conn *c, uint32_t code, const char *text)
{
    c->broken = true;
    c->text = text;
    return code;
}

uint32_t send_all(prc_conn *c, const std::string &frame)
{
    for (size_t done = 0; done < frame.size();) {
        ssize_t n = ::send(c->fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return broken(c, PRC_E_CLOSED, "the daemon closed the connection");
        done += static_cast<size_t>(n);
    }
    return 0;
}

// The next frame's body; waits up to timeout_ms (-1: for ever).
uint32_t receive(prc_conn *c, std::vector<uint8_t> *body, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const uint8_t *p = nullptr;
        size_t n = 0;
        switch (c->framer.next(&p, &n)) {
        case wire::Framer::Result::frame:
            body->assign(p, p + n);
            return 0;
        case wire::Framer::Result::broken:
            return broken(c, PRC_E_PROTOCOL, "the daemon sent a frame over the bound");
        case wire::Framer::Result::more:
            break;
        }
        if (timeout_ms >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd pfd{c->fd, POLLIN, 0};
            int rc = ::poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
            if (rc < 0 && errno == EINTR) continue;
            if (rc == 0) return PRC_E_TIMEOUT;
        }
        uint8_t buf[65536];
        ssize_t got = ::recv(c->fd, buf, sizeof buf, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return broken(c, PRC_E_CLOSED, "the daemon closed the connection");
        c->framer.feed(buf, static_cast<size_t>(got));
    }
}

uint32_t call(prc_conn *c, const wire::Request &req, wire::Answer *ans)
{
    if (c == nullptr) return PROP_E_NULL;
    if (c->broken) return PRC_E_CLOSED;
    if (c->watching) {
        c->text = "the connection is watching; open another for requests";
        return PRC_E_USAGE;
    }
    std::string frame = wire::encode(req);
    if (frame.size() - 4 > wire::kMaxRequest) {
        c->text = "the request exceeds the daemon's bound of " + std::to_string(wire::kMaxRequest) + " bytes";
        return PRC_E_TOOBIG;
    }
    if (uint32_t rc = send_all(c, frame); rc != 0) return rc;
    std::vector<uint8_t> body;
    if (uint32_t rc = receive(c, &body, -1); rc != 0) return rc;
    std::string why;
    if (!wire::decode(body.data(), body.size(), ans, &why) || (ans->op != req.op && ans->op != Op::refused))
        return broken(c, PRC_E_PROTOCOL, "the daemon's answer could not be read");
    c->text = ans->text;
    if (ans->op == Op::refused) c->broken = true;
    return ans->code;
}

wire::Security security_of(const sec_attr *sec)
{
    wire::Security s;
    if (sec != nullptr) {
        s.given = true;
        s.sec = *sec;
        s.sec.username[PROP_NAME_SIZE - 1] = '\0';
        s.sec.groupname[PROP_NAME_SIZE - 1] = '\0';
    }
    return s;
}

std::string bytes_of(const void *value, uint32_t size)
{
    return value != nullptr ? std::string(static_cast<const char *>(value), size) : std::string();
}

uint32_t key_call(prc_conn *conn, Op op, prc_key key)
{
    wire::Request r;
    r.op = op;
    r.key = key;
    wire::Answer a;
    return call(conn, r, &a);
}

void add(prc_batch *b, wire::BatchItem item)
{
    if (b != nullptr) b->items.push_back(std::move(item));
}

void copy_name(char *dst, const std::string &src)
{
    std::snprintf(dst, PRC_NAME_SIZE, "%s", src.c_str());
}

}  // namespace

extern "C" {

uint32_t prc_socket_path(const char *root, char *path, uint32_t size)
{
    std::string dir;
    if (root != nullptr && *root != '\0') {
        dir = root;
    } else if (const char *env = std::getenv("ZKV_REGISTRY_ROOT"); env != nullptr && *env != '\0') {
        dir = env;
    } else {
        const char *data = std::getenv("XDG_DATA_HOME");
        const char *home = std::getenv("HOME");
        dir = data != nullptr && *data == '/' ? std::string(data)
                                              : std::string(home != nullptr && *home ? home : ".") + "/.local/share";
        dir += "/propreg";
    }
    std::string full = dir + "/propregd.sock";
    if (path == nullptr || full.size() + 1 > size) return PRC_E_USAGE;
    std::memcpy(path, full.c_str(), full.size() + 1);
    return 0;
}

uint32_t prc_connect(const char *socket_path, prc_conn **conn)
{
    if (socket_path == nullptr || conn == nullptr) return PROP_E_NULL;
    *conn = nullptr;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(socket_path) >= sizeof addr.sun_path) return PRC_E_CONNECT;
    std::strcpy(addr.sun_path, socket_path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return PRC_E_CONNECT;
    int rc;
    while ((rc = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        ::close(fd);
        return PRC_E_CONNECT;
    }
    auto *c = new (std::nothrow) prc_conn;
    if (c == nullptr) {
        ::close(fd);
        return PROP_E_NOMEM;
    }
    c->fd = fd;
    *conn = c;
    return 0;
}

void prc_disconnect(prc_conn *conn)
{
    if (conn == nullptr) return;
    ::close(conn->fd);
    delete conn;
}

const char *prc_error_text(const prc_conn *conn)
{
    return conn != nullptr ? conn->text.c_str() : "";
}

uint32_t prc_open(prc_conn *conn, const char *keyname, prc_key *key)
{
    if (keyname == nullptr || key == nullptr) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::open;
    r.name = keyname;
    wire::Answer a;
    uint32_t rc = call(conn, r, &a);
    *key = rc == 0 ? a.key : 0;
    return rc;
}

uint32_t prc_close_key(prc_conn *conn, prc_key key)
{
    return key_call(conn, Op::close, key);
}

uint32_t prc_get_value(prc_conn *conn, prc_key key, uint32_t *dtype, void *value, uint32_t *size)
{
    if (dtype == nullptr || size == nullptr || (value == nullptr && *size != 0)) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::get_value;
    r.key = key;
    r.capacity = *size;
    wire::Answer a;
    const uint32_t capacity = *size;
    uint32_t rc = call(conn, r, &a);
    // Never more than the caller's buffer holds, whatever came back.
    if (rc == 0 && a.value.size() > capacity) return broken(conn, PRC_E_PROTOCOL, "the daemon sent a longer value than asked");
    if (rc == 0 || rc == PROP_E_BUFSZ) {
        *dtype = a.dtype;
        *size = a.size;
    }
    if (rc == 0 && !a.value.empty()) std::memcpy(value, a.value.data(), a.value.size());
    return rc;
}

uint32_t prc_set_value(prc_conn *conn, prc_key key, uint32_t dtype, const void *value, uint32_t size)
{
    if (value == nullptr && size != 0) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::set_value;
    r.key = key;
    r.dtype = dtype;
    r.value = bytes_of(value, size);
    wire::Answer a;
    return call(conn, r, &a);
}

uint32_t prc_delete_value(prc_conn *conn, prc_key key)
{
    return key_call(conn, Op::delete_value, key);
}

uint32_t prc_create_key(prc_conn *conn, prc_key parent, const char *subkey, const sec_attr *sec, prc_key *key,
                        uint32_t *disposition)
{
    if (subkey == nullptr) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::create;
    r.key = parent;
    r.name = subkey;
    r.sec = security_of(sec);
    wire::Answer a;
    uint32_t rc = call(conn, r, &a);
    if (key != nullptr) *key = rc == 0 ? a.key : 0;
    if (disposition != nullptr) *disposition = a.disposition;
    return rc;
}

uint32_t prc_create_n_set_key(prc_conn *conn, prc_key parent, const char *subkey, const sec_attr *sec,
                              uint32_t dtype, const void *value, uint32_t size, uint32_t flags, prc_key *key,
                              uint32_t *disposition)
{
    if (subkey == nullptr || (value == nullptr && size != 0)) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::create_set;
    r.key = parent;
    r.name = subkey;
    r.sec = security_of(sec);
    r.dtype = dtype;
    r.value = bytes_of(value, size);
    r.flag = flags;
    wire::Answer a;
    uint32_t rc = call(conn, r, &a);
    if (key != nullptr) *key = rc == 0 ? a.key : 0;
    if (disposition != nullptr) *disposition = a.disposition;
    return rc;
}

uint32_t prc_delete_key(prc_conn *conn, prc_key key, uint32_t recursive)
{
    wire::Request r;
    r.op = Op::delete_key;
    r.key = key;
    r.flag = recursive != 0 ? 1 : 0;
    wire::Answer a;
    return call(conn, r, &a);
}

uint32_t prc_move_key(prc_conn *conn, prc_key src, prc_key tgt_parent, const char *tgt_subkey, prc_key tgt,
                      prc_key *result)
{
    if (tgt_subkey == nullptr) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::move;
    r.key = src;
    r.key2 = tgt_parent;
    r.name = tgt_subkey;
    r.key3 = tgt;
    wire::Answer a;
    uint32_t rc = call(conn, r, &a);
    if (result != nullptr) *result = rc == 0 ? a.key : 0;
    return rc;
}

uint32_t prc_enum_subkeys(prc_conn *conn, prc_key key, char **names, uint32_t *count)
{
    if (names == nullptr || count == nullptr) return PROP_E_NULL;
    *names = nullptr;
    *count = 0;
    wire::Request r;
    r.op = Op::enumerate;
    r.key = key;
    wire::Answer a;
    uint32_t rc = call(conn, r, &a);
    if (rc != 0) return rc;
    size_t total = 1;
    for (const std::string &n : a.names) total += n.size() + 1;
    char *buf = static_cast<char *>(std::malloc(total));
    if (buf == nullptr) return PROP_E_NOMEM;
    char *p = buf;
    for (const std::string &n : a.names) {
        std::memcpy(p, n.c_str(), n.size() + 1);
        p += n.size() + 1;
    }
    *p = '\0';
    *names = buf;
    *count = static_cast<uint32_t>(a.names.size());
    return 0;
}

void prc_free(void *p)
{
    std::free(p);
}

uint32_t prc_get_security(prc_conn *conn, prc_key key, sec_attr *sec)
{
    if (sec == nullptr) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::get_security;
    r.key = key;
    wire::Answer a;
    uint32_t rc = call(conn, r, &a);
    if (rc == 0) *sec = a.sec;
    return rc;
}

uint32_t prc_set_security(prc_conn *conn, prc_key key, const sec_attr *sec)
{
    if (sec == nullptr) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::set_security;
    r.key = key;
    r.sec = security_of(sec);
    wire::Answer a;
    return call(conn, r, &a);
}

prc_batch *prc_batch_new(void)
{
    return new (std::nothrow) prc_batch;
}

void prc_batch_free(prc_batch *batch)
{
    delete batch;
}

void prc_batch_set_value(prc_batch *batch, prc_key key, uint32_t dtype, const void *value, uint32_t size)
{
    wire::BatchItem i;
    i.opcode = PROP_BATCH_SET_VALUE;
    i.key = key;
    i.dtype = dtype;
    i.value = bytes_of(value, size);
    add(batch, std::move(i));
}

void prc_batch_delete_value(prc_batch *batch, prc_key key)
{
    wire::BatchItem i;
    i.opcode = PROP_BATCH_DELETE_VALUE;
    i.key = key;
    add(batch, std::move(i));
}

void prc_batch_create_key(prc_batch *batch, prc_key parent, const char *subkey, const sec_attr *sec)
{
    wire::BatchItem i;
    i.opcode = PROP_BATCH_CREATE_KEY;
    i.key = parent;
    i.name = subkey != nullptr ? subkey : "";
    i.sec = security_of(sec);
    add(batch, std::move(i));
}

void prc_batch_create_n_set_key(prc_batch *batch, prc_key parent, const char *subkey, const sec_attr *sec,
                                uint32_t dtype, const void *value, uint32_t size, uint32_t flags)
{
    wire::BatchItem i;
    i.opcode = (flags & PRZKV_FLAGS_NO_OVERWRITE) != 0 ? PROP_BATCH_CREATE_SET_NEW : PROP_BATCH_CREATE_SET;
    i.key = parent;
    i.name = subkey != nullptr ? subkey : "";
    i.sec = security_of(sec);
    i.dtype = dtype;
    i.value = bytes_of(value, size);
    add(batch, std::move(i));
}

void prc_batch_delete_key(prc_batch *batch, prc_key key, uint32_t recursive)
{
    wire::BatchItem i;
    i.opcode = recursive != 0 ? PROP_BATCH_DELETE_TREE : PROP_BATCH_DELETE_KEY;
    i.key = key;
    add(batch, std::move(i));
}

void prc_batch_set_security(prc_batch *batch, prc_key key, const sec_attr *sec)
{
    wire::BatchItem i;
    i.opcode = PROP_BATCH_SET_SECURITY;
    i.key = key;
    i.sec = security_of(sec);
    add(batch, std::move(i));
}

void prc_batch_move_key(prc_batch *batch, prc_key src, prc_key tgt_parent, const char *tgt_subkey, prc_key tgt)
{
    wire::BatchItem i;
    i.opcode = PROP_BATCH_MOVE_KEY;
    i.key = src;
    i.key2 = tgt_parent;
    i.key3 = tgt;
    i.name = tgt_subkey != nullptr ? tgt_subkey : "";
    add(batch, std::move(i));
}

uint32_t prc_batch_run(prc_conn *conn, prc_batch *batch)
{
    if (batch == nullptr) return PROP_E_NULL;
    // The daemon would take a longer one for a malformed frame.
    if (conn != nullptr && batch->items.size() > wire::kMaxBatchOps) {
        conn->text = "a batch holds at most " + std::to_string(wire::kMaxBatchOps) + " operations";
        batch->results.assign(batch->items.size(), wire::BatchResult{});
        return PRC_E_TOOBIG;
    }
    wire::Request r;
    r.op = Op::batch;
    r.batch = batch->items;
    wire::Answer a;
    uint32_t rc = call(conn, r, &a);
    batch->results = a.results;
    batch->results.resize(batch->items.size());
    return rc;
}

uint32_t prc_batch_count(const prc_batch *batch)
{
    return batch != nullptr ? static_cast<uint32_t>(batch->items.size()) : 0;
}

uint32_t prc_batch_result(const prc_batch *batch, uint32_t i, prc_key *key, uint32_t *disposition)
{
    if (batch == nullptr || i >= batch->results.size()) return PRC_E_USAGE;
    const wire::BatchResult &r = batch->results[i];
    if (key != nullptr) *key = r.key;
    if (disposition != nullptr) *disposition = r.disposition;
    return r.result;
}

namespace {

// A failed call leaves a empty, so no older findings stay.
void keep_findings(prc_conn *conn, const wire::Answer &a)
{
    if (conn == nullptr) return;
    conn->findings.clear();
    for (const std::string &l : a.lines) conn->findings += l + "\n";
}

uint32_t status_of(prc_conn *conn, uint32_t flag, prop_status *status, uint32_t *ids)
{
    if (status == nullptr) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::status;
    r.flag = flag;
    wire::Answer a;
    uint32_t rc = call(conn, r, &a);
    keep_findings(conn, a);
    if (rc != 0) return rc;
    *status = prop_status{};
    for (size_t i = 0; i < a.names.size() && i < PROP_MAX_LOCATIONS; i++)
        std::snprintf(status->location[i], PROP_LOCNAME_SIZE, "%s", a.names[i].c_str());
    for (size_t i = 0; i < a.states.size() && i < PROP_MAX_LOCATIONS; i++) status->state[i] = a.states[i];
    for (size_t i = 0; ids != nullptr && i < PROP_MAX_LOCATIONS; i++) ids[i] = i < a.ids.size() ? a.ids[i] : 0;
    std::snprintf(status->version, sizeof status->version, "%s", a.version.c_str());
    status->total_kb = a.total_kb;
    status->used_kb = a.used_kb;
    status->free_kb = a.free_kb;
    status->keys = a.keys;
    status->limit_kb = a.limit_kb;
    return 0;
}

}  // namespace

uint32_t prc_status(prc_conn *conn, prop_status *status)
{
    return status_of(conn, 0, status, nullptr);
}

uint32_t prc_status_full(prc_conn *conn, prop_status *status, uint32_t *ids)
{
    return status_of(conn, wire::kStatusFullNames, status, ids);
}

uint32_t prc_sizes(prc_conn *conn, prop_status *status)
{
    return status_of(conn, wire::kStatusSizes, status, nullptr);
}

uint32_t prc_info(prc_conn *conn, uint32_t *format_version, char (*names)[PROP_LOCNAME_SIZE], uint32_t *ids)
{
    if (format_version == nullptr || names == nullptr || ids == nullptr) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::info;
    wire::Answer a;
    if (uint32_t rc = call(conn, r, &a); rc != 0) return rc;
    *format_version = a.format;
    for (size_t i = 0; i < PROP_MAX_LOCATIONS; i++) {
        std::snprintf(names[i], PROP_LOCNAME_SIZE, "%s", i < a.names.size() ? a.names[i].c_str() : "");
        ids[i] = i < a.ids.size() ? a.ids[i] : 0;
    }
    return 0;
}

const char *prc_findings(const prc_conn *conn)
{
    return conn != nullptr ? conn->findings.c_str() : "";
}

uint32_t prc_check(prc_conn *conn)
{
    wire::Request r;
    r.op = Op::check;
    wire::Answer a;
    const uint32_t rc = call(conn, r, &a);
    keep_findings(conn, a);
    return rc;
}

uint32_t prc_backup(prc_conn *conn, char *name)
{
    if (name == nullptr) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::backup;
    r.name.assign(name, strnlen(name, PROP_LOCNAME_SIZE - 1));
    wire::Answer a;
    uint32_t rc = call(conn, r, &a);
    keep_findings(conn, a);
    if (rc == 0 && !a.names.empty()) std::snprintf(name, PROP_LOCNAME_SIZE, "%s", a.names[0].c_str());
    return rc;
}

namespace {

uint32_t run_records(prc_conn *conn, const wire::Request &r, prc_records *out)
{
    wire::Answer a;
    const uint32_t rc = call(conn, r, &a);
    if (out != nullptr) {
        out->keys = a.keys;
        out->created = a.created;
        out->transactions = a.transactions;
        out->fault = rc != 0 && a.fault == 0 ? uint32_t{PRC_RECORDS_RUN} : a.fault;
        std::snprintf(out->detail, sizeof out->detail, "%s", a.detail.c_str());
    }
    return rc;
}

}  // namespace

uint32_t prc_export(prc_conn *conn, const char *file, const char *keyname, prc_records *out)
{
    if (file == nullptr) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::export_records;
    r.name = file;
    r.top = keyname != nullptr ? keyname : "";
    return run_records(conn, r, out);
}

uint32_t prc_import(prc_conn *conn, const char *file, uint32_t mode, prc_records *out)
{
    if (file == nullptr) return PROP_E_NULL;
    if (mode < PROP_CBKP_IMPORT_ASIS || mode > PROP_CBKP_IMPORT_DATABASE) return PROP_E_ARG;
    wire::Request r;
    r.op = Op::import_records;
    r.name = file;
    r.flag = mode;
    return run_records(conn, r, out);
}

uint32_t prc_state(prc_conn *conn, uint32_t *state)
{
    if (state == nullptr) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::state;
    wire::Answer a;
    const uint32_t rc = call(conn, r, &a);
    *state = a.state;
    return rc;
}

uint32_t prc_get_block(prc_conn *conn, const char *keyname, uint32_t location, void *block, uint32_t *number,
                       uint32_t *found, char *report, uint32_t report_size)
{
    if (block == nullptr || number == nullptr || found == nullptr) return PROP_E_NULL;
    if (location > 4 && location != 100) return PROP_E_ARG;
    wire::Request r;
    r.op = Op::block;
    r.name = keyname != nullptr ? keyname : "";
    r.number = *number;
    r.location = location;
    r.flag = report != nullptr ? 1 : 0;
    wire::Answer a;
    const uint32_t rc = call(conn, r, &a);
    *found = a.found;
    if (rc != 0) return rc;
    *number = a.number;
    std::memcpy(block, a.value.data(), std::min<size_t>(a.value.size(), 4096));
    if (report != nullptr && report_size > 0) std::snprintf(report, report_size, "%s", a.report.c_str());
    return 0;
}

uint32_t prc_watch(prc_conn *conn, const char *keyname, uint64_t *seq)
{
    if (keyname == nullptr) return PROP_E_NULL;
    wire::Request r;
    r.op = Op::watch;
    r.name = keyname;
    wire::Answer a;
    uint32_t rc = call(conn, r, &a);
    if (rc == 0) {
        conn->watching = true;
        if (seq != nullptr) *seq = a.seq;
    }
    return rc;
}

uint32_t prc_next_event(prc_conn *conn, prc_event *event, int timeout_ms)
{
    if (conn == nullptr || event == nullptr) return PROP_E_NULL;
    if (conn->broken) return PRC_E_CLOSED;
    if (!conn->watching) return PRC_E_USAGE;
    std::vector<uint8_t> body;
    if (uint32_t rc = receive(conn, &body, timeout_ms); rc != 0) return rc;
    wire::Event e;
    std::string why;
    if (!wire::decode(body.data(), body.size(), &e, &why)) return broken(conn, PRC_E_PROTOCOL, "an event could not be read");
    event->seq = e.seq;
    event->kind = static_cast<uint32_t>(e.kind);
    copy_name(event->key, e.key);
    copy_name(event->target, e.target);
    return 0;
}

}  // extern "C"

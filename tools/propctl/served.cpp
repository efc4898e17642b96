#include "served.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "keystore.h"
#include "output.h"
#include "propreg/frontend.h"

namespace propctl {

std::string served_socket(const std::string &dir)
{
    return dir + "/propregd.sock";
}

prc_conn *connect_served(const std::string &dir)
{
    prc_conn *conn = nullptr;
    if (prc_connect(served_socket(dir).c_str(), &conn) != 0) return nullptr;
    return conn;
}

namespace {

// An empty security record asks for the daemon's default for the caller.
const sec_attr *security_or_default(const sec_attr &sec)
{
    return sec.username[0] == '\0' && sec.groupname[0] == '\0' ? nullptr : &sec;
}

uint32_t size_of(const Value &v)
{
    return static_cast<uint32_t>(v.data.size());
}

// The daemon does long work (a scan, the check, a backup, an export or an
// import) in one request and says nothing until it answers, so the line on
// a terminal can only say how long propctl has been waiting for it.
template <class Call>
auto waiting(const std::string &label, Call call) -> decltype(call())
{
    if (isatty(STDERR_FILENO) == 0) return call();
    std::atomic<bool> done{false};
    std::thread shower([&] {
        Progress progress(label);
        progress.message("starting");
        const auto start = std::chrono::steady_clock::now();
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const auto s = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
            if (!done) progress.message("propregd at work, " + std::to_string(s.count()) + " s");
        }
        progress.done();
    });
    auto result = call();
    done = true;
    shower.join();
    return result;
}

}  // namespace

uint32_t DaemonStore::open(const std::string &name, Key *out)
{
    prc_key key = 0;
    const uint32_t rc = prc_open(conn_, name.c_str(), &key);
    out->reset(conn_, rc == 0 ? key : 0);
    return rc;
}

uint32_t DaemonStore::value(const Key &key, Value *out)
{
    // Most values fit; a larger one says its size and is asked again.
    std::string buf(4096, '\0');
    for (;;) {
        uint32_t size = static_cast<uint32_t>(buf.size());
        uint32_t type = 0;
        const uint32_t rc = prc_get_value(conn_, key.served(), &type, buf.data(), &size);
        if (rc == PROP_E_BUFSZ && size > buf.size()) {
            buf.resize(size);
            continue;
        }
        if (rc != 0) return rc;
        buf.resize(size);
        out->type = type;
        out->data = std::move(buf);
        return 0;
    }
}

uint32_t DaemonStore::subkeys(const Key &key, std::vector<std::string> *out)
{
    char *names = nullptr;
    uint32_t count = 0;
    const uint32_t rc = prc_enum_subkeys(conn_, key.served(), &names, &count);
    if (rc != 0) return rc;
    for (const char *at = names; names != nullptr && out->size() < count && *at != '\0';) {
        out->emplace_back(at);
        at += out->back().size() + 1;
    }
    prc_free(names);
    std::sort(out->begin(), out->end());
    return 0;
}

uint32_t DaemonStore::security(const Key &key, sec_attr *out)
{
    return prc_get_security(conn_, key.served(), out);
}

uint32_t DaemonStore::apply_one(Change &c)
{
    const prc_key key = c.key.served();
    prc_key made = 0;
    uint32_t rc;
    switch (c.opcode) {
    case PROP_BATCH_DELETE_VALUE: rc = prc_delete_value(conn_, key); break;
    case PROP_BATCH_DELETE_TREE: rc = prc_delete_key(conn_, key, 1); break;
    case PROP_BATCH_DELETE_KEY: rc = prc_delete_key(conn_, key, 0); break;
    case PROP_BATCH_SET_SECURITY: rc = prc_set_security(conn_, key, &c.sec); break;
    case PROP_BATCH_SET_VALUE: rc = prc_set_value(conn_, key, c.value.type, c.value.data.data(), size_of(c.value)); break;
    case PROP_BATCH_CREATE_KEY:
        rc = prc_create_key(conn_, key, c.name.c_str(), security_or_default(c.sec), &made, &c.disposition);
        break;
    case PROP_BATCH_CREATE_SET:
        rc = prc_create_n_set_key(conn_, key, c.name.c_str(), security_or_default(c.sec), c.value.type,
                                  c.value.data.data(), size_of(c.value), 0, &made, &c.disposition);
        break;
    case PROP_BATCH_MOVE_KEY:
        rc = prc_move_key(conn_, key, c.target_parent.served(), c.name.c_str(), c.target.served(), &made);
        break;
    default: rc = PROP_E_ARG; break;
    }
    if (made != 0) prc_close_key(conn_, made);
    return rc;
}

namespace {

void add_to(prc_batch *batch, const Change &c)
{
    const prc_key key = c.key.served();
    const void *data = c.value.data.data();
    switch (c.opcode) {
    case PROP_BATCH_DELETE_VALUE: prc_batch_delete_value(batch, key); break;
    case PROP_BATCH_DELETE_TREE: prc_batch_delete_key(batch, key, 1); break;
    case PROP_BATCH_DELETE_KEY: prc_batch_delete_key(batch, key, 0); break;
    case PROP_BATCH_SET_SECURITY: prc_batch_set_security(batch, key, &c.sec); break;
    case PROP_BATCH_SET_VALUE: prc_batch_set_value(batch, key, c.value.type, data, size_of(c.value)); break;
    case PROP_BATCH_CREATE_KEY: prc_batch_create_key(batch, key, c.name.c_str(), security_or_default(c.sec)); break;
    case PROP_BATCH_CREATE_SET:
        prc_batch_create_n_set_key(batch, key, c.name.c_str(), security_or_default(c.sec), c.value.type, data,
                                   size_of(c.value), 0);
        break;
    case PROP_BATCH_MOVE_KEY:
        prc_batch_move_key(batch, key, c.target_parent.served(), c.name.c_str(), c.target.served());
        break;
    }
}

}  // namespace

uint32_t DaemonStore::apply_batch(std::vector<Change> &changes, size_t *failed, std::string *why)
{
    why->clear();
    if (uint32_t rc = check_batch_values(changes, failed); rc != 0) return rc;
    prc_batch *batch = prc_batch_new();
    if (batch == nullptr) return PROP_E_NOMEM;
    for (const Change &c : changes) add_to(batch, c);
    const uint32_t rc = prc_batch_run(conn_, batch);
    for (uint32_t i = 0; i < changes.size() && i < prc_batch_count(batch); i++) {
        prc_key made = 0;
        // Operations after the failing one never ran and keep result 0.
        if (prc_batch_result(batch, i, &made, &changes[i].disposition) != 0 && rc != 0) *failed = i;
        if (made != 0) prc_close_key(conn_, made);
    }
    prc_batch_free(batch);
    // The daemon answers with the store's own words where it gave any, and
    // else with the code's text.
    const std::string text = prc_error_text(conn_);
    if (rc != 0 && rc < kFirstClientCode && text != prop_fe_msgtext(nullptr, rc)) *why = text;
    return rc;
}

namespace {

// The daemon runs the work; what its store logged meanwhile comes back
// with the answer.
Watched with_findings(prc_conn *conn, uint32_t rc)
{
    Watched w;
    w.rc = rc;
    const std::string all = prc_findings(conn);
    for (size_t at = 0, nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1)
        w.lines.push_back(all.substr(at, nl - at));
    return w;
}

}  // namespace

Watched DaemonStore::scan(const std::string &label, prop_status *st, uint32_t *ids)
{
    return with_findings(conn_, waiting(label, [&] { return prc_status_full(conn_, st, ids); }));
}

uint32_t DaemonStore::describe(Kind, StoreInfo *out)
{
    char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];
    if (uint32_t rc = prc_info(conn_, &out->format_version, names, out->device_ids); rc != 0) return rc;
    for (const auto &n : names)
        if (n[0] != '\0') out->locations.push_back(n);
    return 0;
}

Watched DaemonStore::check_tree(const std::string &label)
{
    return with_findings(conn_, waiting(label, [&] { return prc_check(conn_); }));
}

Watched DaemonStore::backup(const std::string &label, char *name)
{
    return with_findings(conn_, waiting(label, [&] { return prc_backup(conn_, name); }));
}

namespace {

static_assert(static_cast<uint32_t>(RecordFault::command) == PRC_RECORDS_RUN &&
              static_cast<uint32_t>(RecordFault::key) == PRC_RECORDS_KEY &&
              static_cast<uint32_t>(RecordFault::change) == PRC_RECORDS_CHANGE &&
              static_cast<uint32_t>(RecordFault::record) == PRC_RECORDS_RECORD &&
              static_cast<uint32_t>(RecordFault::exists) == PRC_RECORDS_EXISTS);

RecordRun record_run(uint32_t rc, const prc_records &r)
{
    RecordRun run;
    run.rc = rc;
    run.fault = static_cast<RecordFault>(r.fault);
    run.detail = r.detail;
    run.keys = r.keys;
    run.created = r.created;
    run.steps = r.transactions;
    return run;
}

}  // namespace

RecordRun DaemonStore::export_to(const std::string &file, const std::string &top)
{
    prc_records r{};
    const uint32_t rc = waiting("propctl export", [&] { return prc_export(conn_, file.c_str(), top.c_str(), &r); });
    return record_run(rc, r);
}

// The importer is the caller the daemon sees.
RecordRun DaemonStore::import_from(const std::string &file, uint32_t mode, const std::string &)
{
    prc_records r{};
    const uint32_t rc = waiting("propctl import", [&] { return prc_import(conn_, file.c_str(), mode, &r); });
    return record_run(rc, r);
}

uint32_t DaemonStore::block(const std::string &key, uint32_t location, bool show, RawBlock *out)
{
    out->bytes.assign(kBlockSize, '\0');
    std::string report(show ? kReportSize : 0, '\0');
    const uint32_t rc = prc_get_block(conn_, key.empty() ? nullptr : key.c_str(), location, out->bytes.data(),
                                      &out->number, &out->found, show ? report.data() : nullptr,
                                      static_cast<uint32_t>(report.size()));
    out->report.assign(report.c_str());
    return rc;
}

uint32_t DaemonStore::state(uint32_t *out)
{
    return prc_state(conn_, out);
}

uint32_t DaemonStore::sizes(prop_status *out)
{
    return prc_sizes(conn_, out);
}

}  // namespace propctl

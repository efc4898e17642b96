// watch: the changes below a key, as the daemon that serves the store
// commits them.
#include <cstdio>

#include "commands.h"
#include "propreg/client.h"

namespace propctl {

namespace {

const char *kind_word(uint32_t kind)
{
    switch (kind) {
    case PRC_EV_CREATED: return "created";
    case PRC_EV_VALUE_SET: return "set";
    case PRC_EV_VALUE_REMOVED: return "value-removed";
    case PRC_EV_DELETED: return "deleted";
    case PRC_EV_MOVED: return "moved";
    case PRC_EV_SECURITY: return "security";
    default: return "resync";
    }
}

void print_event(const Output &out, const prc_event &e)
{
    std::string line = std::to_string(e.seq) + " " + kind_word(e.kind) + " " + e.key;
    if (e.kind == PRC_EV_MOVED) line += " -> " + std::string(e.target);
    if (e.kind == PRC_EV_RESYNC) line += " (changes were dropped: read the keys again)";
    out.line(line);
    Json j;
    j.begin_object().key("seq").num(e.seq).key("event").str(kind_word(e.kind)).key("key").str(e.key);
    if (e.kind == PRC_EV_MOVED) j.key("target").str(e.target);
    out.document(j.end_object());
    std::fflush(stdout);
}

int run_watch(Invocation &inv)
{
    const std::string &key = inv.args.args[0];
    if (int st = check_key_name(inv, key); st != 0) return st;
    char path[PROP_LOCNAME_SIZE];
    prc_conn *conn = nullptr;
    if (prc_socket_path(inv.session.root().dir.c_str(), path, sizeof path) != 0 || prc_connect(path, &conn) != 0)
        return inv.out.problem(inv.what + ": no propregd serves " + inv.session.root().dir +
                               " (watching needs the daemon)");
    uint32_t rc = prc_watch(conn, key.c_str(), nullptr);
    prc_event e;
    while (rc == 0 && (rc = prc_next_event(conn, &e, -1)) == 0) print_event(inv.out, e);
    const std::string text = prc_error_text(conn);
    prc_disconnect(conn);
    if (rc == PRC_E_CLOSED) return inv.out.problem(inv.what + ": the daemon closed the connection");
    return rc == PROP_E_PERM ? inv.out.problem(inv.what + ": " + text) : inv.out.fail(inv.what, rc);
}

}  // namespace

void add_watch_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "watch",
        "KEY",
        "print the changes to KEY and every key below it as they are committed",
        "Asks the propregd that serves the store for every change below KEY and\n"
        "prints one line per changed key as each commit lands, numbered in commit\n"
        "order: created, set, value-removed, deleted, moved (with the new name) or\n"
        "security; a deleted or moved key stands for everything below it.  A\n"
        "watcher that falls behind gets one 'resync' line in place of what it\n"
        "missed.  With --json, one object a line.  Runs until interrupted, or until\n"
        "the daemon stops (exit 1).\n",
        {},
        1,
        1,
        no_store,
        run_watch,
        nullptr,
    });
}

}  // namespace propctl

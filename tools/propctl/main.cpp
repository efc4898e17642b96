// propctl: the command-line front end of the registry.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "keys.h"

namespace propctl {

namespace {

const std::vector<Option> kGlobalOptions = {
    {"root", 0, "DIR", "the configuration root (default: $ZKV_REGISTRY_ROOT, else ~/.local/share/propreg)"},
    {"json", 0, nullptr, "print results as JSON, for scripts"},
    {"backup", 0, "FILE", "get, ls and tree read the keys of a backup file instead of the store"},
    {"direct", 0, nullptr, "open the store in this process, not through propregd (refused while it serves the store)"},
    {"wait", 0, "SECONDS", "give up after SECONDS waiting for another propctl's lock (exit 7; default: wait)"},
    {"version", 0, nullptr, "print propctl's version"},
    {"help", 'h', nullptr, "show help"},
};

constexpr const char *kAbout =
    "propctl keeps a tree of typed keys in a registry store.\n"
    "\n"
    "A local registry has one location and is written with direct I/O, synced\n"
    "before a change is done: a change that propctl reported done survives a\n"
    "power cut.  A cluster registry mirrors its store on one to five locations;\n"
    "it is as durable, unless it was made with 'init --dev' (developer mode:\n"
    "buffered writes that a power cut may lose).  Every change is one\n"
    "transaction: a propctl killed part-way leaves the next command the store as\n"
    "it was before or after.\n"
    "\n"
    "Exit status, the same for every command: 0 done, 1 failed, 2 usage error,\n"
    "3 corruption found, 4 no such key or file, 5 permission denied, 6 storage\n"
    "unavailable (a location or disk group), 7 timed out waiting for the lock\n"
    "(at once while propregd holds it, with how to stop it).\n"
    "A failure is said on stderr as 'propctl: WHAT: REASON', with the library's\n"
    "'error N: TEXT' where it gave one; with --json also on stdout as\n"
    "{\"ok\":false,\"code\":N,\"exit\":E,\"error\":\"...\"}.  '--' ends the options:\n"
    "a value beginning with '-' follows it.\n";

void print_options(FILE *f, const std::vector<Option> &opts)
{
    for (const Option &o : opts) {
        std::string flag = o.letter != 0 ? std::string("-") + o.letter + ", " : "    ";
        flag += std::string("--") + o.name + (o.arg != nullptr ? std::string(" ") + o.arg : "");
        std::fprintf(f, "  %-24s %s\n", flag.c_str(), o.help);
    }
}

void print_overview(FILE *f)
{
    std::fprintf(f, "usage: propctl [--root DIR] [--json] [--backup FILE] [--wait SECONDS] [--direct] COMMAND [ARGS]\n"
                    "       propctl --version\n\n%s\ncommands:\n", kAbout);
    for (const Command &c : command_table()) std::fprintf(f, "  %-8s %s\n", c.name, c.summary);
    std::fprintf(f, "\nglobal options:\n");
    print_options(f, kGlobalOptions);
    std::fprintf(f, "\n'propctl COMMAND --help' tells more about a command.\n");
}

void print_help(const Command &c)
{
    std::printf("usage: propctl %s %s\n\n%s\n", c.name, c.usage, c.summary);
    if (c.help != nullptr && *c.help != '\0') std::printf("\n%s", c.help);
    if (!c.options.empty()) {
        std::printf("\noptions:\n");
        print_options(stdout, c.options);
    }
    std::printf("\nglobal options:\n");
    print_options(stdout, kGlobalOptions);
}

bool takes_value(const std::string &word)
{
    for (const Option &o : kGlobalOptions)
        if (o.arg != nullptr && word == std::string("--") + o.name) return true;
    return false;
}

// The command word: the first word that is neither an option nor the
// value of a global option.
size_t command_index(const std::vector<std::string> &words)
{
    for (size_t i = 0; i < words.size(); i++) {
        const std::string &w = words[i];
        if (takes_value(w)) {
            i++;
            continue;
        }
        if (w.empty() || w[0] != '-') return i;
    }
    return words.size();
}

int run_help(const std::vector<std::string> &args, const Output &out)
{
    if (args.empty()) {
        print_overview(stdout);
        return 0;
    }
    const Command *c = find_command(args[0]);
    if (c == nullptr) return out.usage("unknown command '" + args[0] + "' ('propctl --help' lists them)");
    print_help(*c);
    return 0;
}

// --wait SECONDS: a number of seconds, 0 or more.
bool parse_wait(const std::string &text, double *seconds)
{
    char *end = nullptr;
    *seconds = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && *seconds >= 0 && *seconds < 1e9;
}

// The store, or with --backup the backup file a reading command looks into.
int open_session(const Command &cmd, const Parsed &args, const Output &out, Session &session, const std::string &what)
{
    if (!args.has("backup")) {
        if (cmd.served != nullptr && cmd.served(args) && !args.has("direct") && session.use_daemon()) return 0;
        return session.open(cmd.access(args), what);
    }
    const std::string name = cmd.name;
    if (name != "get" && name != "ls" && name != "tree")
        return out.usage(name + ": --backup is for get, ls and tree");
    return session.open_backup(args.value("backup"), what);
}

}  // namespace

const std::vector<Option> &global_options()
{
    return kGlobalOptions;
}

const char *about_text()
{
    return kAbout;
}

int run_command_line(const std::vector<std::string> &words)
{
    size_t at = command_index(words);
    std::vector<std::string> rest(words.begin(), words.begin() + static_cast<long>(at));
    // Mistakes in the words themselves are told before they are understood.
    const Output early(std::find(words.begin(), words.begin() + static_cast<long>(at), "--json") !=
                       words.begin() + static_cast<long>(at));
    if (at == words.size()) {
        Parsed globals;
        std::string error;
        if (parse_args(rest, kGlobalOptions, &globals, &error) && globals.has("version")) {
            std::printf("propctl %s\n", PROPCTL_VERSION);
            return 0;
        }
        if (error.empty() && globals.has("help")) return run_help({}, early);
        print_overview(stderr);
        return kExitUsage;
    }
    const std::string name = words[at];
    rest.insert(rest.end(), words.begin() + static_cast<long>(at) + 1, words.end());
    if (name == "help") return run_help(rest, early);
    const Command *cmd = find_command(name);
    if (cmd == nullptr) return early.usage("unknown command '" + name + "' ('propctl --help' lists them)");
    std::vector<Option> known = cmd->options;
    known.insert(known.end(), kGlobalOptions.begin(), kGlobalOptions.end());
    Parsed args;
    std::string error;
    if (!parse_args(rest, known, &args, &error))
        return early.usage(name + ": " + error + " ('propctl " + name + " --help')");
    if (args.has("help")) {
        print_help(*cmd);
        return 0;
    }
    Output out(args.has("json"));
    if (args.args.size() < cmd->min_args || args.args.size() > cmd->max_args)
        return out.usage(name + ": wrong number of arguments (usage: propctl " + name + " " + cmd->usage + ")");
    double wait = -1;
    if (args.has("wait") && !parse_wait(args.value("wait"), &wait))
        return out.usage(name + ": --wait takes a number of seconds");
    Session session(choose_root(args.value("root")), out);
    session.set_lock_wait(wait);
    Invocation inv{*cmd, args, out, session, name + (args.args.empty() ? "" : " " + args.args[0])};
    if (int st = open_session(*cmd, args, out, session, inv.what); st != 0) return st;
    int st = cmd->run(inv);
    const Access access = cmd->access(args);
    const bool wrote = access != Access::none && access != Access::read && access != Access::config;
    if (wrote && !args.has("backup")) warn_when_full(session, out);
    int closed = session.finish(inv.what, st == 0);
    return st != 0 ? st : closed;
}

const std::vector<Command> &command_table()
{
    static const std::vector<Command> table = [] {
        std::vector<Command> t;
        add_init_commands(&t);
        add_grow_commands(&t);
        add_read_commands(&t);
        add_write_commands(&t);
        add_security_commands(&t);
        add_batch_commands(&t);
        add_info_commands(&t);
        add_diag_commands(&t);
        add_block_commands(&t);
        add_location_commands(&t);
        add_vld_commands(&t);
        add_backup_commands(&t);
        add_record_commands(&t);
        add_watch_commands(&t);
        add_demo_commands(&t);
        return t;
    }();
    return table;
}

const Command *find_command(const std::string &name)
{
    for (const Command &c : command_table())
        if (name == c.name) return &c;
    return nullptr;
}

Access no_store(const Parsed &)
{
    return Access::none;
}

Access reads_store(const Parsed &)
{
    return Access::read;
}

Access writes_store(const Parsed &)
{
    return Access::write;
}

bool served_always(const Parsed &)
{
    return true;
}

int store_failure(const Invocation &inv, const std::string &what, uint32_t code)
{
    // The daemon stopped or was not understood: no code of the store's.
    if (code >= kFirstClientCode && inv.session.served())
        return inv.out.problem(what + ": propregd: " + prc_error_text(inv.session.daemon()));
    return inv.out.fail(what, code);
}

int key_failure(const Invocation &inv, const std::string &key, uint32_t code)
{
    if (code == PROP_E_STALE) return inv.out.fail(inv.what + ": no such key " + key, code);
    return store_failure(inv, inv.what, code);
}

int check_key_name(const Invocation &inv, const std::string &name)
{
    std::string why;
    if (!key_name_ok(name, &why)) return inv.out.fail(inv.what + ": " + why, PROP_E_ARG);
    return 0;
}

int report_changes(const Output &out, size_t count)
{
    Json j;
    j.begin_object().key("ok").boolean(true).key("changes").num(count).end_object();
    out.document(j);
    return 0;
}

int run_planned(Invocation &inv)
{
    std::vector<Change> changes;
    if (int st = inv.cmd.plan(inv, &changes); st != 0) return st;
    for (Change &c : changes)
        if (uint32_t rc = inv.session.store().apply_one(c); rc != 0) return store_failure(inv, c.what, rc);
    return report_changes(inv.out, changes.size());
}

}  // namespace propctl

int main(int argc, char **argv)
{
    // A write past the file-size limit then fails with EFBIG, which is
    // reported with the file, instead of ending the process unexplained.
    std::signal(SIGXFSZ, SIG_IGN);
    // The store is chosen by the root alone: variables that would move the
    // library's configuration elsewhere are not propctl's to follow.
    unsetenv("ZKV_DEVELOPER_ENV");
    unsetenv("ZKV_LOC");
    unsetenv("NKV_LOC");
    // The build writes the completion and the man pages this way.
    if (argc == 3 && std::string(argv[1]) == "--write-docs") return propctl::write_docs(argv[2]);
    std::vector<std::string> words(argv + 1, argv + argc);
    int st = propctl::run_command_line(words);
    std::fflush(stdout);
    return st;
}

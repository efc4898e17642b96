// batch: many changes, one transaction.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "commands.h"
#include "propreg/frontend.h"

namespace propctl {

namespace {


struct Line {
    size_t number;
    std::vector<std::string> words;
};

// The non-empty lines of the batch; false after reporting a fault.
bool read_lines(const Invocation &inv, std::vector<Line> *out, int *status)
{
    const std::string file = inv.args.args.empty() ? "-" : inv.args.args[0];
    std::ifstream in;
    if (file != "-") {
        in.open(file);
        if (!in) {
            const int err = errno;
            *status =
                inv.out.problem("batch: cannot read " + file + ": " + std::strerror(err), exit_status_of_errno(err));
            return false;
        }
    }
    std::istream &src = file == "-" ? std::cin : in;
    std::string text;
    for (size_t n = 1; std::getline(src, text); n++) {
        Line line{n, {}};
        std::string why;
        if (!split_line(text, &line.words, &why)) {
            *status = inv.out.usage("batch: line " + std::to_string(n) + ": " + why);
            return false;
        }
        if (!line.words.empty()) out->push_back(std::move(line));
    }
    return true;
}

// Plans one line as the command it names would.
int plan_line(const Invocation &inv, const Line &line, std::vector<Change> *out)
{
    const std::string where = "batch: line " + std::to_string(line.number);
    const Command *cmd = find_command(line.words[0]);
    if (cmd == nullptr || cmd->plan == nullptr)
        return inv.out.usage(where + ": '" + line.words[0] + "' cannot be batched (set, create, unset, rm, mv, sec)");
    Parsed args;
    std::string why;
    std::vector<std::string> rest(line.words.begin() + 1, line.words.end());
    if (!parse_args(rest, cmd->options, &args, &why)) return inv.out.usage(where + ": " + why);
    if (args.args.size() < cmd->min_args || args.args.size() > cmd->max_args)
        return inv.out.usage(where + ": usage: " + cmd->name + " " + cmd->usage);
    Invocation sub{*cmd, args, inv.out, inv.session, where + ": " + cmd->name + " " + args.args[0]};
    return cmd->plan(sub, out);
}

int run_batch(Invocation &inv)
{
    std::vector<Line> lines;
    int status = 0;
    if (!read_lines(inv, &lines, &status)) return status;
    std::vector<Change> changes;
    changes.reserve(lines.size());
    Progress progress("propctl batch");
    for (size_t i = 0; i < lines.size(); i++) {
        progress.step(i + 1, lines.size());
        if (int st = plan_line(inv, lines[i], &changes); st != 0) {
            inv.out.note("batch: nothing was changed");
            return st;
        }
    }
    // One call, one transaction: there is nothing to count while it runs.
    progress.message("making " + std::to_string(changes.size()) + " changes");
    size_t failed = 0;
    std::string why;
    uint32_t rc = inv.session.store().apply_batch(changes, &failed, &why);
    progress.done();
    if (rc != 0) {
        std::string what = "batch";
        if (failed < changes.size())
            what = changes[failed].what;
        else if (!why.empty())
            what += ": " + why;
        const int st = store_failure(inv, what, rc);
        inv.out.note("batch: nothing was changed");
        return st;
    }
    return report_changes(inv.out, changes.size());
}

}  // namespace

void add_batch_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "batch",
        "[FILE]",
        "make the changes listed in FILE (or stdin) as one transaction",
        "Each line is a set, create, unset, rm, mv or sec command as it would be\n"
        "typed after 'propctl', for example:\n"
        "\n"
        "    set SYSTEM.app.name \"my app\"\n"
        "    set SYSTEM.app.port 8080 --type int\n"
        "    rm -r SYSTEM.old\n"
        "\n"
        "Blank lines and lines starting with # are skipped.  Either every change\n"
        "is made or, when one fails, none is.  Each line works on the keys as\n"
        "they are before the batch, so a line cannot remove or move a key that\n"
        "an earlier line creates.  A value in a batch holds at most 4096 bytes.\n"
        "A value beginning with '-' goes after '--', as on the command line.\n"
        "\n"
        "One transaction keeps the old contents of at most 20489 pages in the\n"
        "undo log: a batch sets at most 20489 keys (a value over 256 bytes counts\n"
        "twice; each parent that gains or loses keys takes a page or more).  A\n"
        "batch that may need more is refused with error 36 before anything is\n"
        "written, and the message gives the limit for changes like its own:\n"
        "split the file.  Through propregd a batch holds at most 4096 changes and\n"
        "1 MiB in all.\n",
        {},
        0,
        1,
        writes_store,
        run_batch,
        nullptr,
        served_always,
    });
}

}  // namespace propctl

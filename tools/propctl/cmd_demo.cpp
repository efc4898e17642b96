// demo: a short tour on a fresh two-location store, run as the commands a
// user would type.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "commands.h"

namespace propctl {

namespace {

// A fresh directory: the one given (made, or empty), else a new one in
// $TMPDIR.  "" after reporting a fault.
std::string fresh_directory(const Invocation &inv)
{
    if (!inv.args.args.empty()) {
        std::string dir = inv.args.args[0], why;
        std::error_code ec;
        if (directory_exists(dir) && !std::filesystem::is_empty(dir, ec)) {
            inv.out.problem("demo: " + dir + " is not empty");
            return "";
        }
        if (!make_directories(dir, &why)) {
            inv.out.problem("demo: " + why);
            return "";
        }
        return absolute_path(dir);
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/propctl-demo-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        inv.out.problem("demo: cannot make a directory in " + pattern);
        return "";
    }
    return pattern;
}

bool step(const std::string &root, const std::vector<std::string> &words)
{
    std::string shown = "propctl";
    for (const std::string &w : words) shown += " " + (w.find(' ') == std::string::npos ? w : "'" + w + "'");
    std::printf("\n$ %s\n", shown.c_str());
    std::fflush(stdout);
    std::vector<std::string> full = {"--root", root};
    full.insert(full.end(), words.begin(), words.end());
    return run_command_line(full) == 0;
}

int run_demo(Invocation &inv)
{
    const std::string dir = fresh_directory(inv);
    if (dir.empty()) return 1;
    const std::string batch = dir + "/changes.batch";
    const char *changes =
        "# one transaction: all of these or none\n"
        "set SYSTEM.demo.db.name inventory\n"
        "set SYSTEM.demo.db.replicas 3 --type int\n"
        "create SYSTEM.demo.spare\n";
    std::ofstream(batch) << changes;
    const std::string root = dir + "/registry";
    std::printf("A two-location mirrored store; every command below runs with --root %s\n", root.c_str());
    const std::vector<std::vector<std::string>> steps = {
        {"init", "--cluster", "--copies", "2"},
        {"set", "SYSTEM.demo.greeting", "hello, world"},
        {"set", "SYSTEM.demo.port", "8080", "--type", "int"},
        {"set", "SYSTEM.demo.hosts", "alpha", "beta", "gamma", "--type", "multi"},
        {"batch", batch},
        {"mv", "SYSTEM.demo.spare", "SYSTEM.demo.db.spare"},
        {"get", "SYSTEM.demo.greeting"},
        {"ls", "SYSTEM.demo"},
        {"sec", "SYSTEM.demo.port"},
        {"tree", "SYSTEM.demo"},
        {"info"},
    };
    for (const auto &s : steps) {
        if (s[0] == "batch") std::printf("\n$ cat %s\n%s", batch.c_str(), changes);
        if (!step(root, s)) return 1;
    }
    std::printf("\nTry more with: propctl --root %s ...  (the location files are sparse:\n"
                "they take little disk; remove them with: rm -r %s)\n",
                root.c_str(), dir.c_str());
    return 0;
}

}  // namespace

void add_demo_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "demo",
        "[DIR]",
        "make a mirrored store in a fresh directory and take it for a spin",
        "Formats a two-location cluster registry under DIR (default: a new\n"
        "directory in $TMPDIR), writes a small tree, one batch included, reads it\n"
        "back and prints it with the store's info, showing each command.\n",
        {},
        0,
        1,
        no_store,
        run_demo,
        nullptr,
    });
}

}  // namespace propctl

// The command table: each command's words, options and help, what hold on
// the store it needs, and the function that runs it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "change.h"
#include "cli.h"
#include "output.h"
#include "session.h"

namespace propctl {

struct Command;

struct Invocation {
    const Command &cmd;
    const Parsed &args;
    const Output &out;
    Session &session;
    std::string what;  // "set SYSTEM.a": how messages name this command
};

struct Command {
    const char *name;
    const char *usage;    // what follows "propctl NAME"
    const char *summary;  // one line for the command list
    const char *help;     // the rest of --help
    std::vector<Option> options;
    size_t min_args;
    size_t max_args;
    Access (*access)(const Parsed &args);
    int (*run)(Invocation &inv);
    // Commands that change keys plan their changes, so that a batch can
    // run the same plan as one transaction; nullptr for the others.
    int (*plan)(Invocation &inv, std::vector<Change> *out);
    // Whether these words run through the daemon that serves the root,
    // when one does; nullptr: never.
    bool (*served)(const Parsed &args) = nullptr;
};

bool served_always(const Parsed &args);

constexpr size_t kAnyNumber = static_cast<size_t>(-1);

Access no_store(const Parsed &);
Access reads_store(const Parsed &);
Access writes_store(const Parsed &);

// The JSON answer of a command that changed the store; returns 0.
int report_changes(const Output &out, size_t count);
// Runs the planned changes one by one, each in its own transaction.
int run_planned(Invocation &inv);
// What a failure of the key operations prints; returns the exit status.
int store_failure(const Invocation &inv, const std::string &what, uint32_t code);
// What a planning or key read failure prints; returns the exit status.
int key_failure(const Invocation &inv, const std::string &key, uint32_t code);
// 0 for a well-formed key name; else the reported exit status.
int check_key_name(const Invocation &inv, const std::string &name);

// The store's sizes from its bitmaps, without the scan; 0 or the code.
uint32_t store_sizes(backend_ctx *ctx, prop_status *out);
double percent_full(const prop_status &st);
// From 90% full, a command that writes says so on stderr.
void warn_when_full(Session &session, const Output &out);

void add_init_commands(std::vector<Command> *table);
void add_grow_commands(std::vector<Command> *table);
void add_read_commands(std::vector<Command> *table);
void add_write_commands(std::vector<Command> *table);
void add_security_commands(std::vector<Command> *table);
void add_batch_commands(std::vector<Command> *table);
void add_info_commands(std::vector<Command> *table);
void add_demo_commands(std::vector<Command> *table);
void add_diag_commands(std::vector<Command> *table);
void add_block_commands(std::vector<Command> *table);
void add_location_commands(std::vector<Command> *table);
void add_vld_commands(std::vector<Command> *table);
void add_backup_commands(std::vector<Command> *table);
void add_record_commands(std::vector<Command> *table);
void add_watch_commands(std::vector<Command> *table);

const std::vector<Command> &command_table();
const Command *find_command(const std::string &name);

// Runs one command line (without the program name); the exit status.
int run_command_line(const std::vector<std::string> &words);

// What every command accepts, and what the overview says about propctl.
const std::vector<Option> &global_options();
const char *about_text();
// Writes the shell completion and the man pages into dir; the exit status.
int write_docs(const std::string &dir);

}  // namespace propctl

// Runs the built propctl as a user would: a child process with its own
// stdin, stdout, stderr and exit status, on a store under a TempDir.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/tmpdir.h"

struct RunResult {
    int status = -1;   // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// A running propctl. Its stdin, stdout and stderr are files of its own, so
// that nothing it writes can block it; with terminal, stderr is a
// pseudo-terminal read back here.
class Child {
  public:
    // launcher: a program and its words that run propctl (as another user).
    Child(const std::vector<std::string> &args, const std::map<std::string, std::string> &env,
          const std::string &input, bool terminal = false, const std::vector<std::string> &launcher = {});
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    void kill_now();
    RunResult wait();

  private:
    TempDir files_;
    pid_t pid_ = -1;
    int terminal_ = -1;  // the pseudo-terminal's reading side
};

// How a run differs from a plain one with --root.
struct RunOptions {
    std::string input = "";
    bool terminal = false;  // stderr on a terminal, as a person at a shell has it
    bool root = true;       // without: the store the environment (or the default) names
    std::vector<std::string> launcher = {};  // runs propctl, e.g. as another user
    std::string faults = "";                 // PROPREG_FAULTS for this run only
};

// propctl with --root fixed to a fresh directory; with init, the words of
// the propctl init that makes its store.
class Propctl {
  public:
    explicit Propctl(const std::vector<std::string> &init = {});

    const std::string &root() const { return root_; }
    const TempDir &dir() const { return dir_; }
    // Extra environment for every later run (e.g. PROPREG_FAULTS).
    void set_env(const std::string &name, const std::string &value) { env_[name] = value; }
    void clear_env(const std::string &name) { env_.erase(name); }

    RunResult run(const std::vector<std::string> &args, const std::string &input = "") const
    {
        return run(args, RunOptions{input});
    }
    RunResult run(const std::vector<std::string> &args, const RunOptions &o) const;
    std::unique_ptr<Child> spawn(const std::vector<std::string> &args) const
    {
        return std::make_unique<Child>(with_root(args), env_, "");
    }
    // Runs and expects success; the test fails with stderr otherwise.
    std::string ok(const std::vector<std::string> &args, const std::string &input = "") const;

  private:
    std::vector<std::string> with_root(const std::vector<std::string> &args) const;

    TempDir dir_;
    std::string root_;
    std::map<std::string, std::string> env_;
};

// Whether r ended with status and its stderr holds part; a failure shows both.
inline ::testing::AssertionResult exits(const RunResult &r, int status, const std::string &part)
{
    if (r.status == status && r.err.find(part) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "status " << r.status << " (not " << status << "), or no \"" << part << "\" in:\n"
           << r.err;
}

// Whether text holds part; a failure shows the whole text.
inline ::testing::AssertionResult holds(const std::string &text, const std::string &part)
{
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

// The values of every "name": in a JSON document, in order.
inline std::vector<std::string> fields(const std::string &json, const std::string &name)
{
    std::vector<std::string> out;
    const std::string tag = "\"" + name + "\":";
    for (size_t at = json.find(tag); at != std::string::npos; at = json.find(tag, at + 1)) {
        const size_t from = at + tag.size();
        out.push_back(json.substr(from, json.find_first_of(",}]", from) - from));
    }
    return out;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes data to name in dir; its path.
inline std::string write_file(const TempDir &dir, const std::string &name, const std::string &data)
{
    std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
    return path;
}

// What propctl says: results on stdout, for people or as JSON, errors on
// stderr, and progress lines when stderr is a terminal.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace propctl {

// Exit statuses, the same for every command.
enum ExitStatus : int {
    kExitDone = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitCorrupt = 3,
    kExitNotFound = 4,     // no such key or file
    kExitDenied = 5,       // permission denied
    kExitUnavailable = 6,  // a location or disk group cannot be reached
    kExitLockTimeout = 7,  // gave up waiting for the store's lock
};

// The exit status of a failure the library answered with code.
int exit_status(uint32_t code);
// The exit status of a failure with a system error number.
int exit_status_of_errno(int err);

// What propctl knows of a failure beyond the library's code: the reason,
// and the exit status it calls for (-1: the code's).
struct Cause {
    std::string reason;
    int exit = -1;
};

// Builds one JSON document; commas and nesting are tracked for the caller.
class Json {
  public:
    Json &begin_object();
    Json &end_object();
    Json &begin_array();
    Json &end_array();
    Json &key(const std::string &k);
    Json &str(const std::string &s);
    Json &num(uint64_t n);
    Json &tenths(double v);  // a number with one decimal
    Json &boolean(bool b);
    Json &null();
    const std::string &text() const { return out_; }

  private:
    void separate();

    std::string out_;
    std::vector<bool> first_;  // per open container: nothing written yet
    bool after_key_ = false;
};

std::string json_quote(const std::string &s);

class Output {
  public:
    explicit Output(bool json) : json_(json) {}
    bool json() const { return json_; }

    // A result line or block for people (ignored in JSON mode).
    void line(const std::string &text) const;
    // The JSON document of a command (ignored in people mode).
    void document(const Json &doc) const;

    // "propctl: <what>[: <cause>]: error <code>: <text>" with the
    // catalogue's text and the cause the explainer finds; returns the exit
    // status.  With --json the same goes to stdout as
    // {"ok":false,"code":N,"exit":E,"error":"..."}.
    int fail(const std::string &what, uint32_t code) const;
    // The same with a cause already known.
    int fail(const std::string &what, uint32_t code, const Cause &cause) const;
    // "propctl: <what>" for faults found without the library's code.
    int problem(const std::string &what, int exit = kExitFailed) const;
    // A mistake in the command line.
    int usage(const std::string &what) const { return problem(what, kExitUsage); }
    // A note for people on stderr (creating a store, waiting for a lock).
    void note(const std::string &text) const;

    // Finds the cause of a library failure (the session holding the store
    // knows its files); none is set outside a session.
    using Explainer = std::function<Cause(uint32_t code)>;
    void explain_with(Explainer explainer) const { explainer_ = std::move(explainer); }

  private:
    int report(const std::string &text, uint32_t code, int exit) const;

    bool json_;
    mutable Explainer explainer_;
};

// A counter redrawn in place on stderr while long work runs; silent when
// stderr is not a terminal.
class Progress {
  public:
    explicit Progress(std::string label);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void step(uint64_t done, uint64_t total = 0);
    void message(const std::string &text);
    // Takes the line off the terminal before other output.
    void done();

  private:
    void draw(const std::string &text);

    std::string label_;
    bool enabled_;
    bool drawn_ = false;
    int64_t last_ms_ = 0;
};

}  // namespace propctl

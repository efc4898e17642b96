// What propctl says: results on stdout, for people or as JSON, errors on
// stderr, and progress lines when stderr is a terminal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace propctl {

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

    // "propctl: <what>: error <code>: <text>" with the catalogue's text;
    // returns the exit status 1.
    int fail(const std::string &what, uint32_t code) const;
    // "propctl: <what>" for faults found before the library is reached.
    int problem(const std::string &what) const;
    // A note for people on stderr (creating a store, waiting for a lock).
    void note(const std::string &text) const;

  private:
    bool json_;
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

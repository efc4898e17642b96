// Command lines: options and arguments of one command, and the words of
// one line of a batch file.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace propctl {

struct Option {
    const char *name;  // long form, without the dashes
    char letter;       // short form, 0 for none
    const char *arg;   // placeholder of its value; nullptr for a switch
    const char *help;
};

struct Parsed {
    std::vector<std::string> args;
    std::map<std::string, std::vector<std::string>> opts;

    bool has(const std::string &name) const { return opts.count(name) != 0; }
    // The last value given, or fallback.
    std::string value(const std::string &name, const std::string &fallback = "") const;
    const std::vector<std::string> &values(const std::string &name) const;
};

// Options may come anywhere; "--" ends them.  false with a message for an
// unknown option or a missing value.
bool parse_args(const std::vector<std::string> &words, const std::vector<Option> &known, Parsed *out,
                std::string *error);

// Splits a line the way a shell would for simple cases: blanks separate
// words, '...' quotes literally, "..." quotes with backslash escapes, a
// backslash outside quotes escapes the next character, and '#' at the start
// of a word comments out the rest.  false for an unterminated quote.
bool split_line(const std::string &line, std::vector<std::string> *words, std::string *error);

}  // namespace propctl

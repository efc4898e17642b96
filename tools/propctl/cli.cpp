#include "cli.h"

namespace propctl {

namespace {

const Option *find_long(const std::vector<Option> &known, const std::string &name)
{
    for (const Option &s : known)
        if (name == s.name) return &s;
    return nullptr;
}

const Option *find_short(const std::vector<Option> &known, char letter)
{
    for (const Option &s : known)
        if (s.letter != 0 && s.letter == letter) return &s;
    return nullptr;
}

}  // namespace

std::string Parsed::value(const std::string &name, const std::string &fallback) const
{
    auto it = opts.find(name);
    return it == opts.end() || it->second.empty() ? fallback : it->second.back();
}

const std::vector<std::string> &Parsed::values(const std::string &name) const
{
    static const std::vector<std::string> none;
    auto it = opts.find(name);
    return it == opts.end() ? none : it->second;
}

bool parse_args(const std::vector<std::string> &words, const std::vector<Option> &known, Parsed *out,
                std::string *error)
{
    bool options_done = false;
    for (size_t i = 0; i < words.size(); i++) {
        const std::string &w = words[i];
        if (options_done || w.size() < 2 || w[0] != '-') {
            out->args.push_back(w);
            continue;
        }
        if (w == "--") {
            options_done = true;
            continue;
        }
        const Option *opt = nullptr;
        std::string inline_value;
        bool has_inline = false;
        if (w[1] == '-') {
            std::string name = w.substr(2);
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                inline_value = name.substr(eq + 1);
                has_inline = true;
                name.resize(eq);
            }
            opt = find_long(known, name);
        } else if (w.size() == 2) {
            opt = find_short(known, w[1]);
        }
        if (opt == nullptr) {
            *error = "unknown option " + w;
            if (w[1] != '-') *error += "; a value beginning with '-' goes after '--'";
            return false;
        }
        std::vector<std::string> &slot = out->opts[opt->name];
        if (opt->arg == nullptr) {
            if (has_inline) {
                *error = "option --" + std::string(opt->name) + " takes no value";
                return false;
            }
            slot.emplace_back();
            continue;
        }
        if (has_inline) {
            slot.push_back(inline_value);
        } else if (i + 1 < words.size()) {
            slot.push_back(words[++i]);
        } else {
            *error = "option --" + std::string(opt->name) + " needs a value (" + opt->arg + ")";
            return false;
        }
    }
    return true;
}

bool split_line(const std::string &line, std::vector<std::string> *words, std::string *error)
{
    std::string word;
    bool in_word = false;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (in_word) words->push_back(word);
            word.clear();
            in_word = false;
            continue;
        }
        if (c == '#' && !in_word) break;
        in_word = true;
        if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
        } else if (c == '\'' || c == '"') {
            size_t end = i + 1;
            for (; end < line.size() && line[end] != c; end++) {
                if (c == '"' && line[end] == '\\' && end + 1 < line.size()) end++;
                word += line[end];
            }
            if (end >= line.size()) {
                *error = std::string("unterminated ") + c + " quote";
                return false;
            }
            i = end;
        } else {
            word += c;
        }
    }
    if (in_word) words->push_back(word);
    return true;
}

}  // namespace propctl

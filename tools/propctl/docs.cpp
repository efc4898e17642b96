// Shell completion for bash and zsh and a man page per command, written
// from the command table that --help prints, so that none of them can
// drift from it.  The build runs `propctl --write-docs DIR`.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "commands.h"

namespace propctl {

namespace {

namespace fs = std::filesystem;

std::string long_flag(const Option &o)
{
    return std::string("--") + o.name;
}

std::string short_flag(const Option &o)
{
    return o.letter != 0 ? std::string("-") + o.letter : "";
}

std::vector<std::string> split(const std::string &text, const std::string &sep)
{
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t at; (at = text.find(sep, from)) != std::string::npos; from = at + sep.size())
        out.push_back(text.substr(from, at - from));
    out.push_back(text.substr(from));
    return out;
}

bool plain_word(const std::string &w)
{
    if (w.empty()) return false;
    for (char ch : w)
        if (std::islower(static_cast<unsigned char>(ch)) == 0) return false;
    return true;
}

// The action words a command starts with: the first word of each
// alternative of its usage ("add PATH | remove N"), when it is a plain word.
std::vector<std::string> actions(const Command &c)
{
    std::vector<std::string> out;
    for (std::string alt : split(c.usage, " | ")) {
        const size_t begin = alt.find_first_not_of(" [");
        if (begin == std::string::npos) continue;
        std::string word = alt.substr(begin, alt.find_first_of(" ]", begin) - begin);
        if (plain_word(word)) out.push_back(word);
    }
    return out;
}

// The values an option takes, when its usage lists them
// ("--type text|multi|int|bytes"); empty when the value is free.
std::vector<std::string> option_values(const Command &c, const Option &o)
{
    const std::string usage = c.usage, flag = long_flag(o) + " ";
    const size_t at = usage.find(flag);
    if (at == std::string::npos) return {};
    const size_t begin = at + flag.size();
    const std::string word = usage.substr(begin, usage.find_first_of(" ]", begin) - begin);
    return word.find('|') == std::string::npos ? std::vector<std::string>{} : split(word, "|");
}

enum class ValueKind { none, free, file, dir, listed };

ValueKind value_kind(const Option &o, const std::vector<std::string> &listed)
{
    if (o.arg == nullptr) return ValueKind::none;
    const std::string arg = o.arg;
    if (arg == "DIR") return ValueKind::dir;
    if (arg == "FILE" || arg == "PATH") return ValueKind::file;
    return listed.empty() ? ValueKind::free : ValueKind::listed;
}

// Arguments complete as file names when the usage names a file at all.
bool takes_files(const Command &c)
{
    std::istringstream words(c.usage);
    for (std::string w; words >> w;) {
        const size_t begin = w.find_first_not_of("[");
        const std::string bare = begin == std::string::npos ? "" : w.substr(begin, w.find_first_of("]|.", begin) - begin);
        if (bare == "FILE" || bare == "PATH" || bare == "DIR") return true;
    }
    return false;
}

std::string joined(const std::vector<std::string> &words)
{
    std::string out;
    for (const std::string &w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

std::vector<std::string> flags(const std::vector<Option> &opts)
{
    std::vector<std::string> out;
    for (const Option &o : opts) {
        out.push_back(long_flag(o));
        if (o.letter != 0) out.push_back(short_flag(o));
    }
    return out;
}

// --- bash ---------------------------------------------------------------

// The case arms that complete the value of each option of opts.
void bash_values(std::ostream &s, const Command *c, const std::vector<Option> &opts, const char *indent)
{
    for (const Option &o : opts) {
        const std::vector<std::string> listed = c != nullptr ? option_values(*c, o) : std::vector<std::string>{};
        const ValueKind kind = value_kind(o, listed);
        if (kind == ValueKind::none) continue;
        s << indent << long_flag(o) << (o.letter != 0 ? "|" + short_flag(o) : "") << ") ";
        if (kind == ValueKind::file) s << "_propctl_files -f; ";
        if (kind == ValueKind::dir) s << "_propctl_files -d; ";
        if (kind == ValueKind::listed) s << "_propctl_words \"" << joined(listed) << "\"; ";
        s << "return ;;\n";
    }
}

std::vector<std::string> valued_flags(const std::vector<Option> &opts)
{
    std::vector<std::string> out;
    for (const Option &o : opts)
        if (o.arg != nullptr) {
            out.push_back(long_flag(o));
            if (o.letter != 0) out.push_back(short_flag(o));
        }
    return out;
}

std::string bash_script()
{
    const std::vector<Option> &globals = global_options();
    std::ostringstream s;
    s << "# bash completion for propctl, written from its command table.\n\n"
         "_propctl_words() { mapfile -t COMPREPLY < <(compgen -W \"$1\" -- \"$cur\"); }\n"
         "_propctl_files() { compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen \"$1\" -- \"$cur\"); }\n\n"
         "_propctl()\n{\n"
         "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "    local globals=\"" << joined(flags(globals)) << "\"\n"
         "    local valued=\" " << joined(valued_flags(globals)) << " \"\n"
         "    local cmd=\"\" at=1 opts=\"\" actions=\"\" files=\"\"\n"
         "    COMPREPLY=()\n"
         "    # The command: the first word that is neither an option nor its value.\n"
         "    while ((at < COMP_CWORD)); do\n"
         "        case $valued in *\" ${COMP_WORDS[at]} \"*) ((at += 2)); continue ;; esac\n"
         "        [[ ${COMP_WORDS[at]} == -* ]] || { cmd=${COMP_WORDS[at]}; break; }\n"
         "        ((at++))\n"
         "    done\n"
         "    case $prev in\n";
    bash_values(s, nullptr, globals, "        ");
    s << "    esac\n    case $cmd in\n        \"\")\n"
         "            [[ $cur == -* ]] && _propctl_words \"$globals\" || _propctl_words \"";
    std::vector<std::string> names;
    for (const Command &c : command_table()) names.push_back(c.name);
    s << joined(names) << "\"\n            return ;;\n";
    for (const Command &c : command_table()) {
        s << "        " << c.name << ")\n            opts=\"" << joined(flags(c.options)) << "\"\n";
        if (const std::vector<std::string> valued = valued_flags(c.options); !valued.empty())
            s << "            valued+=\"" << joined(valued) << " \"\n";
        if (const std::vector<std::string> acts = actions(c); !acts.empty())
            s << "            actions=\"" << joined(acts) << "\"\n";
        if (takes_files(c)) s << "            files=1\n";
        std::ostringstream values;
        bash_values(values, &c, c.options, "                ");
        if (!values.str().empty()) s << "            case $prev in\n" << values.str() << "            esac\n";
        s << "            ;;\n";
    }
    s << "        *) return ;;\n    esac\n"
         "    if [[ $cur == -* ]]; then\n        _propctl_words \"$opts $globals\"\n        return\n    fi\n"
         "    # The first argument of a command that has actions is one of them.\n"
         "    local n=0 i\n"
         "    for ((i = at + 1; i < COMP_CWORD; i++)); do\n"
         "        case $valued in *\" ${COMP_WORDS[i]} \"*) ((i++)); continue ;; esac\n"
         "        [[ ${COMP_WORDS[i]} == -* ]] || ((n++))\n"
         "    done\n"
         "    if [[ -n $actions && $n -eq 0 ]]; then\n        _propctl_words \"$actions\"\n"
         "    elif [[ -n $files ]]; then\n        _propctl_files -f\n    fi\n"
         "}\n\ncomplete -F _propctl propctl\n";
    return s.str();
}

// --- zsh ----------------------------------------------------------------

// A text inside single quotes, and inside an option's [description].
std::string zsh_quoted(const std::string &text, bool described)
{
    std::string out;
    for (char ch : text) {
        if (ch == '\'') out += "'\\''";
        else if (described && (ch == '[' || ch == ']' || ch == '\\')) out += std::string("\\") + ch;
        else out += ch;
    }
    return out;
}

std::string zsh_option(const Command *c, const Option &o)
{
    const std::vector<std::string> listed = c != nullptr ? option_values(*c, o) : std::vector<std::string>{};
    std::string names = o.letter != 0 ? "{" + short_flag(o) + "," + long_flag(o) + "}" : long_flag(o);
    std::string entry = "'*'" + names + "'[" + zsh_quoted(o.help, true) + "]";
    switch (value_kind(o, listed)) {
    case ValueKind::none: break;
    case ValueKind::free: entry += ":" + zsh_quoted(o.arg, false) + ": "; break;
    case ValueKind::file: entry += ":" + zsh_quoted(o.arg, false) + ":_files"; break;
    case ValueKind::dir: entry += ":" + zsh_quoted(o.arg, false) + ":_files -/"; break;
    case ValueKind::listed: entry += ":" + zsh_quoted(o.arg, false) + ":(" + joined(listed) + ")"; break;
    }
    return entry + "'";
}

std::string zsh_script()
{
    std::ostringstream s;
    s << "#compdef propctl\n# zsh completion for propctl, written from its command table.\n\n"
         "local curcontext=$curcontext state line\nlocal -a globals commands\nglobals=(\n";
    for (const Option &o : global_options()) s << "  " << zsh_option(nullptr, o) << "\n";
    s << ")\ncommands=(\n";
    for (const Command &c : command_table())
        s << "  '" << c.name << ":" << zsh_quoted(c.summary, false) << "'\n";
    s << ")\n\n_arguments -C $globals ': :->command' '*:: :->args' && return\n"
         "case $state in\n  command) _describe -t commands 'propctl command' commands ;;\n"
         "  args)\n    case $words[1] in\n";
    for (const Command &c : command_table()) {
        s << "      " << c.name << ") _arguments $globals";
        for (const Option &o : c.options) s << " \\\n          " << zsh_option(&c, o);
        if (const std::vector<std::string> acts = actions(c); !acts.empty())
            s << " \\\n          '1:action:(" << joined(acts) << ")'";
        s << " \\\n          '*:argument:" << (takes_files(c) ? "_files" : " ") << "' ;;\n";
    }
    s << "    esac ;;\nesac\n";
    return s.str();
}

// --- man pages ----------------------------------------------------------

// One line of text for roff: escapes kept as text, hyphens as hyphens,
// and a line that would read as a request kept as text.
std::string roff(const std::string &text)
{
    std::string out;
    for (char ch : text) {
        if (ch == '\\') out += "\\e";
        else if (ch == '-') out += "\\-";
        else out += ch;
    }
    return !out.empty() && (out[0] == '.' || out[0] == '\'') ? "\\&" + out : out;
}

std::string upper(std::string text)
{
    for (char &ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

// A summary as the first sentence of a description.
std::string sentence(std::string text)
{
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text + ".";
}

// Help text as roff: blank lines part paragraphs, indented lines (examples)
// keep their lines.
void man_text(std::ostream &s, const std::string &text)
{
    bool literal = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const bool indented = !line.empty() && line[0] == ' ';
        if (literal && !indented) s << ".fi\n";
        if (line.empty()) s << ".PP\n";
        else if (indented && !literal) s << ".nf\n";
        if (!line.empty()) s << roff(line) << "\n";
        literal = indented;
    }
    if (literal) s << ".fi\n";
}

void man_options(std::ostream &s, const char *title, const std::vector<Option> &opts)
{
    if (opts.empty()) return;
    s << ".SH " << title << "\n";
    for (const Option &o : opts) {
        s << ".TP\n";
        if (o.letter != 0) s << "\\fB" << roff(short_flag(o)) << "\\fR, ";
        s << "\\fB" << roff(long_flag(o)) << "\\fR";
        if (o.arg != nullptr) s << " \\fI" << roff(o.arg) << "\\fR";
        s << "\n" << roff(o.help) << "\n";
    }
}

std::string man_header(const std::string &name)
{
    return ".TH " + roff(upper(name)) + " 1 \"\" \"propreg " PROPCTL_VERSION "\" \"propctl\"\n";
}

std::string command_page(const Command &c)
{
    std::ostringstream s;
    const std::string page = std::string("propctl-") + c.name;
    s << man_header(page) << ".SH NAME\n" << roff(page) << " \\- " << roff(c.summary) << "\n"
      << ".SH SYNOPSIS\n\\fBpropctl " << roff(c.name) << "\\fR " << roff(c.usage) << "\n"
      << ".SH DESCRIPTION\n" << roff(sentence(c.summary)) << "\n";
    if (c.help != nullptr && *c.help != '\0') {
        s << ".PP\n";
        man_text(s, c.help);
    }
    man_options(s, "OPTIONS", c.options);
    man_options(s, "GLOBAL OPTIONS", global_options());
    s << ".SH SEE ALSO\n\\fBpropctl\\fR(1)\n";
    return s.str();
}

std::string overview_page()
{
    std::ostringstream s;
    s << man_header("propctl") << ".SH NAME\npropctl \\- the command\\-line front end of a propreg registry store\n"
      << ".SH SYNOPSIS\n\\fBpropctl\\fR";
    for (const Option &o : global_options())
        s << " [" << roff(long_flag(o)) << (o.arg != nullptr ? std::string(" ") + roff(o.arg) : "") << "]";
    s << " \\fICOMMAND\\fR [\\fIARGS\\fR]\n.SH DESCRIPTION\n";
    man_text(s, about_text());
    s << ".SH COMMANDS\nEach command has a page of its own: \\fBpropctl\\-\\fR\\fICOMMAND\\fR(1).\n";
    for (const Command &c : command_table()) s << ".TP\n\\fB" << roff(c.name) << "\\fR\n" << roff(c.summary) << "\n";
    man_options(s, "GLOBAL OPTIONS", global_options());
    s << ".SH SEE ALSO\n";
    const std::vector<Command> &table = command_table();
    for (size_t i = 0; i < table.size(); i++)
        s << "\\fBpropctl\\-" << roff(table[i].name) << "\\fR(1)" << (i + 1 < table.size() ? ",\n" : "\n");
    return s.str();
}

bool write_file(const fs::path &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    f.close();
    if (f) return true;
    std::fprintf(stderr, "propctl: cannot write %s\n", path.c_str());
    return false;
}

}  // namespace

int write_docs(const std::string &dir)
{
    const fs::path root(dir);
    std::error_code ec;
    // A command that left the table must not leave its page behind.
    fs::remove_all(root / "man1", ec);
    for (const char *sub : {"bash", "zsh", "man1"}) fs::create_directories(root / sub, ec);
    bool ok = write_file(root / "bash" / "propctl", bash_script()) && write_file(root / "zsh" / "_propctl", zsh_script()) &&
              write_file(root / "man1" / "propctl.1", overview_page());
    for (const Command &c : command_table())
        ok = ok && write_file(root / "man1" / (std::string("propctl-") + c.name + ".1"), command_page(c));
    return ok ? 0 : 1;
}

}  // namespace propctl

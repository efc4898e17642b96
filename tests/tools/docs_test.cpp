// The completion scripts and man pages propctl writes for the build cover
// every command and option that --help shows, and work in their shells.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "propctl_run.h"

namespace {

struct HelpEntry {
    std::string command;             // "" for the global options
    std::vector<std::string> flags;  // "--type", "-t"
    std::string help;                // its --help page
};

// The lines of one "title:" section of a help page, up to a blank line, or
// the options they show ("  -t, --type TYPE   text, ..." gives -t and --type).
std::vector<std::string> section(const std::string &help, const std::string &title, bool flags = false)
{
    std::vector<std::string> out;
    const size_t at = help.find("\n" + title + ":\n");
    std::istringstream lines(at == std::string::npos ? "" : help.substr(at + title.size() + 3));
    for (std::string line; std::getline(lines, line) && !line.empty();) {
        std::istringstream words(line);
        if (!flags) out.push_back(line);
        for (std::string w; flags && words >> w && w[0] == '-';) out.push_back(w.back() == ',' ? w.substr(0, w.size() - 1) : w);
    }
    return out;
}

// Every command with the options it accepts (its own and the global
// ones), as --help shows them; the global options alone first.
std::vector<HelpEntry> help_table()
{
    Propctl p;
    const std::string overview = p.ok({"--help"});
    const std::vector<std::string> globals = section(overview, "global options", true);
    std::vector<HelpEntry> table = {{"", globals, overview}};
    for (const std::string &line : section(overview, "commands")) {
        const std::string name = line.substr(2, line.find(' ', 2) - 2);
        const std::string help = p.ok({name, "--help"});
        table.push_back({name, section(help, "options", true), help});
        table.back().flags.insert(table.back().flags.begin(), globals.begin(), globals.end());
    }
    return table;
}

// The output of command (a shell's), line by line.
std::vector<std::string> run_shell(const std::string &command)
{
    std::string out;
    FILE *f = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; f != nullptr && (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    EXPECT_EQ(f != nullptr ? pclose(f) : -1, 0) << command;
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool has_word(const std::string &line, const std::string &word)
{
    return (" " + line + " ").find(" " + word + " ") != std::string::npos;
}

class PropctlDocs : public ::testing::Test {
  protected:
    // Written and read once for the three shapes they take.
    static void SetUpTestSuite()
    {
        docs_ = new TempDir;
        RunResult r = Child({"--write-docs", docs_->path()}, {}, "").wait();
        ASSERT_EQ(r.status, 0) << r.err;
        table_ = help_table();
        ASSERT_GT(table_.size(), 20u);
        ASSERT_GT(table_[0].flags.size(), 3u);
    }
    static void TearDownTestSuite() { delete docs_; }

    // Runs script (written to a file) with shell.
    static std::vector<std::string> run_script(const std::string &shell, const std::string &script)
    {
        std::ofstream(docs_->file("script")) << script;
        return run_shell(shell + " " + docs_->file("script"));
    }

    static inline TempDir *docs_ = nullptr;
    static inline std::vector<HelpEntry> table_;
};

TEST_F(PropctlDocs, EveryCommandHasHelpAndDurabilityIsExplained)
{
    for (size_t i = 1; i < table_.size(); i++)
        EXPECT_EQ(table_[i].help.rfind("usage: propctl " + table_[i].command, 0), 0u) << table_[i].help;
    EXPECT_TRUE(holds(table_[0].help, "power cut")) << "durability is not explained";
    EXPECT_TRUE(holds(Propctl().ok({"init", "--help"}), "not durable"));
}

TEST_F(PropctlDocs, BashCompletesEveryCommandOptionAndAction)
{
    std::string script = "source " + docs_->file("bash/propctl") +
                         "\ncomp() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _propctl; echo \"${COMPREPLY[*]}\"; }\n"
                         "comp propctl ''\n";
    for (size_t i = 1; i < table_.size(); i++) script += "comp propctl " + table_[i].command + " -\n";
    // Global options and their values come before the command; the values
    // of a command's options are no arguments.
    script += "comp propctl --root /r --json location ''\ncomp propctl set --type ''\n"
              "comp propctl --backup b vld --copies 2 ''\ncomp propctl vld create +D --copies ''\n";
    const std::vector<std::string> out = run_script("bash --norc", script);
    ASSERT_EQ(out.size(), table_.size() + 4);
    for (size_t i = 1; i < table_.size(); i++) {
        EXPECT_TRUE(has_word(out[0], table_[i].command)) << table_[i].command;
        for (const std::string &f : table_[i].flags) EXPECT_TRUE(has_word(out[i], f)) << table_[i].command << " " << f;
    }
    EXPECT_EQ(out[table_.size()], "list add remove replace migrate");
    EXPECT_EQ(out[table_.size() + 1], "text multi int int64 bytes");
    EXPECT_TRUE(has_word(out[table_.size() + 2], "create") && has_word(out[table_.size() + 2], "damage"));
    EXPECT_EQ(out[table_.size() + 3], "");
}

// zsh's completion functions are stood in for: the first _arguments call
// picks the state, the second prints what it is given for the command.
TEST_F(PropctlDocs, ZshCompletesEveryCommandAndOption)
{
    std::string script = "fpath=(" + docs_->file("zsh") + " $fpath); autoload -Uz _propctl\n"
                         "_describe() { print -r -- \"${(@P)4}\"; }\n"
                         "_arguments() { if [[ $want != done ]]; then state=$want; want=done; return 1; fi; "
                         "print -r -- \"$@\"; }\n"
                         "want=command; words=(propctl); _propctl\n";
    for (size_t i = 1; i < table_.size(); i++) script += "want=args; words=(" + table_[i].command + "); _propctl\n";
    const std::vector<std::string> out = run_script("zsh -f", script);
    ASSERT_EQ(out.size(), table_.size());
    for (size_t i = 1; i < table_.size(); i++) {
        EXPECT_TRUE(holds(out[0], table_[i].command + ":")) << table_[i].command;
        for (const std::string &f : table_[i].flags)
            EXPECT_TRUE(holds(out[i], "*" + f + "[")) << table_[i].command << " " << f;
    }
}

// The pages are rendered in one run, the overview first, each starting
// with its title line.
TEST_F(PropctlDocs, EveryCommandHasAManPageWithItsOptions)
{
    std::string files = " " + docs_->file("man1/propctl.1");
    for (size_t i = 1; i < table_.size(); i++) files += " " + docs_->file("man1/propctl-" + table_[i].command + ".1");
    std::vector<std::string> pages;
    for (const std::string &line : run_shell("groff -man -Tascii -ww -rLL=250n -rHY=0 -P-c -P-b -P-u" + files + " 2>&1")) {
        EXPECT_EQ(line.find(": warning"), std::string::npos) << line;
        if (line.rfind("PROPCTL", 0) == 0) pages.emplace_back();
        if (!pages.empty()) pages.back() += line + " ";
    }
    ASSERT_EQ(pages.size(), table_.size());
    auto shows = [](const std::string &page, const std::string &f) {
        return has_word(page, f) || page.find(" " + f + ",") != std::string::npos;  // "-t, --type"
    };
    for (const std::string &f : table_[0].flags) EXPECT_TRUE(shows(pages[0], f)) << f;
    for (size_t i = 1; i < table_.size(); i++) {
        const std::string &page = pages[i], &name = table_[i].command;
        EXPECT_TRUE(holds(pages[0], "propctl-" + name + "(1)")) << name;
        EXPECT_TRUE(holds(page, "propctl " + name + " "));
        for (const std::string &f : table_[i].flags)
            EXPECT_TRUE(shows(page, f)) << name << " " << f;
    }
}

}  // namespace

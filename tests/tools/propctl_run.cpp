#include "propctl_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

extern char **environ;

Child::Child(const std::vector<std::string> &args, const std::map<std::string, std::string> &env,
             const std::string &input, bool terminal, const std::vector<std::string> &launcher)
{
    const std::string in = files_.file("in"), out = files_.file("out"), err = files_.file("err");
    std::ofstream(in, std::ios::binary) << input;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int slave = -1;
    if (terminal) {
        EXPECT_EQ(openpty(&terminal_, &slave, nullptr, nullptr, nullptr), 0);
        fcntl(terminal_, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        posix_spawn_file_actions_adddup2(&fa, slave, 2);
    } else {
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }

    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; e++)
        if (const std::string s = *e; env.count(s.substr(0, s.find('='))) == 0) env_strings.push_back(s);
    for (const auto &[k, v] : env) env_strings.push_back(k + "=" + v);
    std::vector<char *> envp, argv;
    for (std::string &s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = args;
    words.insert(words.begin(), PROPCTL_PATH);
    words.insert(words.begin(), launcher.begin(), launcher.end());
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    EXPECT_EQ(posix_spawn(&pid_, words[0].c_str(), &fa, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&fa);
    if (slave >= 0) ::close(slave);
}

Child::~Child()
{
    if (pid_ > 0) wait();
}

void Child::kill_now()
{
    if (pid_ > 0) ::kill(pid_, SIGKILL);
}

RunResult Child::wait()
{
    RunResult r;
    if (pid_ <= 0) return r;
    if (terminal_ >= 0) {
        // Read while it runs: a full terminal would stop it. The read fails
        // once the child's side is closed.
        char buf[4096];
        for (ssize_t n; (n = ::read(terminal_, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
            if (n > 0) r.err.append(buf, static_cast<size_t>(n));
        ::close(terminal_);
    }
    int st = 0;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) continue;
    pid_ = -1;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = read_file(files_.file("out"));
    if (terminal_ < 0) r.err = read_file(files_.file("err"));
    terminal_ = -1;
    return r;
}

// Nothing of the caller's environment may pick another store.
Propctl::Propctl(const std::vector<std::string> &init)
    : root_(dir_.file("root")),
      env_{{"ZKV_REGISTRY_ROOT", ""}, {"HOME", dir_.file("home")}, {"XDG_DATA_HOME", ""}, {"PROPREG_FAULTS", ""}}
{
    if (!init.empty()) ok(init);
}

RunResult Propctl::run(const std::vector<std::string> &args, const RunOptions &o) const
{
    std::map<std::string, std::string> env = env_;
    if (!o.faults.empty()) env["PROPREG_FAULTS"] = o.faults;
    return Child(o.root ? with_root(args) : args, env, o.input, o.terminal, o.launcher).wait();
}

std::vector<std::string> Propctl::with_root(const std::vector<std::string> &args) const
{
    std::vector<std::string> full = {"--root", root_};
    full.insert(full.end(), args.begin(), args.end());
    return full;
}

std::string Propctl::ok(const std::vector<std::string> &args, const std::string &input) const
{
    RunResult r = run(args, input);
    EXPECT_EQ(r.status, 0) << "propctl " << ::testing::PrintToString(args) << "\n" << r.err;
    return r.out;
}

#include "propctl_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char **environ;

namespace {

void read_all(int out_fd, int err_fd, std::string *out, std::string *err)
{
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {out, err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[65536];
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                open--;
            }
        }
    }
}

}  // namespace

Child::Child(const std::vector<std::string> &args, const std::map<std::string, std::string> &env,
             const std::string &input, bool terminal)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    if (terminal ? openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0 : pipe2(err, O_CLOEXEC) != 0) return;
    if (terminal) {
        fcntl(err[0], F_SETFD, FD_CLOEXEC);
        fcntl(err[1], F_SETFD, FD_CLOEXEC);
    }
    // The whole input fits a pipe's buffer in these tests; write it before
    // the child runs so that nothing blocks.
    if (!input.empty()) {
        fcntl(in[1], F_SETPIPE_SZ, 1 << 20);
        ssize_t n = ::write(in[1], input.data(), input.size());
        EXPECT_EQ(n, static_cast<ssize_t>(input.size()));
    }
    ::close(in[1]);

    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; e++) {
        std::string s = *e;
        if (env.count(s.substr(0, s.find('='))) == 0) env_strings.push_back(s);
    }
    for (const auto &[k, v] : env) env_strings.push_back(k + "=" + v);
    std::vector<char *> envp, argv;
    for (std::string &s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = args;
    words.insert(words.begin(), PROPCTL_PATH);
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(PROPCTL_PATH, argv.data(), envp.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
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
    read_all(out_fd_, err_fd_, &r.out, &r.err);
    ::close(out_fd_);
    ::close(err_fd_);
    int st = 0;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

Propctl::Propctl() : root_(dir_.file("root"))
{
    // Nothing of the caller's environment may pick another store.
    env_["ZKV_REGISTRY_ROOT"] = "";
    env_["HOME"] = dir_.file("home");
    env_["XDG_DATA_HOME"] = "";
    env_["PROPREG_FAULTS"] = "";
}

std::vector<std::string> Propctl::with_root(const std::vector<std::string> &args) const
{
    std::vector<std::string> full = {"--root", root_};
    full.insert(full.end(), args.begin(), args.end());
    return full;
}

RunResult Propctl::run(const std::vector<std::string> &args, const std::string &input) const
{
    return Child(with_root(args), env_, input).wait();
}

RunResult Propctl::run_on_terminal(const std::vector<std::string> &args, const std::string &input) const
{
    return Child(with_root(args), env_, input, true).wait();
}

RunResult Propctl::run_without_root(const std::vector<std::string> &args) const
{
    return Child(args, env_, "").wait();
}

std::unique_ptr<Child> Propctl::spawn(const std::vector<std::string> &args, const std::string &input) const
{
    return std::make_unique<Child>(with_root(args), env_, input);
}

std::string Propctl::ok(const std::vector<std::string> &args, const std::string &input) const
{
    RunResult r = run(args, input);
    std::string cmd;
    for (const std::string &a : args) cmd += " " + a;
    EXPECT_EQ(r.status, 0) << "propctl" << cmd << "\n" << r.err;
    return r.out;
}

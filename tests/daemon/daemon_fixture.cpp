#include "daemon_fixture.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

void on_threads(int n, const std::function<void(int)> &body)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++) threads.emplace_back(body, i);
    for (std::thread &t : threads) t.join();
}

prc_key Conn::key(const std::string &name)
{
    prc_key k = 0;
    if (prc_open(c_, name.c_str(), &k) == 0) return k;
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) return 0;
    prc_key parent = key(name.substr(0, dot));
    if (parent == 0) return 0;
    uint32_t rc = prc_create_key(c_, parent, name.substr(dot + 1).c_str(), nullptr, &k, nullptr);
    prc_close_key(c_, parent);
    return rc == 0 ? k : 0;
}

uint32_t Conn::set(const std::string &name, const std::string &value)
{
    prc_key k = key(name);
    if (k == 0) return PROP_E_STALE;
    uint32_t rc = prc_set_value(c_, k, PROP_TYPE_TEXT, value.c_str(), static_cast<uint32_t>(value.size() + 1));
    prc_close_key(c_, k);
    return rc;
}

std::string Conn::get(const std::string &name)
{
    prc_key k = 0;
    uint32_t rc = prc_open(c_, name.c_str(), &k);
    char buf[4096] = "";
    uint32_t type = 0, size = sizeof buf - 1;
    if (rc == 0) rc = prc_get_value(c_, k, &type, buf, &size);
    if (k != 0) prc_close_key(c_, k);
    return rc == 0 ? std::string(buf) : "<error " + std::to_string(rc) + ">";
}

Daemon::Daemon(const DaemonOptions &options) : root_(dir_.path() + "/root")
{
    // Another user must reach the socket (the permission tests run one).
    ::chmod(dir_.path().c_str(), 0755);
    std::vector<std::string> args = {"--root", root_, "init", "--dev"};
    if (!options.disk_groups.empty()) args.push_back("--cluster");
    for (const std::string &dg : options.disk_groups) args.insert(args.end(), {"--disk-group", dg});
    EXPECT_EQ(run_child(PROPCTL_PATH, args, options.init_faults), 0);
    ::chmod(root_.c_str(), 0755);
    if (options.serve) start();
}

Daemon::~Daemon()
{
    if (running()) stop(SIGKILL);
}

void Daemon::start(const std::vector<std::string> &args, const std::string &faults)
{
    ASSERT_FALSE(running());
    std::vector<std::string> words = {PROPREGD_PATH, "--root", root_, "--log", root_ + "/propregd.log"};
    words.insert(words.end(), args.begin(), args.end());
    pid_ = spawn(words, faults);
    ASSERT_GT(pid_, 0);
    for (int i = 0; i < 2000; i++) {
        prc_conn *c = nullptr;
        if (prc_connect(socket().c_str(), &c) == 0) {
            prc_disconnect(c);
            return;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            FAIL() << "propregd ended with " << status << " at start:\n" << log();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "propregd does not answer:\n" << log();
}

int Daemon::wait_exit(int timeout_ms)
{
    for (int waited = 0; pid_ > 0 && waited <= timeout_ms; waited += 5) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

int Daemon::stop(int signal)
{
    if (!running()) return -1;
    ::kill(pid_, signal);
    return wait_exit(30000);
}

std::string Daemon::log() const
{
    std::ifstream in(root_ + "/propregd.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Conn Daemon::connect() const
{
    prc_conn *c = nullptr;
    EXPECT_EQ(prc_connect(socket().c_str(), &c), 0u);
    return Conn(c);
}

int Daemon::propctl(const std::vector<std::string> &args) const
{
    std::vector<std::string> words = {"--root", root_};
    words.insert(words.end(), args.begin(), args.end());
    return run_child(PROPCTL_PATH, words, "");
}

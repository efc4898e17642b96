// propctl beside a running daemon: a command goes through it and answers
// as on the store opened directly, or is refused with how to stop the
// daemon, never left waiting for its lock; watch prints its events.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace {

// propctl with stdout and stderr on a pipe.
struct Running {
    pid_t pid = -1;
    int out = -1;

    explicit Running(const std::vector<std::string> &args)
    {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        std::vector<std::string> words = {PROPCTL_PATH};
        words.insert(words.end(), args.begin(), args.end());
        pid = spawn(words, "", fds[1]);
        EXPECT_GT(pid, 0);
        ::close(fds[1]);
        out = fds[0];
    }
    ~Running()
    {
        if (pid > 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
        ::close(out);
    }
    // Whether it printed needle, reading until it does or timeout_ms pass
    // without a word from it.
    bool said(const std::string &needle, int timeout_ms)
    {
        char buf[4096];
        pollfd p{out, POLLIN, 0};
        while (printed.find(needle) == std::string::npos && ::poll(&p, 1, timeout_ms) > 0) {
            ssize_t k = ::read(out, buf, sizeof buf);
            if (k <= 0) break;
            printed.append(buf, static_cast<size_t>(k));
        }
        return printed.find(needle) != std::string::npos;
    }
    std::string printed;
    int status()
    {
        int st = 0;
        ::waitpid(pid, &st, 0);
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
};

struct Answer {
    int status;
    std::string printed;  // stdout and stderr
};

// Two stores made alike differ in their root and their ids alone (and
// the checksums of the blocks that hold the ids).  A word "@/NAME" is the
// file NAME in the store's own root.
Answer run_propctl(const std::string &root, const std::vector<std::string> &command)
{
    std::vector<std::string> args = {"--root", root};
    for (const std::string &w : command) args.push_back(w.rfind("@/", 0) == 0 ? root + w.substr(1) : w);
    Running run(args);
    run.said("\n\x01", 20000);  // everything, until it ends
    static const std::regex ids("(device id |\"device_id\":|store id |\"store_id\":)[0-9]+");
    static const std::regex in_block("(ZKVID: +|checksum: +)0x[0-9a-f]+( - [0-9]+)?");
    std::string printed = std::regex_replace(std::regex_replace(run.printed, ids, "$1ID"), in_block, "$1ID");
    for (size_t at; (at = printed.find(root)) != std::string::npos;) printed.replace(at, root.size(), "ROOT");
    return Answer{run.status(), printed};
}

// Every command that goes through the daemon prints what it prints on the
// store opened directly, and ends with the same status: the same commands,
// in the same order, on two stores made alike, one served.
TEST(DaemonPropctl, ServedCommandsAnswerAsTheDirectOnes)
{
    Daemon direct, served;
    TempDir files;
    const std::string batch = files.file("batch"), unplanned = files.file("unplanned"), refused = files.file("refused");
    const std::string backup = files.file("backup");
    std::ofstream(batch) << "set SYSTEM.b.one 1 --type int\ncreate SYSTEM.b.two\nrm SYSTEM.app.hosts\n";
    std::ofstream(unplanned) << "set SYSTEM.b.three 3\nunset SYSTEM.none\n";
    std::ofstream(refused) << "set SYSTEM.b.three 3\nrm SYSTEM.big\n";  // not empty
    const std::string garbage = files.file("garbage.rec");
    std::ofstream(garbage) << std::string(8192, 'g');
    for (const Daemon *d : {&direct, &served})
        for (const std::vector<std::string> &set :
             {std::vector<std::string>{"set", "SYSTEM.app.name", "hello world"},
              {"set", "SYSTEM.app.port", "--type", "int", "8080"},
              {"set", "SYSTEM.app.hosts", "--type", "multi", "a", "b"},
              {"set", "SYSTEM.big", std::string(9000, 'x')},
              {"set", "HWK.vendor.tool", "--type", "bytes", "00ff"},
              {"set", "HWK.huge", std::string(70000, 'y')}})
            ASSERT_EQ(d->propctl(set), 0) << ::testing::PrintToString(set);
    // One of each command and of each way it fails once it reaches the
    // store; a mistake propctl refuses before that takes no path of its own.
    const std::vector<std::vector<std::string>> table = {
        {"get", "SYSTEM.app.name"}, {"get", "SYSTEM.app.port"}, {"get", "--raw", "SYSTEM.app.hosts"},
        {"--json", "get", "HWK.vendor.tool"}, {"get", "SYSTEM.big"}, {"get", "SYSTEM.app"}, {"get", "SYSTEM.none"},
        {"ls", "SYSTEM.app"}, {"ls", "SYSTEM.none"}, {"--json", "tree"},
        {"export", "@/app.rec", "SYSTEM.app"}, {"export", "@/none.rec", "SYSTEM.none"}, {"export", "@/all.rec"},
        {"--json", "export", "@/hwk.rec", "HWK.vendor"}, {"export", files.file("none/all.rec")},
        {"--json", "state"}, {"location", "list"}, {"block", "show", "SYSTEM.app"},
        {"--json", "block", "get", "SYSTEM.big", "--out", "@/big.block"}, {"block", "get", "999999"},
        {"block", "show", "300", "--location", "0"},
        {"set", "SYSTEM.app.port", "8081"}, {"set", "SYSTEM.app.port", "eighty"},
        {"--json", "set", "SYSTEM.new.deep.k", "v"}, {"create", "SYSTEM.empty"}, {"create", "SYSTEM.empty"},
        {"unset", "SYSTEM.app.name"}, {"unset", "SYSTEM.none"}, {"rm", "SYSTEM.app"}, {"rm", "-r", "SYSTEM.new"},
        {"mv", "SYSTEM.app", "SYSTEM.svc"}, {"mv", "SYSTEM.svc", "SYSTEM.big"},
        {"mv", "--replace", "SYSTEM.svc", "SYSTEM.big"}, {"sec", "SYSTEM.big"},
        {"--json", "sec", "SYSTEM.big", "--other-perm", "NONE"},
        {"batch", batch}, {"batch", unplanned}, {"batch", refused}, {"--json", "tree", "SYSTEM"},
        {"import", "@/app.rec"}, {"import", "--mode", "security", "@/hwk.rec"}, {"import", "@/all.rec"},
        {"import", garbage}, {"--json", "tree"}, {"--json", "status"}, {"check"},
        {"backup", backup}, {"backup", files.file("none/backup")}, {"--json", "info"},
    };
    served.start();
    for (const std::vector<std::string> &command : table) {
        const Answer want = run_propctl(direct.root(), command), got = run_propctl(served.root(), command);
        EXPECT_EQ(got.status, want.status) << ::testing::PrintToString(command) << got.printed;
        EXPECT_EQ(got.printed, want.printed) << ::testing::PrintToString(command);
    }
}

// A write through the daemon warns from 90% full, as one on the store
// opened directly does; a read does not.
TEST(DaemonPropctl, AWriteWarnsWhenTheStoreIsNearlyFull)
{
    // The location presents itself as a device of 20100 pages; values of
    // 300 bytes take two pages a key.
    Daemon d({.init_faults = "device:bytes=" + std::to_string(0x5029000 + 20100ull * 4096) + ",path=local.store"});
    const std::string fill = d.root() + "/fill";
    for (int i = 0; i < 9100; i++) std::ofstream(fill, std::ios::app) << "set SYSTEM.f" << i / 1000 << ".k" << i << " " << std::string(300, 'v') << "\n";
    ASSERT_EQ(d.propctl({"batch", fill}), 0);
    d.start();
    const Answer set = run_propctl(d.root(), {"set", "SYSTEM.x", "y"});
    EXPECT_EQ(set.status, 0);
    EXPECT_NE(set.printed.find("propctl: warning: the store is 9"), std::string::npos) << set.printed;
    EXPECT_EQ(run_propctl(d.root(), {"get", "SYSTEM.x"}).printed, "y\n");
}

// The commands that need the store alone, its configuration included: the
// lock's status, not a wait.
TEST(DaemonPropctl, AStoreCommandIsRefusedWithHowToStopTheDaemon)
{
    Daemon d(kServed);
    for (const std::vector<std::string> &command :
         {std::vector<std::string>{"--direct", "get", "SYSTEM"}, {"grow", "1G"}, {"init", "--size", "1G"},
          {"state", "set", "0"}, {"overwrite-config", "--yes"}, {"repair", "--from-cluster"}}) {
        const Answer a = run_propctl(d.root(), command);
        const std::string how = "stop it to use the store directly (systemctl stop propregd";
        EXPECT_NE(a.printed.find(how), std::string::npos) << ::testing::PrintToString(command) << ": " << a.printed;
        EXPECT_EQ(a.status, 7) << ::testing::PrintToString(command);
    }
}

TEST(DaemonPropctl, WatchPrintsEachCommittedChange)
{
    Daemon d(kServed);
    Conn c = d.connect();
    ASSERT_EQ(c.set("SYSTEM.app.port", "1"), 0u);
    Running watch({"--root", d.root(), "--json", "watch", "SYSTEM.app"});
    // The watch is on once a change made now reaches it.
    bool on = false;
    for (int i = 0; i < 100 && !on; i++) {
        ASSERT_EQ(c.set("SYSTEM.app.port", "2"), 0u);
        on = watch.said("\"event\":\"set\",\"key\":\"SYSTEM.app.port\"}", 100);
    }
    ASSERT_TRUE(on) << watch.printed;
    // An import's keys are not told one by one: the watcher is asked to
    // read again what it watches, and is told of later changes as before.
    const std::string file = d.root() + "/w.rec";
    ASSERT_EQ(prc_export(c, file.c_str(), "SYSTEM.app", nullptr), 0u);
    ASSERT_EQ(prc_import(c, file.c_str(), PROP_CBKP_IMPORT_ASIS, nullptr), 0u);
    ASSERT_TRUE(watch.said("\"event\":\"resync\",\"key\":\"SYSTEM.app\"}", 10000)) << watch.printed;
    prc_key app = c.key("SYSTEM.app"), sys = c.key("SYSTEM");
    ASSERT_EQ(prc_move_key(c, app, sys, "svc", 0, nullptr), 0u);
    EXPECT_TRUE(watch.said("\"event\":\"moved\",\"key\":\"SYSTEM.app\",\"target\":\"SYSTEM.svc\"}", 10000))
        << watch.printed;
    const size_t resync = watch.printed.find("\"event\":\"resync\"");
    const size_t moved = watch.printed.find("\"event\":\"moved\"");
    EXPECT_EQ(watch.printed.find("\"event\":", resync + 1), moved)
        << "nothing of the import one key at a time: " << watch.printed;
    EXPECT_EQ(d.stop(), 0);
    EXPECT_TRUE(watch.said("the daemon closed the connection", 10000)) << watch.printed;
    EXPECT_EQ(watch.status(), 1);
}

}  // namespace

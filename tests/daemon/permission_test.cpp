// A second user of the machine reaches the store only through the daemon,
// which holds it to each key's owner, group and levels.
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "daemon_fixture.h"

namespace {

constexpr uid_t kNobody = 65534;

// Runs body as uid/gid 65534 in a child process; what it reports ("" when
// every expectation held).
std::string as_nobody(const std::function<std::string()> &body)
{
    int fds[2];
    if (::pipe(fds) != 0) return "no pipe";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string report = ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0
                                 ? body()
                                 : "cannot become uid 65534";
        if (report.empty()) report = "ok";
        ssize_t rc = ::write(fds[1], report.data(), report.size());
        _exit(rc < 0 ? 1 : 0);
    }
    ::close(fds[1]);
    std::string report;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) report.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return report == "ok" ? "" : report.empty() ? "the child said nothing" : report;
}

// Keys of every kind of access, made by root: other users get the level
// in the name, or their group's.
void make_keys(Conn &c)
{
    auto with = [&](const std::string &name, uint32_t other, uint32_t group = PROP_PERM_NONE,
                    const char *grp = "root") {
        ASSERT_EQ(c.set(name, "root's"), 0u) << name;
        prc_key k = c.key(name);
        sec_attr sec{PROP_PERM_ALL_ACCESS, group, other, "root", ""};
        std::snprintf(sec.groupname, sizeof sec.groupname, "%s", grp);
        ASSERT_EQ(prc_set_security(c, k, &sec), 0u) << name;
        prc_close_key(c, k);
    };
    with("SYSTEM.all", PROP_PERM_ALL_ACCESS);
    with("SYSTEM.read", PROP_PERM_READ);
    with("SYSTEM.none", PROP_PERM_NONE);
    with("SYSTEM.setonly", PROP_PERM_SET_KEY);
    with("SYSTEM.list", PROP_PERM_ENUMERATE_SUB_KEYS);
    with("SYSTEM.group", PROP_PERM_NONE, PROP_PERM_WRITE, "nogroup");
    with("SYSTEM.tree", PROP_PERM_ALL_ACCESS);
    with("SYSTEM.tree.kept", PROP_PERM_READ);
    with("SYSTEM.tree.leaf", PROP_PERM_DELETE_KEY);
}

// One line per expectation that failed.
struct Report {
    std::string text;
    void expect(uint32_t got, uint32_t want, const std::string &what)
    {
        if (got != want) text += what + ": " + std::to_string(got) + ", not " + std::to_string(want) + "\n";
    }
};

TEST(DaemonPermissions, AnotherUserGetsWhatTheLevelsGiveAndNothingMore)
{
    Daemon d(kServed);
    Conn root = d.connect();
    make_keys(root);
    const std::string store = d.root() + "/data/local.store";

    std::string report = as_nobody([&] {
        Report r;
        r.expect(::open(store.c_str(), O_RDONLY) < 0 && errno == EACCES ? 0 : 1, 0, "the store file opens");
        prc_conn *raw = nullptr;
        r.expect(prc_connect(d.socket().c_str(), &raw), 0, "connect");
        Conn c(raw);
        const uint32_t denied = PROP_E_PERM;
        r.expect(c.set("SYSTEM.all", "nobody's"), 0, "set, all access");
        r.expect(c.set("SYSTEM.setonly", "nobody's"), 0, "set, set-key");
        r.expect(c.set("SYSTEM.group", "nobody's"), 0, "set, through the group");
        r.expect(c.set("SYSTEM.read", "nobody's"), denied, "set, read only");
        r.expect(c.get("SYSTEM.read") == "root's" ? 0 : 1, 0, "get, read only");
        prc_key k = 0;
        r.expect(prc_open(c, "SYSTEM.none", &k), denied, "open, no access");
        r.expect(prc_open(c, "SYSTEM.list", &k), 0, "open, enumerate");
        char buf[64];
        uint32_t type = 0, size = sizeof buf;
        r.expect(prc_get_value(c, k, &type, buf, &size), denied, "get, enumerate only");
        prc_close_key(c, k);
        r.expect(prc_open(c, "SYSTEM.setonly", &k), 0, "open, set-key");
        r.expect(prc_delete_value(c, k), 0, "delete value, set-key");
        r.expect(prc_delete_key(c, k, 0), denied, "delete, set-key only");
        sec_attr sec{PROP_PERM_ALL_ACCESS, 0, PROP_PERM_ALL_ACCESS, "nobody", "nogroup"};
        r.expect(prc_set_security(c, k, &sec), denied, "take a key over");
        prc_key tree = 0, leaf = 0, mine = 0;
        r.expect(prc_open(c, "SYSTEM.tree", &tree), 0, "open, tree");
        r.expect(prc_delete_key(c, tree, 1), denied, "delete a tree with a key it may not delete");
        r.expect(prc_open(c, "SYSTEM.tree.leaf", &leaf), 0, "open, leaf");
        r.expect(prc_delete_key(c, leaf, 0), 0, "delete, delete-key");
        r.expect(prc_create_key(c, tree, "mine", nullptr, &mine, nullptr), 0, "create under all access");
        r.expect(prc_set_security(c, mine, &sec), 0, "change the security of its own key");
        sec_attr give = sec;
        std::strcpy(give.username, "root");
        r.expect(prc_set_security(c, mine, &give), denied, "give its key to root");
        prop_status st;
        r.expect(prc_status(c, &st), denied, "status");
        r.expect(prc_sizes(c, &st), 0, "sizes, for the warning after a write");
        r.expect(prc_check(c), denied, "check");
        char name[PROP_LOCNAME_SIZE] = "/tmp/nobody.bkp";
        r.expect(prc_backup(c, name), denied, "backup");
        uint32_t version = 0, ids[PROP_MAX_LOCATIONS];
        char locations[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];
        r.expect(prc_info(c, &version, locations, ids), denied, "info");
        r.expect(prc_export(c, "/tmp/nobody.rec", nullptr, nullptr), denied, "export");
        r.expect(prc_import(c, "/tmp/nobody.rec", PROP_CBKP_IMPORT_ASIS, nullptr), denied, "import");
        uint32_t state = 0, number = 25, found = 0;
        r.expect(prc_state(c, &state), denied, "state");
        char block[4096];
        r.expect(prc_get_block(c, nullptr, 100, block, &number, &found, nullptr, 0), denied, "block");
        return r.text;
    });
    EXPECT_EQ(report, "");

    // What was allowed landed; what was denied left the store as it was.
    EXPECT_EQ(root.get("SYSTEM.all"), "nobody's");
    EXPECT_EQ(root.get("SYSTEM.group"), "nobody's");
    EXPECT_EQ(root.get("SYSTEM.read"), "root's");
    EXPECT_EQ(root.get("SYSTEM.setonly"), "");
    EXPECT_EQ(root.get("SYSTEM.tree.kept"), "root's");
    EXPECT_EQ(root.get("SYSTEM.tree.leaf"), "<error 4>");
    sec_attr sec{};
    prc_key mine = root.key("SYSTEM.tree.mine");
    ASSERT_EQ(prc_get_security(root, mine, &sec), 0u);
    EXPECT_STREQ(sec.username, "nobody");
    EXPECT_EQ(sec.otherperm, uint32_t{PROP_PERM_ALL_ACCESS});
    EXPECT_NE(d.log().find("denied: uid 65534 (nobody)"), std::string::npos) << "the log names the caller";
}

}  // namespace

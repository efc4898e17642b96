// Values and security through propctl: what a user types, what the store
// keeps and what comes back.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "propctl_run.h"

namespace {

TEST(PropctlValues, EveryTypeComesBackAsItWasSetAndReplacedWithItsType)
{
    Propctl p({"init"});
    std::string all_bytes;
    for (int i = 0; i < 256; i++) all_bytes.push_back(static_cast<char>(i));
    p.ok({"set", "SYSTEM.app.name", "hello world"});
    p.ok({"set", "SYSTEM.app.port", "0x1f90", "--type", "int"});
    p.ok({"set", "SYSTEM.app.hosts", "--type", "multi", "alpha", "beta gamma"});
    p.ok({"set", "SYSTEM.app.blob", "-t", "bytes", "-f", write_file(p.dir(), "blob", all_bytes)});
    p.ok({"set", "SYSTEM.app.key", "--type", "bytes", "00ff10"});

    EXPECT_EQ(p.ok({"get", "SYSTEM.app.name"}), "hello world\n");
    EXPECT_EQ(p.ok({"get", "SYSTEM.app.port"}), "8080\n");
    EXPECT_EQ(p.ok({"get", "SYSTEM.app.hosts"}), "alpha\nbeta gamma\n");
    EXPECT_EQ(p.ok({"get", "--raw", "SYSTEM.app.blob"}), all_bytes);
    EXPECT_EQ(p.ok({"get", "SYSTEM.app.key"}), "00ff10\n");

    // How the values are stored is what other front ends read: text and
    // multi-text zero-terminated, an int in four bytes of native order.
    EXPECT_EQ(p.ok({"get", "--raw", "SYSTEM.app.name"}), std::string("hello world\0", 12));
    EXPECT_EQ(p.ok({"get", "--raw", "SYSTEM.app.hosts"}), std::string("alpha\0beta gamma\0\0", 18));
    const uint32_t port = 8080;
    EXPECT_EQ(p.ok({"get", "--raw", "SYSTEM.app.port"}), std::string(reinterpret_cast<const char *>(&port), 4));

    EXPECT_EQ(p.ok({"--json", "get", "SYSTEM.app.port"}), "{\"key\":\"SYSTEM.app.port\",\"type\":\"int\",\"value\":8080}\n");
    EXPECT_EQ(p.ok({"get", "SYSTEM.app.hosts", "--json"}),
              "{\"key\":\"SYSTEM.app.hosts\",\"type\":\"multi\",\"value\":[\"alpha\",\"beta gamma\"]}\n");
    EXPECT_EQ(p.ok({"get", "SYSTEM.app.key", "--json"}),
              "{\"key\":\"SYSTEM.app.key\",\"type\":\"bytes\",\"value\":\"00ff10\"}\n");
    // A key made on the way to another has no value.
    EXPECT_EQ(p.ok({"get", "SYSTEM.app", "--json"}), "{\"key\":\"SYSTEM.app\",\"type\":\"none\",\"value\":null}\n");

    // Replaced with another type, then from stdin.
    p.ok({"set", "SYSTEM.k", "7", "--type", "int"});
    EXPECT_EQ(p.ok({"get", "SYSTEM.k", "--json"}), "{\"key\":\"SYSTEM.k\",\"type\":\"int\",\"value\":7}\n");
    p.ok({"set", "SYSTEM.k", "--type", "text", "--file", "-"}, "from stdin");
    EXPECT_EQ(p.ok({"get", "SYSTEM.k"}), "from stdin\n");
}

TEST(PropctlValues, ValuesAreReadAsPeopleWriteThem)
{
    Propctl p({"init"});
    // A key keeps its type when set again without --type; a value that
    // does not fit it is refused, not stored as text.
    p.ok({"set", "SYSTEM.port", "8080", "--type", "int"});
    p.ok({"set", "SYSTEM.port", "8081"});
    EXPECT_EQ(p.ok({"get", "SYSTEM.port", "--json"}), "{\"key\":\"SYSTEM.port\",\"type\":\"int\",\"value\":8081}\n");
    EXPECT_TRUE(exits(p.run({"set", "SYSTEM.port", "eighty"}), 2, "SYSTEM.port holds an int value"));
    p.ok({"set", "SYSTEM.port", "eighty", "--type", "text"});
    EXPECT_EQ(p.ok({"get", "SYSTEM.port"}), "eighty\n");

    // Decimal even with a leading zero (0x is hex); int64 is a type to set.
    p.ok({"set", "SYSTEM.n", "010", "--type", "int"});
    EXPECT_EQ(p.ok({"get", "SYSTEM.n"}), "10\n");
    EXPECT_EQ(p.run({"set", "SYSTEM.n", "0o10"}).status, 2);
    p.ok({"set", "SYSTEM.big", "18446744073709551615", "--type", "int64"});
    EXPECT_EQ(p.ok({"get", "SYSTEM.big", "--json"}),
              "{\"key\":\"SYSTEM.big\",\"type\":\"int64\",\"value\":18446744073709551615}\n");
    EXPECT_EQ(p.run({"set", "SYSTEM.big", "18446744073709551616"}).status, 2);

    // A value beginning with '-' goes after "--", on the command line and
    // in a batch line; without it propctl says so.
    EXPECT_TRUE(exits(p.run({"set", "SYSTEM.flag", "-v"}), 2, "a value beginning with '-' goes after '--'"));
    p.ok({"set", "SYSTEM.other", "--type", "int", "--", "7"});
    p.ok({"batch"}, "set SYSTEM.flag -- -v\n");
    EXPECT_EQ(p.ok({"get", "SYSTEM.flag"}), "-v\n");

    // create of a key that is there has nothing to do, and is no fault.
    p.ok({"create", "SYSTEM.c.d"});
    p.ok({"create", "SYSTEM.c.d"});
    EXPECT_EQ(p.ok({"get", "SYSTEM.c.d", "--json"}), "{\"key\":\"SYSTEM.c.d\",\"type\":\"none\",\"value\":null}\n");

    // Security, shown and changed field by field.
    p.ok({"set", "SYSTEM.s", "v"});
    const struct passwd *pw = getpwuid(geteuid());
    const struct group *gr = getgrgid(getegid());
    const std::string user = pw != nullptr ? pw->pw_name : "", group = gr != nullptr ? gr->gr_name : "";
    EXPECT_EQ(p.ok({"sec", "SYSTEM.s"}), "owner  " + user + "  ALL_ACCESS (63)\ngroup  " + group +
                                             "  READ (3)\nother  READ (3)\n");

    p.ok({"sec", "SYSTEM.s", "--group", "operators", "--group-perm", "write", "--other-perm", "0"});
    EXPECT_EQ(p.ok({"sec", "SYSTEM.s", "--json"}),
              "{\"key\":\"SYSTEM.s\",\"owner\":\"" + user +
                  "\",\"group\":\"operators\",\"owner_perm\":63,\"group_perm\":52,\"other_perm\":0}\n");
    p.ok({"sec", "SYSTEM.s", "--owner", "svc", "--owner-perm", "17"});
    EXPECT_EQ(p.ok({"sec", "SYSTEM.s"}), "owner  svc  17\ngroup  operators  WRITE (52)\nother  NONE (0)\n");
}

}  // namespace

// Bad input: every mistake gets its documented exit status, nothing on
// stdout, a message naming the command and the code with its text on
// stderr, and leaves the store as it was.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "propctl_run.h"

namespace {

struct BadInput {
    std::vector<std::string> args;
    int status;
    std::string err;  // stderr, exactly
};

TEST(PropctlInput, MistakesAreRefusedWithTheirCode)
{
    Propctl p;
    p.ok({"init"});
    p.ok({"set", "SYSTEM.keep", "kept"});
    const std::string too_big = p.dir().file("too-big");
    std::ofstream(too_big, std::ios::binary) << std::string(81537, 'z');

    const BadInput cases[] = {
        {{"get", "SYSTEM.nope"}, 4,
         "propctl: get SYSTEM.nope: no such key SYSTEM.nope: error 4: The key behind the key handle no longer exists.\n"},
        {{"set", "SYSTEM.keep", "--type", "float", "1"}, 2,
         "propctl: set SYSTEM.keep: unknown type 'float' (text, multi, int, int64 or bytes): error 8: Invalid "
         "argument, flag or request.\n"},
        {{"set", "SYSTEM.keep", "4294967296", "--type", "int"}, 2,
         "propctl: set SYSTEM.keep: an int value is one number from 0 to 4294967295, decimal or 0x hex: error 8: "
         "Invalid argument, flag or request.\n"},
        // "--" ends the options, so a value may begin with a dash.
        {{"set", "SYSTEM.keep", "--type", "int", "--", "-1"}, 2,
         "propctl: set SYSTEM.keep: an int value is one number from 0 to 4294967295, decimal or 0x hex: error 8: "
         "Invalid argument, flag or request.\n"},
        {{"set", "SYSTEM.keep", "two", "words"}, 2,
         "propctl: set SYSTEM.keep: SYSTEM.keep holds a text value: a text value is one word: quote it (--type gives "
         "it another type): error 8: Invalid argument, flag or request.\n"},
        {{"set", "SYSTEM.keep", "--type", "bytes", "xyz"}, 2,
         "propctl: set SYSTEM.keep: a bytes value comes from --file FILE, or is one word of hex digits: error 8: Invalid "
         "argument, flag or request.\n"},
        // Too big for a new key: the keys made on the way go again too.
        {{"set", "SYSTEM.keep.deeper.still", "--type", "bytes", "--file", too_big}, 1,
         "propctl: set SYSTEM.keep.deeper.still: error 18: The value is too big.\n"},
        {{"set", "SYSTEM..keep", "v"}, 2,
         "propctl: set SYSTEM..keep: key name components are 1 to 255 characters between single dots: error 8: "
         "Invalid argument, flag or request.\n"},
        {{"set", "ELSEWHERE.keep", "v"}, 2,
         "propctl: set ELSEWHERE.keep: a key name begins with DATABASE, HWK or SYSTEM: error 8: Invalid argument, flag "
         "or request.\n"},
        {{"rm", "SYSTEM"}, 2,
         "propctl: rm SYSTEM: a top-level key cannot be removed: error 8: Invalid argument, flag or request.\n"},
        {{"sec", "SYSTEM.keep", "--other-perm", "300"}, 2,
         "propctl: sec SYSTEM.keep: --other-perm takes a level name or a number from 0 to 255: error 8: Invalid "
         "argument, flag or request.\n"},
        {{"frobnicate"}, 2, "propctl: unknown command 'frobnicate' ('propctl --help' lists them)\n"},
        {{"get", "SYSTEM.keep", "--bogus"}, 2, "propctl: get: unknown option --bogus ('propctl get --help')\n"},
        {{"get"}, 2, "propctl: get: wrong number of arguments (usage: propctl get KEY [--raw])\n"},
        {{"set", "SYSTEM.keep", "--type"}, 2,
         "propctl: set: option --type needs a value (TYPE) ('propctl set --help')\n"},
    };
    for (const BadInput &c : cases) {
        RunResult r = p.run(c.args);
        std::string cmd;
        for (const std::string &a : c.args) cmd += " " + a;
        EXPECT_EQ(r.status, c.status) << cmd;
        EXPECT_EQ(r.out, "") << cmd;
        EXPECT_EQ(r.err, c.err) << cmd;
    }
    EXPECT_EQ(p.ok({"get", "SYSTEM.keep"}), "kept\n");
    EXPECT_EQ(p.run({"get", "SYSTEM.keep.deeper"}).status, 4) << "a refused set created keys";
}

TEST(PropctlInput, AMissingStoreIsReportedAndNotMade)
{
    Propctl p;
    RunResult r = p.run({"get", "SYSTEM.a"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "propctl: get SYSTEM.a: no store at " + p.root() +
                         " (propctl init makes one): error 33: The configuration or the location was not found.\n");
    EXPECT_NE(::access(p.root().c_str(), F_OK), 0) << "a read made the root";

    // A store whose location file went away cannot be opened, and says
    // which file is missing.
    p.ok({"init"});
    ASSERT_EQ(::unlink((p.root() + "/data/local.store").c_str()), 0);
    r = p.run({"set", "SYSTEM.a", "v"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err.rfind("propctl: set SYSTEM.a: cannot open the store at " + p.root() + ": no such file " + p.root() +
                              "/data/local.store: error 26",
                          0),
              0u)
        << r.err;
}

}  // namespace

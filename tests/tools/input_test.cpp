// Bad input: every mistake gets its documented exit status, nothing on
// stdout (with --json: the failure as a document), a message naming the
// command and the code with its text on stderr, and leaves the store as it
// was.
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

// The document --json prints on stdout for a failure that says err: its
// text without the "propctl: " and the newline, and the code it names.
std::string json_failure(int status, const std::string &err)
{
    const std::string text = err.substr(9, err.size() - 10);
    const size_t at = text.find(": error ");
    const std::string code =
        at == std::string::npos ? "0" : text.substr(at + 8, text.find(':', at + 1) - at - 8);
    return "{\"ok\":false,\"code\":" + code + ",\"exit\":" + std::to_string(status) +
           ",\"error\":\"" + text + "\"}\n";
}

TEST(PropctlInput, MistakesAreRefusedWithTheirCode)
{
    Propctl p({"init"});
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
        EXPECT_TRUE(says(r, c.status, c.err));
        EXPECT_EQ(r.out, "") << c.err;
        std::vector<std::string> json = c.args;
        json.insert(json.begin(), "--json");
        EXPECT_EQ(p.run(json).out, json_failure(c.status, c.err));
    }
    EXPECT_EQ(p.ok({"get", "SYSTEM.keep"}), "kept\n");
    EXPECT_EQ(p.run({"get", "SYSTEM.keep.deeper"}).status, 4) << "a refused set created keys";
}

TEST(PropctlInput, AMissingStoreIsReportedAndNotMade)
{
    Propctl p;
    const BadInput cases[] = {
        {{"get", "SYSTEM.a"}, 4,
         "propctl: get SYSTEM.a: no store at " + p.root() +
             " (propctl init makes one): error 33: The configuration or the location was not "
             "found.\n"},
        {{"init", "--copies", "2"}, 2, "propctl: init: --copies needs --cluster\n"},
        {{"init", "--cluster", "--copies", "6"}, 2, "propctl: init: --copies takes 1 to 5\n"},
        {{"init", "--location", "a", "--location", "b"}, 2,
         "propctl: init: a local registry has one location\n"},
        {{"init", "--disk-group", "+DATA"}, 2,
         "propctl: init: --disk-group needs --cluster (a local registry lives in a file)\n"},
        {{"init", "--cluster", "--copies", "2", "--disk-group", "+DATA"}, 2,
         "propctl: init: each copy needs a disk group of its own: repeat --disk-group\n"},
        {{"vld", "mount", "+DATA"}, 1, "propctl: vld: no disk group +DATA\n"},
        {{"vld", "bogus"}, 2, "propctl: vld: unknown action 'bogus' ('propctl vld --help')\n"},
        // Larger than 32 bits it would wrap round to mirror copy 1.
        {{"vld", "damage", "+DATA", "--mirror", "4294967297"}, 2,
         "propctl: vld: --mirror takes 1 to 6\n"},
    };
    for (const BadInput &c : cases) EXPECT_TRUE(says(p.run(c.args), c.status, c.err));
    EXPECT_NE(::access(p.root().c_str(), F_OK), 0) << "a refused request made the root";
    EXPECT_EQ(p.ok({"vld"}), "volume manager at " + p.dir().path() +
                                 "/vld: instance up\n"
                                 "no disk groups ('propctl vld create +NAME' makes one)\n");

    // A store whose location file went away cannot be opened, and says
    // which file is missing.
    p.ok({"init"});
    ASSERT_EQ(::unlink((p.root() + "/data/local.store").c_str()), 0);
    RunResult r = p.run({"set", "SYSTEM.a", "v"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err.rfind("propctl: set SYSTEM.a: cannot open the store at " + p.root() + ": no such file " + p.root() +
                              "/data/local.store: error 26",
                          0),
              0u)
        << r.err;
}

}  // namespace

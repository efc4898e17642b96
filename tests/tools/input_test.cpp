// Bad input: every mistake gets its exit status, nothing on stdout (with
// --json: the failure as a document) and a message naming its cause.
#include <gtest/gtest.h>

#include <unistd.h>

#include "propctl_run.h"

namespace {

struct BadInput {
    std::vector<std::string> args;
    int status;
    std::string err;  // a part of stderr; one whole message per format
};

// The document --json prints on stdout for a failure that says err on
// stderr: its text without the "propctl: " and the newline, and its code.
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
    const std::string too_big = write_file(p.dir(), "too-big", std::string(81537, 'z'));

    const BadInput cases[] = {
        {{"get", "SYSTEM.nope"}, 4,
         "propctl: get SYSTEM.nope: no such key SYSTEM.nope: error 4: The key behind the key handle no longer exists.\n"},
        {{"set", "SYSTEM.keep", "--type", "float", "1"}, 2, "unknown type 'float' (text, multi, int, int64 or bytes)"},
        {{"set", "SYSTEM.keep", "4294967296", "--type", "int"}, 2, "an int value is one number"},
        {{"set", "SYSTEM.keep", "two", "words"}, 2, "SYSTEM.keep holds a text value: a text value is one word"},
        {{"set", "SYSTEM.keep", "--type", "bytes", "xyz"}, 2, "a bytes value comes from --file FILE"},
        {{"set", "SYSTEM.keep", "--type", "bytes", "--file", too_big}, 1,
         "propctl: set SYSTEM.keep: error 18: The value is too big.\n"},
        {{"set", "SYSTEM..keep", "v"}, 2, "key name components are 1 to 255 characters"},
        {{"set", "ELSEWHERE.keep", "v"}, 2, "a key name begins with DATABASE, HWK or SYSTEM"},
        {{"rm", "SYSTEM"}, 2, "a top-level key cannot be removed: error 8: Invalid argument, flag or request.\n"},
        {{"sec", "SYSTEM.keep", "--other-perm", "300"}, 2, "--other-perm takes a level name or a number"},
        {{"frobnicate"}, 2, "propctl: unknown command 'frobnicate' ('propctl --help' lists them)\n"},
        {{"get", "SYSTEM.keep", "--bogus"}, 2, "unknown option --bogus ('propctl get --help')"},
        {{"get"}, 2, "wrong number of arguments (usage: propctl get KEY [--raw])"},
        {{"set", "SYSTEM.keep", "--type"}, 2, "option --type needs a value (TYPE)"},
    };
    for (const BadInput &c : cases) {
        RunResult r = p.run(c.args);
        EXPECT_TRUE(exits(r, c.status, c.err));
        EXPECT_EQ(r.out, "") << c.err;
        std::vector<std::string> json = c.args;
        json.insert(json.begin(), "--json");
        EXPECT_EQ(p.run(json).out, json_failure(c.status, r.err));
    }
    EXPECT_EQ(p.ok({"get", "SYSTEM.keep"}), "kept\n");
}

TEST(PropctlInput, AMissingStoreIsReportedAndNotMade)
{
    Propctl p;
    const BadInput cases[] = {
        {{"get", "SYSTEM.a"}, 4, "no store at " + p.root() + " (propctl init makes one): error 33:"},
        {{"init", "--copies", "2"}, 2, "--copies needs --cluster"},
        {{"init", "--cluster", "--copies", "6"}, 2, "--copies takes 1 to 5"},
        {{"init", "--location", "a", "--location", "b"}, 2, "a local registry has one location"},
        {{"init", "--disk-group", "+DATA"}, 2, "--disk-group needs --cluster"},
        {{"init", "--cluster", "--copies", "2", "--disk-group", "+DATA"}, 2, "each copy needs a disk group"},
        {{"vld", "mount", "+DATA"}, 1, "propctl: vld: no disk group +DATA\n"},
        {{"vld", "bogus"}, 2, "unknown action 'bogus'"},
        // Larger than 32 bits it would wrap round to mirror copy 1.
        {{"vld", "damage", "+DATA", "--mirror", "4294967297"}, 2, "--mirror takes 1 to 6"},
    };
    for (const BadInput &c : cases) EXPECT_TRUE(exits(p.run(c.args), c.status, c.err));
    EXPECT_NE(::access(p.root().c_str(), F_OK), 0) << "a refused request made the root";
    EXPECT_EQ(p.ok({"vld"}), "volume manager at " + p.dir().path() +
                                 "/vld: instance up\n"
                                 "no disk groups ('propctl vld create +NAME' makes one)\n");

    // A store whose location file went away cannot be opened, and says
    // which file is missing.
    p.ok({"init"});
    ASSERT_EQ(::unlink((p.root() + "/data/local.store").c_str()), 0);
    EXPECT_TRUE(exits(p.run({"set", "SYSTEM.a", "v"}), 4,
                      "cannot open the store at " + p.root() + ": no such file " + p.root() + "/data/local.store: error 26"));
}

}  // namespace

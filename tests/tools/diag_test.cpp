// status, check, block and state: what an operator runs on a store they
// suspect.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "propctl_run.h"

namespace {

constexpr long kReservedPrefix = 0x19000;

// The header number of the tree node of key, as block show prints it.
long tnode_number(const Propctl &p, const std::string &key)
{
    std::string out = p.ok({"block", "show", key});
    return std::stol(out.substr(out.find("block ") + 6));
}

// Flips a bit of byte at of the block with header number in a store file.
void flip_byte(const std::string &file, long number, long at)
{
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    const long off = kReservedPrefix + (number - 25) * 4096 + at;
    const char c = static_cast<char>(f.seekg(off).get() ^ 1);
    f.seekp(off).put(c);
}

TEST(PropctlCheck, ASoundStorePassesAndADamagedOneIsNamedAndExits3)
{
    Propctl p({"init"});
    p.ok({"set", "SYSTEM.app.name", "value"});
    EXPECT_TRUE(holds(p.ok({"check"}), "the store is sound\n"));
    EXPECT_TRUE(holds(p.ok({"--json", "status"}), "\"state\":3,\"state_name\":\"current\""));

    flip_byte(p.root() + "/data/local.store", tnode_number(p, "SYSTEM.app.name"), 3000);
    RunResult r = p.run({"check"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_TRUE(holds(r.out, "of key [SYSTEM.app.name] is not a valid tnode"));
    EXPECT_TRUE(holds(r.out, "the store is CORRUPT"));
    EXPECT_TRUE(holds(p.run({"--json", "check"}).out, "\"sound\":false"));
}

// The state word as set by hand; a location merely behind is stale, not
// corrupt.
TEST(PropctlCheck, AStateSetByHandAndALocationMerelyBehind)
{
    Propctl p({"init", "--cluster", "--copies", "2", "--dev"});
    EXPECT_EQ(p.ok({"state"}), "0 (in use)\n");
    EXPECT_EQ(p.ok({"state", "set", "16"}), "16 (importing)\n");
    EXPECT_EQ(p.ok({"--json", "state", "set", "0"}), "{\"state\":0,\"importing\":false}\n");
    p.ok({"set", "SYSTEM.k", "old"});
    const std::string copy = p.root() + "/data/copy2.store";
    const std::string before = read_file(copy);
    p.ok({"set", "SYSTEM.k", "new"});
    std::ofstream(copy, std::ios::binary | std::ios::trunc) << before;
    const std::string checked = p.ok({"check"});
    EXPECT_TRUE(holds(checked, "copy2.store: stale: behind the other locations, not corrupt\n"));
    EXPECT_TRUE(holds(checked, "the store is sound (a location is stale)"));
}

TEST(PropctlBlock, ReadShowAndForcedWrite)
{
    Propctl p({"init"});
    p.ok({"set", "SYSTEM.k", "hello"});
    const std::string file = p.dir().file("k.block");
    p.ok({"block", "get", "SYSTEM.k", "--out", file});
    EXPECT_TRUE(holds(p.ok({"block", "show", "25"}), "numpage:"));

    std::string bytes = read_file(file);
    ASSERT_EQ(bytes.size(), 4096u);
    bytes[54] = 'J';  // the first byte of the value kept in the tnode
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;

    EXPECT_TRUE(exits(p.run({"block", "set", file}), 1, "--force"));
    EXPECT_EQ(p.ok({"get", "SYSTEM.k"}), "hello\n");
    p.ok({"block", "set", file, "--force"});
    EXPECT_EQ(p.ok({"get", "SYSTEM.k"}), "Jello\n");

    EXPECT_TRUE(exits(p.run({"block", "get", "24"}), 2, "error 8"));

    // A free block, and one whose header does not validate, are shown to
    // root with a note, and to nobody else.
    const long k = tnode_number(p, "SYSTEM.k");
    flip_byte(p.root() + "/data/local.store", k, 1);
    for (long number : {k + 100, k}) {
        RunResult r = p.run({"block", "get", std::to_string(number)});
        if (::geteuid() == 0) {
            EXPECT_TRUE(exits(r, 0, ": note: "));
            EXPECT_EQ(r.out.rfind("block " + std::to_string(number) + "\n", 0), 0u) << r.out.substr(0, 40);
        } else {
            EXPECT_TRUE(exits(r, 1, "error 5:"));
        }
    }
}

}  // namespace

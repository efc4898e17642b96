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

void flip_byte(const std::string &file, long number, long at)
{
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    const long off = kReservedPrefix + (number - 25) * 4096 + at;
    f.seekg(off);
    char c = 0;
    f.read(&c, 1);
    c = static_cast<char>(c ^ 1);
    f.seekp(off);
    f.write(&c, 1);
}

TEST(PropctlCheck, ASoundStorePassesAndADamagedOneIsNamedAndExits3)
{
    Propctl p;
    p.ok({"init"});
    p.ok({"set", "SYSTEM.app.name", "value"});
    EXPECT_TRUE(holds(p.ok({"check"}), "the store is sound\n"));
    std::string status = p.ok({"--json", "status"});
    EXPECT_TRUE(holds(status, "\"state\":3,\"state_name\":\"current\""));

    flip_byte(p.root() + "/data/local.store", tnode_number(p, "SYSTEM.app.name"), 3000);
    RunResult r = p.run({"check"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_TRUE(holds(r.out, "is CORRUPT (checksum)"));
    EXPECT_TRUE(holds(r.out, "of key [SYSTEM.app.name] is not a valid tnode"));
    EXPECT_TRUE(holds(r.out, "the store is CORRUPT"));
    RunResult json = p.run({"--json", "check"});
    EXPECT_EQ(json.status, 3);
    EXPECT_TRUE(holds(json.out, "\"sound\":false"));
}

// An importing store is refused until its state is cleared; a location
// merely behind is stale, not corrupt.
TEST(PropctlCheck, AStateSetByHandAndALocationMerelyBehind)
{
    Propctl p;
    p.ok({"init", "--cluster", "--copies", "2", "--dev"});
    EXPECT_EQ(p.ok({"state"}), "0 (in use)\n");
    EXPECT_EQ(p.ok({"state", "set", "16"}), "16 (importing)\n");
    RunResult refused = p.run({"ls"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(holds(refused.err, "error 47"));
    EXPECT_EQ(p.ok({"--json", "state", "set", "0"}), "{\"state\":0,\"importing\":false}\n");
    p.ok({"set", "SYSTEM.k", "old"});
    const std::string copy = p.root() + "/data/copy2.store";
    const std::string before = read_file(copy);
    p.ok({"set", "SYSTEM.k", "new"});
    std::ofstream(copy, std::ios::binary | std::ios::trunc) << before;
    RunResult r = p.run({"check"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(holds(r.out, "stale: behind the other locations, not corrupt"));
    EXPECT_TRUE(holds(r.out, "the store is sound (a location is stale)"));
}

TEST(PropctlBlock, ReadShowAndForcedWrite)
{
    Propctl p;
    p.ok({"init"});
    p.ok({"set", "SYSTEM.k", "hello"});
    const std::string file = p.dir().file("k.block");
    p.ok({"block", "get", "SYSTEM.k", "--out", file});
    EXPECT_TRUE(holds(p.ok({"block", "show", "25"}), "numpage:"));

    std::string bytes = read_file(file);
    ASSERT_EQ(bytes.size(), 4096u);
    bytes[54] = 'J';  // the first byte of the value kept in the tnode
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;

    RunResult refused = p.run({"block", "set", file});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(holds(refused.err, "--force"));
    EXPECT_EQ(p.ok({"get", "SYSTEM.k"}), "hello\n");
    p.ok({"block", "set", file, "--force"});
    EXPECT_EQ(p.ok({"get", "SYSTEM.k"}), "Jello\n");
    EXPECT_TRUE(holds(p.ok({"check"}), "the store is sound"));

    RunResult before_boot = p.run({"block", "get", "24"});
    EXPECT_EQ(before_boot.status, 2);
    EXPECT_TRUE(holds(before_boot.err, "error 8"));

    // A free block, and one whose header does not validate, are shown to
    // root with a note, and to nobody else.
    const long k = tnode_number(p, "SYSTEM.k");
    flip_byte(p.root() + "/data/local.store", k, 1);
    for (long number : {k + 100, k}) {
        RunResult r = p.run({"block", "get", std::to_string(number)});
        if (::geteuid() == 0) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out.rfind("block " + std::to_string(number) + "\n", 0), 0u) << r.out.substr(0, 40);
            EXPECT_TRUE(holds(r.err, ": note: "));
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(holds(r.err, "error 5:"));
        }
    }
}

}  // namespace

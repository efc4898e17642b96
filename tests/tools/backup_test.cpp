// Backups and record files through propctl: what a user types to save a
// store, look into a backup, put it back, and move a tree between stores.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "propctl_run.h"

namespace {

TEST(PropctlBackup, BackUpLookInsideAndRestore)
{
    Propctl p({"init", "--cluster", "--copies", "3", "--dev"});
    p.ok({"set", "SYSTEM.app.name", "first"});
    p.ok({"set", "SYSTEM.app.port", "8080", "--type", "int"});
    const std::string tree = p.ok({"tree", "--json"});
    const std::string file = p.dir().file("saved.bkp");
    EXPECT_EQ(p.ok({"backup", file}).rfind("backup " + file + ": ", 0), 0u);

    EXPECT_EQ(p.ok({"backups", p.dir().path()}).rfind("saved.bkp ", 0), 0u);
    EXPECT_EQ(p.ok({"--backup", file, "tree", "--json"}), tree);
    EXPECT_EQ(p.ok({"get", "SYSTEM.app.port", "--backup", file}), "8080\n");
    EXPECT_TRUE(holds(p.ok({"verify", file}), ": 6 keys, "));
    EXPECT_EQ(p.run({"--backup", file, "set", "SYSTEM.x", "1"}).status, 2);

    p.ok({"set", "SYSTEM.app.name", "second"});
    EXPECT_EQ(p.run({"restore", file}, "no\n").status, 1);
    EXPECT_EQ(p.ok({"get", "SYSTEM.app.name"}), "second\n");
    EXPECT_EQ(p.ok({"restore", file}, "yes\n"), "restored " + file + " onto 3 location(s)\n");
    EXPECT_EQ(p.ok({"tree", "--json"}), tree);

    // A backup whose tree is damaged: verify says so as check does.
    const std::string block = p.ok({"block", "show", "SYSTEM.app.name"});
    std::string image = read_file(file);
    const long log_pages_left_out = 20489;
    image.at((std::stol(block.substr(block.find("block ") + 6)) - 25 - log_pages_left_out) * 4096 + 3000) ^= 1;
    const std::string damaged = write_file(p.dir(), "damaged.bkp", image);
    EXPECT_EQ(p.run({"verify", damaged}).status, 3);
    // A restore refuses what verify rejects, says why, and changes nothing.
    RunResult refused = p.run({"restore", "--yes", damaged});
    EXPECT_TRUE(exits(refused, 3, "error 22:"));
    EXPECT_TRUE(holds(refused.err, "of key [SYSTEM.app.name]"));
    EXPECT_EQ(p.ok({"tree", "--json"}), tree);
}

// A backup killed part-way leaves its temporary beside the file; the next
// backup into the directory (or a listing of it) removes it once its writer
// is gone, and never while it still writes.
TEST(PropctlBackup, AKilledBackupLeavesATemporaryTheNextOneRemoves)
{
    Propctl p({"init", "--cluster", "--dev"});
    const std::string dir = p.dir().file("bkpdir");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    auto temporaries = [&] {
        size_t found = 0;
        for (const auto &e : std::filesystem::directory_iterator(dir))
            found += e.path().filename().string().rfind("saved.bkp.", 0) == 0;
        return found;
    };
    // Each write of the backup takes long enough for the listing to run beside it.
    p.set_env("PROPREG_FAULTS", "delay:us=5000000,path=bkpdir");
    std::unique_ptr<Child> slow = p.spawn({"backup", dir + "/saved.bkp"});
    for (int i = 0; i < 1000 && temporaries() == 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(temporaries(), 1u);
    p.clear_env("PROPREG_FAULTS");
    p.ok({"backups", dir});
    EXPECT_EQ(temporaries(), 1u) << "the temporary of a running backup went";
    slow->kill_now();
    EXPECT_EQ(slow->wait().status, 128 + 9);
    EXPECT_TRUE(exits(p.run({"backup", dir + "/other.bkp"}), 0, "left by a backup that did not finish"));
    EXPECT_EQ(temporaries(), 0u);
    EXPECT_EQ(p.ok({"backups", dir}).rfind("other.bkp ", 0), 0u);
}

// An export and import keep every value, its type and its security; values
// too large to go with the keys' transaction are set after it.
TEST(PropctlRecords, AnExportImportsIntoAnotherStoreKeyForKeyAndByMode)
{
    Propctl a, b, db, mine;
    a.ok({"init"});
    std::string long_name = "SYSTEM";
    while (long_name.size() + 201 <= 1023) long_name += "." + std::string(200, 'n');
    a.ok({"set", "SYSTEM.t", "text value"});
    a.ok({"set", "SYSTEM.big", "--type", "bytes", "--file", write_file(a.dir(), "big", std::string(65536, 'b'))});
    a.ok({"set", long_name, "deep"});
    a.ok({"create", "DATABASE.empty"});
    a.ok({"set", "DATABASE.d", "db"});
    a.ok({"sec", "SYSTEM.t", "--owner", "nobody", "--group", "nogroup", "--group-perm", "WRITE"});
    const std::string file = a.dir().file("tree.export");
    a.ok({"export", file});

    b.ok({"init"});
    EXPECT_EQ(b.ok({"import", file}).rfind("imported ", 0), 0u);
    EXPECT_EQ(b.ok({"tree", "--json"}), a.ok({"tree", "--json"}));
    // Importing again changes nothing: an export of the copy is the same file.
    b.ok({"import", file});
    const std::string again = b.dir().file("again.export");
    b.ok({"export", again});
    EXPECT_EQ(read_file(again), read_file(file));

    db.ok({"init"});
    db.ok({"import", file, "--mode", "database"});
    EXPECT_EQ(db.ok({"get", "DATABASE.d"}), "db\n");
    EXPECT_EQ(db.run({"get", "SYSTEM.t"}).status, 4) << "a key outside DATABASE was imported";
    mine.ok({"init"});
    mine.ok({"import", file, "--mode", "security"});
    EXPECT_EQ(mine.ok({"sec", "SYSTEM.t", "--json"}).find("nobody"), std::string::npos);

    // A value too big for a record fails the export; no file is left.
    a.ok({"set", "SYSTEM.huge", "--type", "bytes", "--file", write_file(a.dir(), "huge", std::string(70000, 'h'))});
    EXPECT_TRUE(exits(a.run({"export", a.dir().file("huge.export")}), 1,
                      "SYSTEM.huge: a value of 70000 bytes, a record holds at most 65536"));
    EXPECT_EQ(read_file(a.dir().file("huge.export")), "");
    // Any other failure says its own reason, not the size of a value.
    RunResult nowhere = a.run({"export", a.dir().file("no/such/dir/x.export"), "SYSTEM.t"});
    EXPECT_TRUE(exits(nowhere, 4, "no such directory " + a.dir().file("no/such/dir")));
    EXPECT_EQ(nowhere.err.find("a record holds"), std::string::npos) << nowhere.err;
}

TEST(PropctlRecords, ALargeImportCommitsInStepsAndCompletesWhenRunAgain)
{
    Propctl a({"init", "--cluster", "--dev"});
    // A key holds at most 10000 subkeys: two parents of 5000.
    std::string lines;
    for (int i = 0; i < 5000; i++) lines += "create SYSTEM.a.k" + std::to_string(i) + "\ncreate SYSTEM.b.k" + std::to_string(i) + "\n";
    a.ok({"batch"}, lines);
    const std::string file = a.dir().file("large.export");
    a.ok({"export", file});

    Propctl b({"init", "--cluster", "--dev"});
    const std::string empty = b.ok({"tree", "--json"});
    // Cut inside the first 10000 keys (their transaction takes some twenty
    // merged requests): none of them is there.
    EXPECT_EQ(b.run({"import", file}, RunOptions{.faults = "drop_after:nth=10; crash:status=86"}).status, 86);
    EXPECT_EQ(b.ok({"tree", "--json"}), empty);
    EXPECT_TRUE(holds(b.ok({"import", file, "--json"}), "\"keys\":10005,\"created\":10002,\"transactions\":2"));
    EXPECT_EQ(b.ok({"tree", "--json"}), a.ok({"tree", "--json"}));
}

// A record file cut short, or listing a key before its parent: import
// refuses it with 22 and the store is as it was.
TEST(PropctlRecords, ADamagedFileImportsNothing)
{
    Propctl a({"init", "--cluster", "--dev"});
    std::string lines = "create SYSTEM.n.k0\n";
    for (int i = 0; i < 25; i++) lines += "set SYSTEM.b" + std::to_string(i) + " " + std::string(4000, 'v') + "\n";
    a.ok({"batch"}, lines);
    const std::string file = a.dir().file("tree.rec");
    a.ok({"export", file});
    const std::string good = read_file(file);
    ASSERT_GE(good.size(), 2u * 69632);
    std::string orphan = good;
    orphan.at(good.find(std::string("\nSYSTEM.n\0", 10)) + 8) = 'N';

    Propctl b({"init", "--cluster", "--dev"});
    const std::string before = b.ok({"tree", "--json"});
    for (const auto &[what, bytes] : {std::pair{"cut short", good.substr(0, 69632)}, std::pair{"parent", orphan}}) {
        SCOPED_TRACE(what);
        RunResult r = b.run({"import", write_file(b.dir(), "damaged.rec", bytes)});
        EXPECT_EQ(r.status, 3);  // a damaged file is corruption found
        EXPECT_TRUE(holds(r.err, "nothing was imported: error 22:"));
        EXPECT_TRUE(std::string(what) != "parent" || holds(r.err, "SYSTEM.n.k0 comes before its parent SYSTEM.n"));
        EXPECT_EQ(b.ok({"tree", "--json"}), before);
    }
    EXPECT_EQ(b.ok({"import", file}), "imported 30 keys (27 new) from " + file + "\n");
}

}  // namespace

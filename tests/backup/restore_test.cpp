// Restoring a backup onto the configured locations: the tree of the backup
// comes back exactly, on every location; anything that is not a whole
// backup of this registry kind, and a configuration whose locations cannot
// all be written, is refused before a byte is written.
#include "backup_util.h"
#include "core/handle.h"
#include "format/block.h"
#include "io/devid.h"
#include "io/io.h"
#include "pages.h"
#include "support/tmpdir.h"

namespace {

constexpr uint32_t kSeed = 9;

std::vector<std::string> contents(const Store &store)
{
    std::vector<std::string> out;
    for (const std::string &p : store.files()) out.push_back(file_extents(p));
    return out;
}

// A store with half of the workload in a backup and the rest made since.
struct Restorable {
    Store store;
    TempDir dir;
    std::string backup = dir.file("backup");
    Tree saved, since;

    explicit Restorable(uint32_t locations) : store({.locations = locations})
    {
        store.format();
        EXPECT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
        TwoPartWorkload work(store, kSeed, 40, 20);
        work.first();
        add_big_values(store, 20);  // a restore of several steps
        saved = tree_of(store.ctx());
        EXPECT_EQ(backup_to(store.ctx(), backup), 0u);
        since = work.rest();
        EXPECT_NE(saved, since);
        EXPECT_EQ(store.terminate(), 0u);
    }
    uint32_t restore(const std::string &file) { return prop_recover_media(store.meta(), file.c_str(), PROP_KIND_ZKV); }
};

TEST(Restore, TheBackupsTreeComesBackExactlyOnEveryLocation)
{
    for (uint32_t n : {1u, 2u, 3u}) {
        SCOPED_TRACE(std::to_string(n) + " location(s)");
        Restorable r(n);
        ASSERT_EQ(r.restore(r.backup), 0u);
        EXPECT_EQ(check_pages(r.store.files()), std::vector<std::string>{});

        u32 ids[PROP_MAX_LOCATIONS] = {};
        char err[256];
        u64 errsz = sizeof err;
        ASSERT_EQ(proprdev_get(nullptr, ids, err, &errsz, 0), PROP_OK);
        const std::string image_boot = file_bytes(r.backup).substr(0, 4096);
        for (uint32_t slot = 0; slot < n; slot++) {
            const std::string boot = r.store.read_block(slot, 0);
            EXPECT_EQ(be32_of(boot, 360), 0u) << "backup version";
            EXPECT_EQ(be32_of(boot, 364), 0u) << "backup type";
            EXPECT_EQ(be32_of(boot, 300), 1u) << "history count";
            for (uint32_t i = 0; i < 2; i++) EXPECT_EQ(be32_of(boot, 304 + 4 * i), ids[i]) << "previous id " << i;
            for (uint32_t i = 2; i < n; i++) EXPECT_EQ(be32_of(boot, 328 + 4 * (i - 2)), ids[i]) << "previous id " << i;
            const uint32_t lsst = be32_of(boot, 118);
            EXPECT_EQ(be32_of(boot, 122), lsst + 20490 * 4096) << "the log space is its full size again";
            EXPECT_EQ(be32_of(boot, 352), be32_of(image_boot, 352)) << "commit lsn";
        }

        ASSERT_EQ(r.store.init(PROP_LEVEL_RW), PROP_OK);
        EXPECT_EQ(tree_of(r.store.ctx()), r.saved);
        // It is a store like any other: it takes new keys.
        TwoPartWorkload more(r.store, kSeed + 1, 10, 10);
        EXPECT_EQ(tree_of(r.store.ctx()), more.first());
    }
}

// A copy of the backup with one boot-block word changed and the checksum
// stamped again.
std::string with_boot_word(const std::string &image, size_t at, uint32_t value, size_t bytes = 4)
{
    std::string out = image;
    for (size_t i = 0; i < bytes; i++) out[at + i] = static_cast<char>(value >> (8 * (bytes - 1 - i)));
    hdr_stamp_checksum(reinterpret_cast<u8 *>(out.data()), 4096);
    return out;
}

TEST(Restore, WhatIsNotAWholeBackupOfThisKindIsRefusedBeforeAnythingIsWritten)
{
    Restorable r(3);
    const std::string image = file_bytes(r.backup);
    const std::string head = image.substr(0, 4096);
    const std::pair<const char *, std::string> cases[] = {
        {"no page at all", ""},
        {"the boot block alone", head},
        {"the last page cut off", image.substr(0, image.size() - 4096)},
        {"half a page more", image + std::string(2048, '\0')},
        {"a backup of the node-local kind", with_boot_word(image, 364, 2)},
        {"header version 3", with_boot_word(image, 10, 3, 1)},
        {"a live undo log", with_boot_word(image, 200, 1, 1)},
        {"a store's boot block", with_boot_word(image, 360, 0)},
        {"a damaged boot block", image.substr(0, 250) + "x" + image.substr(251)},
        {"a store map that does not add up", with_boot_word(image, 130, be32_of(head, 130) + 4096)},
        {"more pages than the store has", with_boot_word(image, 134, 1)},
    };
    const std::vector<std::string> before = contents(r.store);
    for (const auto &[what, bytes] : cases) {
        write_file(r.dir.file("bad"), bytes);
        EXPECT_EQ(r.restore(r.dir.file("bad")), uint32_t{PROP_E_FORMAT}) << what;
        EXPECT_TRUE(contents(r.store) == before) << what << ": a location was written";
    }
    EXPECT_EQ(r.restore(r.dir.file("missing")), uint32_t{PROP_E_BKPFILE});
}

TEST(Restore, EveryLocationMustBeWritable)
{
    Restorable r(3);
    const std::vector<std::string> before = contents(r.store);
    // A location that cannot be opened would keep its own store, whose
    // commit lsn could later outvote the restored ones.
    ASSERT_EQ(r.store.faults().load(("fail_open:nth=1,errno=EIO,times=0,path=" + r.store.location_tag(2)).c_str()), 0);
    EXPECT_EQ(r.restore(r.backup), uint32_t{PROP_E_STORAGE});
    r.store.faults().reset();
    EXPECT_TRUE(contents(r.store) == before);

    // A device too small for the store.
    ASSERT_EQ(r.store.faults().load(("device:bytes=200000000,path=" + r.store.location_tag(1)).c_str()), 0);
    EXPECT_EQ(r.restore(r.backup), uint32_t{PROP_E_DEVSPACE});
    r.store.faults().reset();
    EXPECT_TRUE(contents(r.store) == before);

    // A failing write stops the restore; the store does not open until a
    // restore completes.
    ASSERT_EQ(r.store.faults().load(("fail_write:nth=3,errno=EIO,path=" + r.store.location_tag(0)).c_str()), 0);
    EXPECT_EQ(r.restore(r.backup), uint32_t{PROP_E_STORAGE});
    r.store.faults().reset();
    EXPECT_NE(r.store.init(PROP_LEVEL_RW), PROP_OK);
    ASSERT_EQ(r.restore(r.backup), 0u);
    ASSERT_EQ(r.store.init(PROP_LEVEL_RW), PROP_OK);
    EXPECT_EQ(tree_of(r.store.ctx()), r.saved);
}

// A node of this process that holds the store open at the CACHING level
// reads the restored pages, not the ones it kept in memory from before.
TEST(Restore, AnOpenCachingHandleOfThisProcessReadsTheRestoredPages)
{
    Restorable r(1);
    ASSERT_EQ(r.store.init(PROP_LEVEL_CACHING), PROP_OK);
    proprhandle *h = r.store.handle();
    auto read = [&](uint32_t addr, std::string *out) {
        std::string b(4096, '\0');
        const u32 rc = proprior(h, b.data(), 4096, addr, 0, PROPRIO_ALL);
        *out = b;
        return rc;
    };
    std::vector<std::pair<uint32_t, std::string>> kept;
    for (uint32_t page = 0; page < 200; page++) {
        const uint32_t addr = h->proprhandle_rtnst + page * 4096;
        std::string b;
        if (read(addr, &b) == 0) kept.emplace_back(addr, b);
    }
    ASSERT_EQ(r.restore(r.backup), 0u);
    uint32_t changed = 0;
    for (const auto &[addr, before] : kept) {
        std::string now;
        if (read(addr, &now) != 0) continue;
        EXPECT_EQ(now, r.store.read_block(0, addr)) << "page at " << addr;
        changed += now != before;
    }
    EXPECT_GT(changed, 0u) << "the restore changed none of the pages read";
}

}  // namespace

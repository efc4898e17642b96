// Taking a backup: what the image holds, that it opens as a store of its
// own, that writers wait for it, and that a backup that fails leaves the
// previous one as it was; and deleting, renaming and copying backup files.
#include <dirent.h>
#include <sys/stat.h>

#include <thread>

#include "backup_util.h"
#include "core/handle.h"
#include "format/block.h"
#include "format/layout.h"
#include "space/used.h"
#include "support/tmpdir.h"
#include "txn/log.h"

namespace {

constexpr uint32_t kSeed = 5;

class TakeBackup : public ::testing::Test {
  protected:
    void SetUp() override
    {
        store.format();
        ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
    }
    TempDir dir;
    Store store;
};

TEST_F(TakeBackup, TheImageHoldsTheStoreUpToItsLastPageAndOpensAsAStore)
{
    TwoPartWorkload work(store, kSeed, 30, 30);
    const Tree tree = work.first();
    ASSERT_EQ(store.terminate(), 0u);

    std::string first;
    for (uint32_t level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING}) {
        SCOPED_TRACE("level " + std::to_string(level));
        ASSERT_EQ(store.init(level), PROP_OK);
        const std::string path = dir.file("at" + std::to_string(level));
        ASSERT_EQ(backup_to(store.ctx(), path), 0u);
        const std::string image = file_bytes(path);
        // The blocks up to the log metadata block, the two name pages,
        // tnode pages 0 .. U.
        uint32_t used = 0;
        EXPECT_EQ(proprut_used_pages(store.handle(), &used), PROP_OK);
        EXPECT_EQ(image.size(), 4096u * (store.handle()->proprhandle_lsst / 4096 + 3 + used + 1));
        if (first.empty()) first = image;
        EXPECT_EQ(image, first) << "two backups of one state differ";
        ASSERT_EQ(store.terminate(), 0u);
    }

    // At the backup level the image is a store: its tree is the store's, and
    // a backup of it is the same image again.
    std::string image_path = dir.file("at0");
    ASSERT_EQ(store.init(PROP_LEVEL_BACKUP, image_path.data()), PROP_OK);
    EXPECT_EQ(tree_of(store.ctx()), tree);
    ASSERT_EQ(backup_to(store.ctx(), dir.file("again")), 0u);
    EXPECT_EQ(file_bytes(dir.file("again")), first);
}

TEST_F(TakeBackup, AWriteMadeDuringTheBackupWaitsForIt)
{
    TwoPartWorkload work(store, kSeed, 30, 30);
    const Tree before = work.first();
    const std::string path = dir.file("slow");
    ASSERT_EQ(store.faults().load(("delay:us=30000,path=" + path).c_str()), 0);

    std::thread backup([&] { EXPECT_EQ(backup_to(store.ctx(), path), 0u); });
    while (store.faults().writes(path.c_str()) == 0) std::this_thread::yield();
    EXPECT_EQ(put_value(store, "during", "v"), PROP_OK);
    const uint64_t written_when_done = store.faults().writes(path.c_str());
    backup.join();
    EXPECT_EQ(written_when_done, store.faults().writes(path.c_str())) << "the key was made while the backup wrote";
    ASSERT_EQ(store.terminate(), 0u);
    store.faults().reset();

    ASSERT_EQ(store.init(PROP_LEVEL_BACKUP, const_cast<char *>(path.c_str())), PROP_OK);
    EXPECT_EQ(tree_of(store.ctx()), before) << "the backup holds the write made while it ran";
}

size_t files_in(const std::string &dir)
{
    size_t n = 0;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

TEST_F(TakeBackup, AFailureAtAnyWriteLeavesThePreviousBackupAsItWas)
{
    TwoPartWorkload work(store, kSeed, 30, 15);
    add_big_values(store, 40);
    work.first();
    const std::string path = dir.file("backup");
    ASSERT_EQ(backup_to(store.ctx(), path), 0u);
    const std::string previous = file_bytes(path);
    work.rest();

    uint64_t writes = 0;
    for (uint64_t k = 1;; k++) {
        store.faults().reset();
        ASSERT_EQ(store.faults().load(("fail_write:nth=" + std::to_string(k) + ",errno=ENOSPC,path=" + path).c_str()), 0);
        uint32_t rc = backup_to(store.ctx(), path);
        if (rc == 0) {
            writes = k - 1;
            break;
        }
        EXPECT_EQ(rc, uint32_t{PROP_E_BKPFILE}) << "write " << k;
        EXPECT_EQ(file_bytes(path), previous) << "write " << k;
        EXPECT_EQ(files_in(dir.path()), 1u) << "a temporary file was left at write " << k;
    }
    EXPECT_GE(writes, 4u) << "a backup of several steps";
    EXPECT_NE(file_bytes(path), previous);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(TakeBackup, WhatCannotBeBackedUpLeavesNoFile)
{
    // A live undo log: its images are in the log space a backup leaves out.
    ASSERT_EQ(proprutbeginlog(store.handle(), PROP_BATCH_SET_VALUE), PROP_OK);
    EXPECT_EQ(backup_to(store.ctx(), dir.file("live")), uint32_t{PROP_E_STORAGE});
    ASSERT_EQ(prop_recover(store.ctx(), 0), PROP_OK);
    EXPECT_EQ(backup_to(store.ctx(), dir.file("rolled-back")), 0u);

    // Disk-group names: a name without its file part is refused; a disk
    // group that is not there makes nothing.
    char good[] = "+DATA:bk1", bad[] = "+DATA";
    EXPECT_EQ(prop_bkup(store.ctx(), good), uint32_t{PROP_E_VLDCREATE});
    EXPECT_EQ(prop_bkup(store.ctx(), bad), uint32_t{PROP_E_STORAGE});
    EXPECT_EQ(prop_recover_media(store.meta(), "+DATA", PROP_KIND_ZKV), uint32_t{PROP_E_BKPFILE});
    EXPECT_EQ(files_in(dir.path()), 1u);
}

// A transaction cut before its log counted any image leaves the boot
// block marked live over a log that holds only the committed lsn.  A
// read-only open writes nothing and, like any backup of a log marked live,
// is refused; the first writer's recovery clears the mark, and backups at
// every level follow.
TEST(BackupAfterACut, ALogMarkedLiveWithNothingToUndoStopsBackupsOnlyUntilRecovery)
{
    Store store({.locations = 2});
    store.format();
    for (uint32_t slot = 0; slot < 2; slot++) {
        std::string boot = store.read_block(slot, 0);
        const uint32_t lsst = be32_of(boot, BOOT_OFF_LSST);
        ASSERT_EQ(be32_of(store.read_block(slot, lsst), LOGMETA_OFF_LSN), be32_of(boot, BOOT_OFF_COMMIT_LSN));
        boot[BOOT_OFF_LOG_VALID] = 1;
        hdr_stamp_checksum(reinterpret_cast<u8 *>(boot.data()), 4096);
        store.write_block(slot, 0, boot);
    }
    TempDir dir;
    ASSERT_EQ(store.init(PROP_LEVEL_READONLY), PROP_OK);
    EXPECT_EQ(backup_to(store.ctx(), dir.file("read-only")), uint32_t{PROP_E_STORAGE});
    ASSERT_EQ(store.terminate(), 0u);
    EXPECT_EQ(store.read_block(0, 0)[BOOT_OFF_LOG_VALID], 1);

    ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
    ASSERT_EQ(prop_recover(store.ctx(), 0), PROP_OK);
    for (uint32_t slot = 0; slot < 2; slot++) EXPECT_EQ(store.read_block(slot, 0)[BOOT_OFF_LOG_VALID], 0) << slot;
    EXPECT_EQ(backup_to(store.ctx(), dir.file("writer")), 0u);
    ASSERT_EQ(store.terminate(), 0u);
    ASSERT_EQ(store.init(PROP_LEVEL_READONLY), PROP_OK);
    EXPECT_EQ(backup_to(store.ctx(), dir.file("reader")), 0u);
}

// Deleting, renaming and copying backup files: a name names either the old
// file or the new one, whatever fails; onto its own name a file stays.
class BackupFiles : public ::testing::Test {
  protected:
    void SetUp() override
    {
        store_.format();
        ASSERT_EQ(store_.init(PROP_LEVEL_CACHING), PROP_OK);
        TwoPartWorkload work(store_, 3, 12, 12);
        work.first();
        ASSERT_EQ(backup_to(store_.ctx(), dir_.file("a")), 0u);
        a_ = file_bytes(dir_.file("a"));
    }
    uint32_t copy(const std::string &from, const std::string &to)
    {
        char name[PROP_LOCNAME_SIZE];
        std::snprintf(name, sizeof name, "%s", to.c_str());
        return prop_copy_bkpfile(store_.ctx(), dir_.path().c_str(), from.c_str(), dir_.path().c_str(), name);
    }
    uint32_t rename(const std::string &from, const std::string &to)
    {
        return prop_rename_bkpfile(store_.ctx(), dir_.path().c_str(), from.c_str(), to.c_str(), 0);
    }
    bool exists(const std::string &name) { return ::access(dir_.file(name).c_str(), F_OK) == 0; }

    TempDir dir_;
    Store store_;
    std::string a_;
};

TEST_F(BackupFiles, RenameIsAtomicAndDeleteTakesTheFileAway)
{
    write_file(dir_.file("b"), "old b");
    EXPECT_EQ(rename("a", "b"), 0u);
    EXPECT_EQ(file_bytes(dir_.file("b")), a_);
    EXPECT_FALSE(exists("a"));
    EXPECT_EQ(rename("b", "b"), 0u);
    EXPECT_EQ(file_bytes(dir_.file("b")), a_);
    EXPECT_EQ(rename("a", "c"), uint32_t{PROP_E_BKPFILE}) << "no such file";
    EXPECT_EQ(rename("b", std::string(5000, 'n')), uint32_t{PROP_E_STORAGE}) << "a path too long";
    EXPECT_EQ(file_bytes(dir_.file("b")), a_);

    EXPECT_EQ(prop_delete_bkpfile(store_.ctx(), dir_.path().c_str(), "b", 0), PROP_OK);
    EXPECT_FALSE(exists("b"));
    EXPECT_EQ(prop_delete_bkpfile(store_.ctx(), dir_.path().c_str(), "b", 0), uint32_t{PROP_E_BKPFILE});
    EXPECT_EQ(prop_delete_bkpfile(store_.ctx(), "+DATA", "b", 0), uint32_t{PROP_E_VLDCREATE}) << "no such disk group";
}

TEST_F(BackupFiles, ACopyReplacesItsDestinationOnlyOnceWhole)
{
    EXPECT_EQ(copy("a", "b"), 0u);
    EXPECT_EQ(file_bytes(dir_.file("b")), a_);
    struct stat st;
    ASSERT_EQ(::stat(dir_.file("b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(copy("a", "a"), 0u);
    EXPECT_EQ(file_bytes(dir_.file("a")), a_);

    // A file that is not whole pages is copied as it is.
    write_file(dir_.file("odd"), std::string(5000, 'o'));
    EXPECT_EQ(copy("odd", "odd2"), 0u);
    EXPECT_EQ(file_bytes(dir_.file("odd2")), std::string(5000, 'o'));

    for (uint64_t k = 1;; k++) {
        store_.faults().reset();
        ASSERT_EQ(store_.faults().load(("fail_write:nth=" + std::to_string(k) + ",errno=EIO,path=odd").c_str()), 0);
        uint32_t rc = copy("a", "odd");
        if (rc == 0) {
            EXPECT_EQ(file_bytes(dir_.file("odd")), a_);
            EXPECT_GE(k, 2u);
            break;
        }
        EXPECT_EQ(rc, uint32_t{PROP_E_BKPFILE});
        EXPECT_EQ(file_bytes(dir_.file("odd")), std::string(5000, 'o')) << "write " << k;
    }
    store_.faults().reset();
    EXPECT_EQ(copy("missing", "c"), uint32_t{PROP_E_BKPFILE});
    EXPECT_FALSE(exists("c"));
}

}  // namespace

// A backup the call said was taken is whole whatever a power cut right
// after it loses of what was not synced.
TEST_F(TakeBackup, ATakenBackupSurvivesAPowerCutRightAfter)
{
    TwoPartWorkload work(store, kSeed, 30, 30);
    work.first();
    store.faults().track_unsynced();
    for (u64 seed = 1; seed <= 4; seed++) {
        const std::string path = dir.file("cut" + std::to_string(seed));
        ASSERT_EQ(backup_to(store.ctx(), path), 0u);
        const std::string taken = file_bytes(path);
        store.faults().cut_now(seed);
        EXPECT_TRUE(file_bytes(path) == taken) << "seed " << seed;
    }
}

// Deleting, renaming and copying backup files: a name names either the old
// file or the new one, whatever fails; onto its own name a file stays.
#include <sys/stat.h>

#include "backup_util.h"
#include "support/tmpdir.h"

namespace {

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

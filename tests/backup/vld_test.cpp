// Backup and record files inside a disk group: a backup taken into one
// and restored from it onto a store in disk groups (all or nothing, as
// onto files), backup files copied,
// renamed and deleted there as in a directory, record files exported and
// imported there, and each of them refused with 43 while the disk group
// is not mounted.

#include "backup_util.h"
#include "support/tmpdir.h"
#include "vld/vld_fixture.h"

namespace {

constexpr uint32_t kSeed = 13;
const std::string kDg = "+DATA";

std::vector<std::string> names_in(const std::string &dg)
{
    std::vector<std::string> out;
    for (const vld_admin_file &f : disk_group(dg).files) out.push_back(f.name);
    return out;
}

// The bytes of a file of the disk group (its first mirror copy).
std::string dg_bytes(const std::string &fname)
{
    std::string path;
    EXPECT_EQ(vld_admin_copy_path(kDg + "/" + fname, 1, &path), "");
    return file_bytes(path);
}

class DiskGroupBackups : public ::testing::Test {
  protected:
    void SetUp() override
    {
        store.format();
        ASSERT_EQ(vld_admin_create_dg(kDg, 2, false), "");
        ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
    }

    Store store{{.locations = 2, .vld = true}};
    TempDir dir;
};

TEST_F(DiskGroupBackups, ABackupReplacesItsNamesakeAndRestoresExactly)
{
    TwoPartWorkload work(store, kSeed, 40, 20);
    work.first();
    char name[PROP_LOCNAME_SIZE] = "+DATA:nightly";
    ASSERT_EQ(prop_bkup(store.ctx(), name), PROP_OK);
    EXPECT_STREQ(name, "nightly") << "the file's name in the disk group comes back";
    const std::string first = dg_bytes("nightly");

    // A second backup of the same name replaces the first: no other file
    // is left beside it.
    work.rest();
    add_big_values(store, 20);  // an image of several steps
    const Tree saved = tree_of(store.ctx());
    std::snprintf(name, sizeof name, "%s", "+DATA:nightly");
    ASSERT_EQ(prop_bkup(store.ctx(), name), PROP_OK);
    EXPECT_EQ(names_in(kDg), std::vector<std::string>{"nightly"});
    EXPECT_EQ(disk_group(kDg).files[0].kind, uint32_t{VLD_KIND_BACKUP});
    EXPECT_NE(dg_bytes("nightly"), first);

    // A backup whose writes fail leaves its namesake and no other file.
    const std::string whole = dg_bytes("nightly");
    ASSERT_EQ(store.faults().load("fail_write:nth=3,errno=EIO,path=nightly.tmp"), 0);
    std::snprintf(name, sizeof name, "%s", "+DATA:nightly");
    EXPECT_EQ(prop_bkup(store.ctx(), name), uint32_t{PROP_E_BKPFILE});
    store.faults().reset();
    EXPECT_EQ(names_in(kDg), std::vector<std::string>{"nightly"});
    EXPECT_EQ(dg_bytes("nightly"), whole);

    // Changes made since are undone by the restore, onto both disk groups.
    add_big_values(store, 3);
    ASSERT_EQ(store.terminate(), 0u);
    ASSERT_EQ(prop_recover_media(store.meta(), "+DATA:nightly", PROP_KIND_ZKV), PROP_OK);
    ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
    EXPECT_EQ(tree_of(store.ctx()), saved);

    // Nothing is restored from a disk group that is not mounted.
    ASSERT_EQ(store.terminate(), 0u);
    ASSERT_EQ(vld_admin_mount(kDg, false), "");
    EXPECT_EQ(prop_recover_media(store.meta(), "+DATA:nightly", PROP_KIND_ZKV), uint32_t{PROP_E_VLDCREATE});
}

TEST_F(DiskGroupBackups, BackupFilesAreCopiedRenamedAndDeletedThereAsInADirectory)
{
    ASSERT_EQ(store.terminate(), 0u);
    ASSERT_EQ(store.init(PROP_LEVEL_CACHING), PROP_OK);
    backend_ctx *ctx = store.ctx();
    const std::string d = dir.path();
    ASSERT_EQ(backup_to(ctx, dir.file("a")), 0u);
    add_big_values(store, 2);
    ASSERT_EQ(backup_to(ctx, dir.file("b")), 0u);
    const std::string a = file_bytes(dir.file("a")), b = file_bytes(dir.file("b"));

    // Into the disk group, within it, and out of it again, byte for byte.
    char out[PROP_LOCNAME_SIZE] = "a";
    ASSERT_EQ(prop_copy_bkpfile(ctx, d.c_str(), "a", kDg.c_str(), out), PROP_OK);
    EXPECT_STREQ(out, "a");
    std::snprintf(out, sizeof out, "b");
    ASSERT_EQ(prop_copy_bkpfile(ctx, d.c_str(), "b", kDg.c_str(), out), PROP_OK);
    std::snprintf(out, sizeof out, "a2");
    ASSERT_EQ(prop_copy_bkpfile(ctx, kDg.c_str(), "a", kDg.c_str(), out), PROP_OK);
    std::snprintf(out, sizeof out, "a3");
    ASSERT_EQ(prop_copy_bkpfile(ctx, kDg.c_str(), "a2", d.c_str(), out), PROP_OK);
    EXPECT_EQ(dg_bytes("a"), a);
    EXPECT_EQ(file_bytes(dir.file("a3")), a);
    uint32_t exists = 0;
    EXPECT_EQ(prop_file_exists(store.meta(), "+DATA:a2", &exists, 0), PROP_OK);
    EXPECT_EQ(exists, 1u);

    // A rename onto a name in use replaces that file, as a directory's does.
    ASSERT_EQ(prop_rename_bkpfile(ctx, kDg.c_str(), "a2", "c", 0), PROP_OK);
    ASSERT_EQ(prop_rename_bkpfile(ctx, kDg.c_str(), "b", "c", 0), PROP_OK);
    EXPECT_EQ(names_in(kDg), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(dg_bytes("c"), b);
    EXPECT_EQ(prop_rename_bkpfile(ctx, kDg.c_str(), "b", "d", 0), uint32_t{PROP_E_BKPFILE}) << "b is gone";

    ASSERT_EQ(prop_delete_bkpfile(ctx, kDg.c_str(), "c", 0), PROP_OK);
    EXPECT_EQ(prop_delete_bkpfile(ctx, kDg.c_str(), "c", 0), uint32_t{PROP_E_BKPFILE});
    EXPECT_EQ(names_in(kDg), std::vector<std::string>{"a"});
    EXPECT_EQ(prop_file_exists(store.meta(), "+DATA:c", &exists, 0), PROP_OK);
    EXPECT_EQ(exists, 0u);

    ASSERT_EQ(vld_admin_mount(kDg, false), "");
    std::snprintf(out, sizeof out, "e");
    EXPECT_EQ(prop_copy_bkpfile(ctx, d.c_str(), "a", kDg.c_str(), out), uint32_t{PROP_E_VLDCREATE});
    EXPECT_EQ(prop_copy_bkpfile(ctx, kDg.c_str(), "a", d.c_str(), out), uint32_t{PROP_E_VLDCREATE});
    EXPECT_EQ(prop_rename_bkpfile(ctx, kDg.c_str(), "a", "f", 0), uint32_t{PROP_E_VLDCREATE});
}

TEST_F(DiskGroupBackups, RecordFilesAreExportedAndImportedThere)
{
    // Values of several chunks' worth, some holding the record separator.
    std::vector<Rec> recs;
    for (int i = 0; i < 7; i++)
        recs.push_back({"SYSTEM.k" + std::to_string(i), i == 6 ? "" : std::string(50000 + i, static_cast<char>('a' + i)) + "\x07\x20\x5f\n"});
    // The store's used pages bound its export file.
    add_big_values(store, 6);
    prop_metactx *meta = store.meta();
    ASSERT_EQ(export_records(meta, "+DATA:tree.rec", recs, store.ctx()), 0u);
    std::vector<Rec> back;
    EXPECT_EQ(import_records(meta, "+DATA:tree.rec", &back), uint32_t{PROP_E_NOMORE});
    EXPECT_TRUE(back == recs);
    const std::vector<vld_admin_file> files = disk_group(kDg).files;
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].blocks, 5u * 17) << "cut back to its chunks";

    // Never over a file.
    const std::string whole = dg_bytes("tree.rec");
    EXPECT_EQ(export_records(meta, "+DATA:tree.rec", {{"SYSTEM.x", "x"}}, store.ctx()),
              uint32_t{PROP_E_EXPORTEXISTS});
    EXPECT_EQ(dg_bytes("tree.rec"), whole);
    // Without a store the file may grow to the largest size.
    ASSERT_EQ(export_records(meta, "+DATA:nostore.rec", recs), 0u);
    back.clear();
    EXPECT_EQ(import_records(meta, "+DATA:nostore.rec", &back), uint32_t{PROP_E_NOMORE});
    EXPECT_TRUE(back == recs);
    EXPECT_EQ(import_records(meta, "+DATA:none.rec", &back), uint32_t{PROP_E_EXPORTFILE});

    ASSERT_EQ(vld_admin_mount(kDg, false), "");
    EXPECT_EQ(export_records(meta, "+DATA:new.rec", recs, store.ctx()), uint32_t{PROP_E_VLDCREATE});
    EXPECT_EQ(import_records(meta, "+DATA:tree.rec", &back), uint32_t{PROP_E_VLDCREATE});
    ASSERT_EQ(vld_admin_mount(kDg, true), "");
}

}  // namespace

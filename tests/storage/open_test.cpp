// Opening the configured locations: each slot ends open, unusable or left
// alone, and one bad location never fails the others; and which storage
// each registry kind accepts.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "handle_fixture.h"
#include "registry_fixture.h"
#include "storage/config.h"

namespace {

class Open : public HandleFixture {
  protected:
    // "" is an empty slot, "absent" a file that is not there, "dir" a
    // directory, "fifo" a FIFO, "+..." a disk group; any other name is a
    // file made for the case.
    void configure(const std::vector<std::string> &names)
    {
        u32 i = 0;
        for (const std::string &n : names) {
            const bool file = !n.empty() && n[0] != '+';
            const bool given = n == "absent" || n == "dir" || n == "fifo";
            set_slot(i++, !file ? n : given ? dir_.file(n) : make_file(n));
        }
        h_->proprhandle_configured_device_count = i;
    }
    RegistryRoot reg_;
};

class StorageType : public HandleFixture {
  protected:
    RegistryRoot reg_;  // also keeps developer mode off unless a case sets it
};

}  // namespace

TEST_F(Open, EachSlotEndsOpenUnusableOrUntouched)
{
    // Partitions are taken at their size: one a page short, one just enough.
    const u64 base = 0x5029000ull;
    const std::string rules = "device:bytes=" + std::to_string(base + 19999ull * 4096) + ",path=part_short;" +
                              "device:bytes=" + std::to_string(base + 20000ull * 4096) + ",path=part_enough;" +
                              "device:bytes=900000000,sector=4096,path=part_4k;" +
                              "device:bytes=900000000,sector=512,path=part_512";
    ASSERT_EQ(c_.faults.load(rules.c_str()), 0);
    ASSERT_EQ(::mkdir(dir_.file("dir").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0644), 0);
    const u32 O = PROP_SLOT_OPEN, U = PROP_SLOT_UNUSABLE, N = PROP_SLOT_UNCONFIGURED;
    struct Case {
        const char *name;
        std::vector<std::string> locations;
        u32 rc;
        std::vector<u32> states;
        u32 min_block;   // the smallest block size of the open files
        u32 pages1;      // slot 1's page count, when checked
    };
    const Case cases[] = {
        {"an empty slot between two", {"a", "", "c"}, 0, {O, N, O, N, N}, 4096, 0},
        {"one cannot be opened", {"a", "absent", "c"}, 0, {O, U, O}, 4096, 0},
        {"below the minimum size", {"part_short", "part_enough"}, 0, {U, O}, 512, 20000},
        {"smallest block size", {"part_4k", "plain", "part_512"}, 0, {O, O, O}, 512, 0},
        {"a disk group is the I/O layer's", {"+DATA"}, 0, {N}, 0, 0},
        // A name that looks like a raw device but is a file here.
        {"failed storage check", {"\\\\.\\disk"}, 0, {O}, 4096, 0},
        {"nothing opens", {"absent", "", "absent"}, 26, {U, N, U}, 0, 0},
        // Refused before any I/O: a FIFO would hang the open.
        {"neither a file nor a block device", {"dir", "fifo", "c"}, 0, {U, U, O}, 4096, 0},
        {"nothing configured", {}, 26, {N, N, N, N, N}, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(utclose(h_), PROP_OK);
        configure(c.locations);
        EXPECT_EQ(utopen(h_, PROP_KIND_ZKV), c.rc);
        for (u32 i = 0; i < c.states.size(); i++) {
            const bool group = i < c.locations.size() && c.locations[i][0] == '+';
            EXPECT_EQ(h_->proprhandle_native_state[i], c.states[i]) << i;
            EXPECT_EQ(h_->proprhandle_native[i] != nullptr, c.states[i] == O) << i;
            EXPECT_EQ(h_->proprhandle_loctype[i],
                      group ? PROP_LOCTYPE_VLD : c.states[i] == O ? PROP_LOCTYPE_FILE : PROP_LOCTYPE_NONE)
                << i;
        }
        if (c.rc == 0) {
            EXPECT_EQ(h_->proprhandle_os_min_block_size, c.min_block);
        }
        if (c.pages1 != 0) {
            EXPECT_EQ(h_->proprhandle_native_numpage[1], c.pages1);
        }
    }
}

TEST_F(StorageType, EachRegistryKindAcceptsItsOwnStorage)
{
    std::string file = make_file("store", 4096);
    std::string backup_dir = dir_.path();
    std::string fifo = dir_.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const char *raw = "\\\\.\\PhysicalDrive0";
    const u32 Z = PROP_KIND_ZKV, N = PROP_KIND_NKV, B = PROP_CONF_BACKUP_LOCATION;
    struct Case {
        std::string location;
        u32 flags;
        bool developer;
        u32 rc;
        std::string errorbuf;
    } cases[] = {
        {"+DATA", N, false, 37, "Korvex Local Registry(NKV) does not support VLD diskgroup."},
        {"+DATA", Z, true, 43,
         "The VLD disk group did not exist, was not mounted correctly, or did not have the required permissions."},
        {file, Z, false, 37, "Korvex Cluster Registry(ZKV) does not support non-VLD location."},
        {file, Z, true, 0, ""},
        {file, N, false, 0, ""},
        {raw, Z, true, 37, "Korvex Cluster Registry does not support the storage type configured."},
        {dir_.file("absent"), N, false, 8, strerror(ENOENT)},
        // Only a regular file or a block device holds a store; a FIFO is
        // refused at once, not waited on.
        {backup_dir, N, false, 8, strerror(EISDIR)},
        {fifo, Z, true, 8, strerror(ENOTBLK)},
        {file, 0, true, 8, ""},
        {backup_dir, N | B, false, 0, ""},
        {file, N | B, false, 37, "The backup location " + file + " is not a valid Korvex Local Registry backup location"},
    };
    for (const Case &c : cases) {
        ScopedEnv dev("ZKV_DEVELOPER_ENV", c.developer ? "TRUE" : nullptr);
        char errorbuf[256];
        std::memset(errorbuf, 'j', sizeof errorbuf);
        errorbuf[255] = '\0';
        u32 size = sizeof errorbuf;
        EXPECT_EQ(proprstcheckstorage(nullptr, c.location.c_str(), errorbuf, &size, c.flags), c.rc)
            << c.location << " " << std::hex << c.flags;
        EXPECT_EQ(std::string(errorbuf), c.errorbuf) << c.location << " " << std::hex << c.flags;
        if (!c.errorbuf.empty()) {
            EXPECT_EQ(size, c.errorbuf.size());
        }
    }
}

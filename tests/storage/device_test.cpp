#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "format/block.h"
#include "format/storemap.h"
#include "handle_fixture.h"
#include "storage/changes.h"
#include "storage/config.h"

namespace {

class Device : public HandleFixture {
  protected:
    ut_native open_loc(const std::string &path, bool direct)
    {
        ut_native n{};
        EXPECT_EQ(ut_open_location(h_, path.c_str(), direct, &n), PROP_OK);
        return n;
    }
};

}  // namespace

TEST_F(Device, BlockAddressesSitAfterTheReservedPrefixExceptForBackupReads)
{
    std::string path = make_file("loc1");
    write_at(path, 0, std::string(4096, 'B').data(), 4096);
    write_at(path, 0x19000, std::string(4096, 'S').data(), 4096);
    for (bool direct : {false, true}) {
        ut_native n = open_loc(path, direct);
        std::vector<char> buf(4096);
        h_->proprhandle_bootlevel = PROP_LEVEL_RW;
        ASSERT_EQ(utread(h_, buf.data(), 4096, 0, &n, 0), PROP_OK);
        EXPECT_EQ(std::string(buf.begin(), buf.end()), std::string(4096, 'S'));
        h_->proprhandle_bootlevel = PROP_LEVEL_BACKUP;
        ASSERT_EQ(utread(h_, buf.data(), 4096, 0, &n, 0), PROP_OK);
        EXPECT_EQ(std::string(buf.begin(), buf.end()), std::string(4096, 'B'));
        // Writes add the prefix at every level.
        std::vector<char> w(4096, direct ? 'd' : 'b');
        ASSERT_EQ(utwrite(h_, w.data(), 4096, 8192, &n), PROP_OK);
        EXPECT_EQ(read_at(path, 0x19000 + 8192, 4096), std::string(w.begin(), w.end()));
        ut_close_location(&n);
    }
}

TEST_F(Device, UnbufferedTransfersTakeAnyBufferAndLength)
{
    std::string path = make_file("loc1");
    ut_native n = open_loc(path, true);
    ASSERT_EQ(n.direct, 1u);  // the real file system takes O_DIRECT
    EXPECT_EQ(n.durable, 1u);
    EXPECT_NE(env_current()->open_flags(n.file) & O_DIRECT, 0);

    std::vector<char> big(3 * 4096 + 1);
    char *odd = big.data() + 1;  // never 4096-aligned
    for (size_t i = 0; i < 3 * 4096; i++) odd[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(utwrite(h_, odd, 3 * 4096, 4096, &n), PROP_OK);
    std::vector<char> back(3 * 4096 + 1, 0);
    ASSERT_EQ(utread(h_, back.data() + 1, 3 * 4096, 4096, &n, 0), PROP_OK);
    EXPECT_EQ(std::memcmp(back.data() + 1, odd, 3 * 4096), 0);

    // Part of a block changes only the bytes asked for.
    ASSERT_EQ(utwrite(h_, "XYZ", 3, 4096 + 10, &n), PROP_OK);
    std::string raw = read_at(path, 0x19000 + 4096, 16);
    EXPECT_EQ(raw.substr(9, 5), std::string(1, odd[9]) + "XYZ" + std::string(1, odd[13]));
    char small[5] = {};
    ASSERT_EQ(utread(h_, small, 4, 4096 + 10, &n, 0), PROP_OK);
    EXPECT_STREQ(small, std::string("XYZ").append(1, odd[13]).c_str());
    ut_close_location(&n);
    // The aligned buffers came from the meta context and went back to it.
    EXPECT_EQ(prop_fe_meta_live_blocks(c_.meta), 1u);
}

TEST_F(Device, FallsBackToBufferedWhereUnbufferedIsRefusedAndStaysDurable)
{
    // Refused as a memory file system of an older kernel refuses it.
    const std::string path = make_file("loc1");
    c_.faults.add({fault_kind::fail_open, path, 1, 1, EINVAL});
    ut_native n{};
    ASSERT_EQ(ut_open_location(h_, path.c_str(), true, &n), PROP_OK);
    EXPECT_EQ(n.direct, 0u);
    EXPECT_EQ(n.durable, 1u);  // its barriers still reach the device
    EXPECT_EQ(env_current()->open_flags(n.file) & O_DIRECT, 0);
    std::vector<char> w(4096, 'f'), r(4096);
    ASSERT_EQ(utwrite(h_, w.data(), 4096, 0, &n), PROP_OK);
    ASSERT_EQ(utread(h_, r.data(), 4096, 0, &n, 0), PROP_OK);
    EXPECT_EQ(r, w);
    ut_close_location(&n);
}

// A write group's runs go to every location, each location's requests
// ended by one barrier; a location whose write fails answers 26 and has no
// barrier, and does not stop the others.
TEST_F(Device, RunsGoToEveryLocationWithOneBarrierEach)
{
    std::vector<std::string> paths = {make_file("loc1"), make_file("loc2"), make_file("loc3")};
    std::vector<ut_native> held;
    for (const std::string &p : paths) held.push_back(open_loc(p, true));
    ut_native *holders[3] = {&held[0], &held[1], &held[2]};
    void *mem = std::aligned_alloc(4096, 3 * 4096);
    auto *pages = static_cast<char *>(mem);
    for (int i = 0; i < 3; i++) std::memset(pages + i * 4096, 'a' + i, 4096);
    const iovec iov[3] = {{pages, 4096}, {pages + 4096, 4096}, {pages + 8192, 4096}};
    const ut_run runs[2] = {{&iov[0], 2, 8192}, {&iov[2], 1, 40960}};  // two neighbours, then one apart

    c_.faults.load("fail_write:nth=1,errno=EIO,path=loc2");
    u32 results[3] = {};
    ut_write_runs(h_, holders, 3, runs, 2, results);
    EXPECT_EQ(std::vector<u32>(results, results + 3), (std::vector<u32>{0, PROP_E_STORAGE, 0}));
    for (int l : {0, 2}) {
        EXPECT_EQ(read_at(paths[l], 0x19000 + 8192, 8192),
                  std::string(4096, 'a') + std::string(4096, 'b'));
        EXPECT_EQ(read_at(paths[l], 0x19000 + 40960, 4096), std::string(4096, 'c'));
        EXPECT_EQ(c_.faults.writes(paths[l].c_str()), 2u);
        EXPECT_EQ(c_.faults.barriers(paths[l].c_str()), 1u);
    }
    EXPECT_EQ(c_.faults.barriers(paths[1].c_str()), 0u);
    std::free(mem);
    for (ut_native &n : held) ut_close_location(&n);
}

TEST_F(Device, SizeInPagesFollowsTheFileSize)
{
    // A store's computed file size gives back exactly its page count.
    propr_storemap m{};
    ASSERT_EQ(propr_storemap_compute(0x1d000, &m), PROP_OK);
    struct Case {
        const char *name;
        u64 bytes;
        u32 pages;
    } cases[] = {
        {"justbelow", 0x5029000ull + 0x18fffull * 4096, PROPR_DEFAULT_PAGES},
        {"exact", 0x5029000ull + 0x20000ull * 4096, 0x20000},
        {"ragged", 0x5029000ull + 0x20000ull * 4096 + 4095, 0x20000},
        {"computed", m.file_bytes, 0x1d000},
    };
    for (const Case &c : cases) {
        std::string path = make_file(c.name, c.bytes);
        ut_native n = open_loc(path, false);
        u32 pages = 0;
        ASSERT_EQ(utsz(h_, &pages, &n), PROP_OK);
        EXPECT_EQ(pages, c.pages) << c.name;
        ut_close_location(&n);
    }
}

// A failed transfer returns 26 and keeps the system's error for the caller.
TEST_F(Device, FailuresReturn26AndKeepTheSystemError)
{
    ut_native n = open_loc(make_file("loc1"), false);
    c_.faults.add({fault_kind::fail_read, "loc1", 1, 1, EIO});
    c_.faults.add({fault_kind::fail_write, "loc1", 1, 1, ENOSPC});
    std::vector<char> buf(4096);
    EXPECT_EQ(utread(h_, buf.data(), 4096, 0, &n, 0), PROP_E_STORAGE);
    EXPECT_EQ(c_.error().comp_msg, 101u);
    EXPECT_EQ(c_.error().comp_arg, static_cast<u32>(EIO));
    EXPECT_EQ(utwrite(h_, buf.data(), 4096, 4096, &n), PROP_E_STORAGE);
    EXPECT_EQ(c_.error().comp_arg, static_cast<u32>(ENOSPC));
    ut_close_location(&n);
}

TEST_F(Device, CloseReleasesFileSlotsAndLeavesVolumeManagerSlots)
{
    int marker = 0;
    for (u32 i = 0; i < 2; i++) {
        auto *holder = u_alloc_array<ut_native>(c_.meta, 1);
        ASSERT_EQ(ut_open_location(h_, make_file("loc" + std::to_string(i)).c_str(), false, holder), PROP_OK);
        h_->proprhandle_native[i] = holder;
        h_->proprhandle_native_state[i] = PROP_SLOT_OPEN;
        h_->proprhandle_loctype[i] = PROP_LOCTYPE_FILE;
    }
    h_->proprhandle_native[3] = &marker;
    h_->proprhandle_native_state[3] = PROP_SLOT_OPEN;
    h_->proprhandle_loctype[3] = PROP_LOCTYPE_VLD;
    EXPECT_EQ(utclose(h_), PROP_OK);
    for (u32 i = 0; i < 2; i++) {
        EXPECT_EQ(h_->proprhandle_native[i], nullptr);
        EXPECT_EQ(h_->proprhandle_native_state[i], PROP_SLOT_CLOSED);
    }
    EXPECT_EQ(h_->proprhandle_native[3], &marker);
    EXPECT_EQ(h_->proprhandle_native_state[3], PROP_SLOT_OPEN);
    h_->proprhandle_native[3] = nullptr;
}

TEST_F(Device, NewLocationCheck)
{
    propr_storemap m{};
    ASSERT_EQ(propr_storemap_compute(PROPR_DEFAULT_PAGES, &m), PROP_OK);
    struct Case {
        const char *name;
        const char *file;  // made for the case, unless "absent" or a raw device name
        u32 write_test;
        u64 failing_write;  // 0: none
        u32 rc;
        bool first_page;  // the page at block address 0 went in
    } cases[] = {
        {"the last page cannot go in", "new", 1, 2, 31, true},
        {"the boot block cannot go in", "new", 1, 1, 8, false},
        {"without the write test nothing is written", "new", 0, 0, 0, false},
        {"writes first and last page", "new", 1, 0, 0, true},  // the last file made: checked below
        {"absent", "absent", 0, 0, 8, false},
        {"raw device", "\\\\.\\PhysicalDrive1", 0, 0, 37, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c_.faults.reset();
        const bool made = std::string(c.file) == "new";
        const std::string path = made ? make_file(c.file, 4096) : c.file[0] == 'a' ? dir_.file(c.file) : c.file;
        if (c.failing_write != 0)
            c_.faults.add({fault_kind::fail_write, "new", c.failing_write, 1, ENOSPC});
        EXPECT_EQ(utdvch(h_, path.c_str(), m.last_page_addr, c.write_test, 0), c.rc);
        if (made) {
            EXPECT_EQ(read_at(path, PROPR_RESERVED_PREFIX, 1), c.first_page ? "\x01" : "");
        }
    }
    // The check that passed laid down two stamped pages, and the file grew
    // to exactly the size the store needs.
    const std::string path = dir_.file("new");
    for (u64 addr : {u64{0}, m.last_page_addr}) {
        std::string page = read_at(path, u64{addr} + PROPR_RESERVED_PREFIX, 4096);
        ASSERT_EQ(page.size(), 4096u);
        const u8 *p = reinterpret_cast<const u8 *>(page.data());
        u32 blocknum;
        std::memcpy(&blocknum, p + 4, 4);
        EXPECT_EQ(blocknum, (addr >> 12) + 25);
        EXPECT_EQ(hdr_verify_checksum(p, 4096), 0u);
    }
    EXPECT_EQ(read_at(path, m.file_bytes - 1, 2).size(), 1u);
}

// A location's change count is made beside it by its owner and trusted only
// while everyone who may write the location may write the count: a count a
// writer cannot move would let readers keep pages that writer replaced.
namespace {

struct Mapped {
    ut_changes c{};
    explicit Mapped(const std::string &location) { ut_changes_map(location.c_str(), &c); }
    ~Mapped() { ut_changes_unmap(&c); }
    bool trusted()
    {
        u64 count = 0;
        return ut_changes_read(&c, &count);
    }
};

TEST(ChangeCount, CountedByOneTrustedOnlyWhereEveryWriterOfTheLocationMayCount)
{
    TempDir dir;
    const std::string loc = dir.file("loc"), count = loc + ".changes";
    make_file(loc);
    ASSERT_EQ(::chmod(loc.c_str(), 0660), 0);

    Mapped writer(loc), reader(loc);
    ASSERT_NE(writer.c.count, nullptr) << "the owner makes the count";
    struct stat st {};
    ASSERT_EQ(::stat(count.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u) << "with the location's bits";
    u64 before = 0, after = 0;
    ASSERT_TRUE(ut_changes_read(&reader.c, &before));
    ut_changes_count(&writer.c);
    ASSERT_TRUE(ut_changes_read(&reader.c, &after));
    EXPECT_EQ(after, before + 1) << "one count, seen by every mapping";

    const struct {
        mode_t loc, count;
        bool trusted;
    } cases[] = {{0660, 0660, true}, {0660, 0640, false}, {0666, 0660, false}, {0600, 0600, true},
                 {0644, 0600, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.loc << " " << c.count);
        ASSERT_EQ(::chmod(loc.c_str(), c.loc), 0);
        ASSERT_EQ(::chmod(count.c_str(), c.count), 0);
        EXPECT_EQ(Mapped(loc).trusted(), c.trusted);
    }
    if (::geteuid() != 0) return;  // only root gives a file away
    // Root writes anything; another owner of the location needs the count.
    ASSERT_EQ(::chmod(loc.c_str(), 0600), 0);
    ASSERT_EQ(::chown(count.c_str(), 12345, static_cast<gid_t>(-1)), 0);
    EXPECT_TRUE(Mapped(loc).trusted()) << "root's location";
    ASSERT_EQ(::chown(loc.c_str(), 23456, static_cast<gid_t>(-1)), 0);
    EXPECT_FALSE(Mapped(loc).trusted()) << "a count another user owns";
}

}  // namespace

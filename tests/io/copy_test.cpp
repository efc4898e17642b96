// Copying the store to another location, and bringing stale mirrors up to
// date with it.

#include <gtest/gtest.h>

#include "io_fixture.h"
#include "support/store.h"

namespace {

using Votes = std::pair<u32, u32>;

using Write = std::pair<u64, u64>;  // offset, length

BootFields boot(u32 lsn)
{
    return {.commit_lsn = lsn, .lsn = lsn, .my_votes = 1, .total_votes = 2};
}

// Everything up to the log metadata block, the name pages and the used
// tnode pages (in steps of 250), then the boot block: nothing else.
TEST(Copy, CopiesExactlyTheStorePages)
{
    IoStore s(2);
    s.open_files();
    s.set_geometry(300);
    s.write_boot(0, boot(5));
    s.write_block(0, 4096, 0x31);
    s.write_block(0, FX_ODBST, 0x32);
    s.write_block(0, FX_RTNST + 300 * 4096, 0x33);
    s.write_block(0, FX_LSST + 4096, 0x34);  // a log slot: never copied
    s.faults.set_record(true);
    ASSERT_EQ(proprio_copy(s.h, 1, 0), PROP_OK);
    std::vector<Write> to1, expected = {
        {FX_PREFIX + 4096, 12 * 4096},
        {FX_PREFIX + FX_ODBST, 250 * 4096},
        {FX_PREFIX + FX_ODBST + 250 * 4096, 53 * 4096},
        {FX_PREFIX, 4096},
    };
    for (const fault_write_record &w : s.faults.recorded()) {
        ASSERT_EQ(w.path, s.loc(1)) << "the source is only read";
        to1.emplace_back(w.offset, w.length);
    }
    EXPECT_EQ(to1, expected);
    for (u32 addr : {4096u, FX_LSST, FX_ODBST, FX_RTNST + 300 * 4096})
        EXPECT_EQ(s.read_raw(1, addr, 4096), s.read_raw(0, addr, 4096)) << addr;
    EXPECT_EQ(s.disk_votes(1), Votes(1, 2));
}

TEST(Copy, FailingHalfwayZeroesTheTargetBootBlock)
{
    IoStore s(2);
    s.open_files();
    s.set_geometry(3);
    s.write_boot(0, boot(5));
    s.write_boot(1, boot(4));
    ASSERT_EQ(s.faults.load("fail_write:nth=2,errno=EIO,path=/loc1"), 0);
    EXPECT_EQ(proprio_copy(s.h, 1, 0), PROP_E_STORAGE);
    EXPECT_EQ(s.read_raw(1, 0, 4096), std::vector<u8>(4096, 0));
}

// A mirror that cannot be synced is taken out of service, and the survivor
// of a two-location store takes the majority.
TEST(Sync, UnsyncableMirrorIsDropped)
{
    IoStore s(2);
    s.write_boot(0, boot(7));
    s.write_boot(1, boot(9));
    ASSERT_EQ(proprioo(s.h, 1, 1, PROPRIO_OPEN_ZKV), 0u);
    s.set_geometry(1);
    ASSERT_EQ(s.faults.load("fail_write:nth=1,times=0,errno=EIO,path=/loc0"), 0);
    trace_capture_start();
    EXPECT_EQ(propriosync(s.h), PROP_OK);
    EXPECT_EQ(s.h->proprhandle_native_state[0], PROP_SLOT_UNUSABLE);
    EXPECT_TRUE(alerted(1006));
    EXPECT_EQ(s.disk_votes(1), Votes(2, 2));
}

}  // namespace

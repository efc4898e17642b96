// Mirrored reads take the open locations in turn and fail over; direct
// reads touch one location and nothing else, and only a slot or "all" is
// a selector.
#include <cstring>

#include <gtest/gtest.h>

#include "io/io.h"
#include "io_fixture.h"
#include "propreg/frontend.h"

namespace {

constexpr u32 ADDR = 8 * 4096;

void fail_reads(IoStore &s, u32 slot)
{
    ASSERT_EQ(s.faults.load(("fail_read:nth=1,times=0,errno=EIO,path=/loc" + std::to_string(slot)).c_str()), 0);
}

TEST(MirroredRead, AlternatesThenFailsOverForGood)
{
    IoStore s(2);
    s.open_files();
    s.write_block(0, ADDR, 0x11);
    s.write_block(1, ADDR, 0x11);
    u8 block[PROP_PAGE_SIZE];
    for (int i = 0; i < 4; i++) ASSERT_EQ(proprior(s.h, block, sizeof block, ADDR, 0, PROPRIO_ALL), 0u);
    EXPECT_EQ(s.faults.reads("/loc0"), 2u);
    EXPECT_EQ(s.faults.reads("/loc1"), 2u);

    fail_reads(s, 1);
    trace_capture_start();
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(proprior(s.h, block, sizeof block, ADDR, 0, PROPRIO_ALL), 0u);
        EXPECT_EQ(block[100], 0x11);
    }
    EXPECT_EQ(s.faults.reads("/loc1"), 3u) << "a failed location is read once, then never again";
    EXPECT_EQ(s.faults.reads("/loc0"), 7u);
    EXPECT_EQ(s.h->proprhandle_native_state[1], PROP_SLOT_UNUSABLE);
    ASSERT_EQ(alerts_captured().size(), 1u);
    EXPECT_EQ(alerts_captured()[0].number, 1006u);
}

// With two locations the votes follow the one that still reads; a block
// that neither can give is the block's fault and moves no vote.
TEST(MirroredRead, VotesMoveOnlyToALocationThatServedTheBlock)
{
    for (const bool bad_everywhere : {false, true}) {
        SCOPED_TRACE(bad_everywhere ? "bad everywhere" : "bad on location 0");
        IoStore s(2);
        s.open_files();
        BootFields half;
        half.my_votes = 1;
        half.total_votes = 2;
        for (u32 i = 0; i < 2; i++) s.write_boot(i, half);
        s.set_votes(1, 2);
        u8 boot[PROP_PAGE_SIZE];
        ASSERT_EQ(proprior(s.h, boot, sizeof boot, 0, 0, 0), 0u);
        s.h->bootbuf = boot;
        u8 garbage[PROP_PAGE_SIZE];
        std::memset(garbage, 0x77, sizeof garbage);
        s.write_raw(0, ADDR, garbage, sizeof garbage);
        if (bad_everywhere)
            s.write_raw(1, ADDR, garbage, sizeof garbage);
        else
            s.write_block(1, ADDR, 0x11);
        u8 block[PROP_PAGE_SIZE];
        s.h->proprhandle_read_device = 1;  // location 0 is tried first
        EXPECT_EQ(proprior(s.h, block, sizeof block, ADDR, PROPRIO_READ_QUIET, PROPRIO_ALL), bad_everywhere ? 22u : 0u);
        s.h->bootbuf = nullptr;
        EXPECT_EQ(s.disk_votes(0), std::make_pair(1u, 2u));
        EXPECT_EQ(s.disk_votes(1), bad_everywhere ? std::make_pair(1u, 2u) : std::make_pair(2u, 2u));
    }
}

TEST(MirroredRead, HeaderFailingEverywhere)
{
    IoStore s(3);
    s.open_files();
    u8 garbage[PROP_PAGE_SIZE];
    std::memset(garbage, 0x77, sizeof garbage);
    for (u32 i = 0; i < 3; i++) s.write_raw(i, ADDR, garbage, sizeof garbage);
    u8 block[PROP_PAGE_SIZE];
    EXPECT_EQ(proprior(s.h, block, sizeof block, ADDR, PROP_FLAG_BYPASS, PROPRIO_ALL), 0u)
        << "the bypass flag accepts a bad header";
    for (u32 i = 0; i < 3; i++) EXPECT_EQ(s.h->proprhandle_native_state[i], PROP_SLOT_OPEN);

    EXPECT_EQ(proprior(s.h, block, sizeof block, ADDR, PROPRIO_READ_QUIET, PROPRIO_ALL), 22u);
    for (u32 i = 0; i < 3; i++) EXPECT_EQ(s.h->proprhandle_native_state[i], PROP_SLOT_UNUSABLE);
    EXPECT_EQ(proprior(s.h, block, sizeof block, ADDR, 0, PROPRIO_ALL), 26u) << "nothing left to read";
}

TEST(DirectIo, NeverChangesStatesOrVotes)
{
    IoStore s(2);
    s.open_files();
    s.set_votes(1, 2);
    fail_reads(s, 0);
    ASSERT_EQ(s.faults.load("fail_write:nth=1,errno=EIO,path=/loc0"), 0);
    u8 garbage[PROP_PAGE_SIZE];
    std::memset(garbage, 0x77, sizeof garbage);
    s.write_raw(1, ADDR, garbage, sizeof garbage);
    u8 block[PROP_PAGE_SIZE];
    EXPECT_EQ(proprior(s.h, block, sizeof block, ADDR, 0, 0), 26u);
    EXPECT_EQ(propriow(s.h, block, sizeof block, ADDR, 0), 26u);
    EXPECT_EQ(proprior(s.h, block, sizeof block, ADDR, 0, 1), 0u) << "direct reads check no header";
    for (u32 i = 0; i < 2; i++) {
        EXPECT_EQ(s.h->proprhandle_native_state[i], PROP_SLOT_OPEN);
        EXPECT_EQ(s.h->proprhandle_my_votes[i], 1u);
    }
    EXPECT_EQ(s.faults.writes("/loc1"), 0u) << "a direct write goes to its own location only";

    // Between the slots and "all" a selector names nothing: refused before
    // any location is touched, never taken for "all".
    const u64 before = s.faults.reads() + s.faults.writes();
    for (u32 selector : {5u, 99u, 101u}) {
        EXPECT_EQ(proprior(s.h, block, sizeof block, ADDR, 0, selector), PROP_E_ARG) << selector;
        EXPECT_EQ(propriow(s.h, block, sizeof block, ADDR, selector), PROP_E_ARG) << selector;
    }
    EXPECT_EQ(s.faults.reads() + s.faults.writes(), before);
}

}  // namespace

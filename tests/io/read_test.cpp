// Mirrored reads take the open locations in turn and fail over; direct
// reads touch one location and nothing else, and only a slot or "all" is
// a selector.
#include <cstring>

#include <gtest/gtest.h>

#include "storage/device.h"
#include "io_fixture.h"

namespace {

constexpr u32 ADDR = 8 * 4096;

void fail_reads(IoStore &s, u32 slot)
{
    ASSERT_EQ(s.faults.load(("fail_read:nth=1,times=0,errno=EIO,path=/loc" + std::to_string(slot)).c_str()), 0);
}

// A block whose header no reader takes.
void write_garbage(IoStore &s, u32 slot, u32 addr = ADDR)
{
    const std::vector<u8> garbage(PROP_PAGE_SIZE, 0x77);
    s.write_raw(slot, addr, garbage.data(), garbage.size());
}

TEST(MirroredRead, AlternatesThenFailsOverForGood)
{
    IoStore s(2);
    s.open_files();
    s.write_block(0, ADDR, 0x11);
    s.write_block(1, ADDR, 0x11);
    u8 block[PROP_PAGE_SIZE];
    for (int i = 0; i < 4; i++) ASSERT_EQ(proprior(s.h, block, sizeof block, ADDR, 0, PROPRIO_ALL), PROP_OK);
    EXPECT_EQ(s.faults.reads("/loc0"), 2u);
    EXPECT_EQ(s.faults.reads("/loc1"), 2u);

    fail_reads(s, 1);
    trace_capture_start();
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(proprior(s.h, block, sizeof block, ADDR, 0, PROPRIO_ALL), PROP_OK);
        EXPECT_EQ(block[100], 0x11);
    }
    EXPECT_EQ(s.faults.reads("/loc1"), 3u) << "a failed location is read once, then never again";
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
        const BootFields half{.my_votes = 1, .total_votes = 2};
        for (u32 i = 0; i < 2; i++) s.write_boot(i, half);
        s.set_votes(1, 2);
        u8 boot[PROP_PAGE_SIZE];
        ASSERT_EQ(proprior(s.h, boot, sizeof boot, 0, 0, 0), PROP_OK);
        s.h->bootbuf = boot;
        write_garbage(s, 0);
        if (bad_everywhere)
            write_garbage(s, 1);
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

// A page rewritten in place that a power cut tore on two of three
// locations is read from the third; the two stay in service, or the store
// could not write again.  Any other page failing its checksum takes its
// location out of service.
TEST(MirroredRead, APageRewrittenInPlaceAndTornOnSomeLocationsLeavesThemInService)
{
    for (const u32 flags : {PROPRIO_READ_IN_PLACE, 0u}) {
        IoStore s(3);
        s.open_files();
        for (u32 i = 0; i < 3; i++) s.write_block(i, ADDR, 0x11);
        for (u32 i = 1; i < 3; i++) s.write_raw(i, ADDR + 1024, "torn", 4);  // header intact, checksum not
        for (int i = 0; i < 3; i++) {
            u8 block[PROP_PAGE_SIZE];
            ASSERT_EQ(proprior(s.h, block, sizeof block, ADDR, flags | PROPRIO_READ_QUIET, PROPRIO_ALL), PROP_OK);
            EXPECT_EQ(block[100], 0x11);
        }
        const u32 want = flags != 0 ? PROP_SLOT_OPEN : PROP_SLOT_UNUSABLE;
        for (u32 i = 1; i < 3; i++) EXPECT_EQ(s.h->proprhandle_native_state[i], want) << flags << " " << i;
    }
}

// A batch of pages goes to a location together: neighbours as one
// transfer, each request failing over on its own as a single read does.
TEST(BatchedRead, NeighboursGoTogetherAndEachRequestFailsOverOnItsOwn)
{
    IoStore s(2);
    s.open_files();
    // Eight neighbouring blocks and one far away, on both locations.
    const u32 addrs[] = {ADDR + 5 * 4096, ADDR, ADDR + 400 * 4096, ADDR + 3 * 4096, ADDR + 1 * 4096,
                         ADDR + 2 * 4096, ADDR + 4 * 4096, ADDR + 7 * 4096, ADDR + 6 * 4096};
    constexpr u32 n = sizeof addrs / sizeof addrs[0];
    for (u32 i = 0; i < n; i++)
        for (u32 slot = 0; slot < 2; slot++) s.write_block(slot, addrs[i], static_cast<u8>(0x10 + i));
    static u8 blocks[n][PROP_PAGE_SIZE];
    proprio_read reqs[n];
    auto batch = [&](u32 flags) {
        std::memset(blocks, 0, sizeof blocks);
        for (u32 i = 0; i < n; i++) reqs[i] = proprio_read{blocks[i], PROP_PAGE_SIZE, addrs[i], 99};
        return proprior_batch(s.h, reqs, n, flags);
    };
    auto all_read = [&] {
        for (u32 i = 0; i < n; i++) {
            EXPECT_EQ(reqs[i].result, 0u) << i;
            EXPECT_EQ(blocks[i][100], 0x10 + i) << i;
        }
    };
    const u64 before = s.faults.reads();
    ASSERT_EQ(batch(0), 0u);
    all_read();
    EXPECT_EQ(s.faults.reads() - before, 2u) << "one transfer for the neighbours, one for the far block";

    // The round-robin's next location holds one block with a bad header:
    // that block alone comes from the other location, and the bad one
    // leaves service as after a single read.
    const u32 first = (s.h->proprhandle_read_device + 1) % 2;
    write_garbage(s, first, addrs[3]);
    trace_capture_start();
    ASSERT_EQ(batch(0), 0u);
    all_read();
    EXPECT_EQ(s.h->proprhandle_native_state[first], PROP_SLOT_UNUSABLE);
    EXPECT_EQ(s.h->proprhandle_native_state[1 - first], PROP_SLOT_OPEN);
    EXPECT_EQ(alerts_captured().size(), 1u);

    // The location left fails every read: nothing is read, and each request
    // says so.
    fail_reads(s, 1 - first);
    EXPECT_EQ(batch(PROPRIO_READ_QUIET), PROP_E_STORAGE);
    for (u32 i = 0; i < n; i++) EXPECT_EQ(reqs[i].result, PROP_E_STORAGE) << i;
    EXPECT_EQ(s.h->proprhandle_native_state[1 - first], PROP_SLOT_UNUSABLE);
}

// An unbuffered location moves whole aligned pages: a batch reads straight
// into aligned buffers, and through an aligned area into others, with the
// same bytes either way, also where the batch repeats a page.
TEST(BatchedRead, UnbufferedLocationsTakeAlignedAndUnalignedBuffers)
{
    IoStore s(1);
    s.zkv->developer_mode = 0;
    s.open_files();
    ASSERT_NE(static_cast<ut_native *>(s.h->proprhandle_native[0])->direct, 0u);
    const u32 addrs[] = {ADDR + 2 * 4096, ADDR, ADDR + 4 * 4096, ADDR + 2 * 4096, ADDR + 1 * 4096};
    constexpr u32 n = sizeof addrs / sizeof addrs[0];
    for (u32 i = 0; i < n; i++) s.write_block(0, addrs[i], static_cast<u8>(addrs[i] / 4096));
    alignas(4096) static u8 pool[(n + 1) * PROP_PAGE_SIZE];
    for (u32 shift : {0u, 8u}) {
        std::memset(pool, 0, sizeof pool);
        proprio_read reqs[n];
        for (u32 i = 0; i < n; i++) reqs[i] = proprio_read{pool + shift + i * PROP_PAGE_SIZE, PROP_PAGE_SIZE, addrs[i], 99};
        ASSERT_EQ(proprior_batch(s.h, reqs, n, 0), PROP_OK) << shift;
        for (u32 i = 0; i < n; i++) EXPECT_EQ(pool[shift + i * PROP_PAGE_SIZE + 100], addrs[i] / 4096) << shift << " " << i;
    }
}

TEST(DirectIo, NeverChangesStatesOrVotes)
{
    IoStore s(2);
    s.open_files();
    s.set_votes(1, 2);
    fail_reads(s, 0);
    ASSERT_EQ(s.faults.load("fail_write:nth=1,errno=EIO,path=/loc0"), 0);
    write_garbage(s, 1);
    u8 block[PROP_PAGE_SIZE];
    EXPECT_EQ(proprior(s.h, block, sizeof block, ADDR, 0, 0), PROP_E_STORAGE);
    EXPECT_EQ(propriow(s.h, block, sizeof block, ADDR, 0), PROP_E_STORAGE);
    EXPECT_EQ(proprior(s.h, block, sizeof block, ADDR, 0, 1), PROP_OK) << "direct reads check no header";
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

// The page cache answers exactly as the open locations would: whatever a
// write, a failure, a rollback, a close or another process did to a page,
// the next read sees what the locations hold, and the cache never holds
// more than its size.
#include <chrono>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "format/block.h"
#include "io/group.h"
#include "io/pagecache.h"
#include "io_fixture.h"

namespace {

// Block address of page k of the tree area.
u32 page(u32 k)
{
    return FX_RTNST + k * PROP_PAGE_SIZE;
}

// A store of its own geometry with every location open; each holds a boot
// block, which a write to two locations stamps its votes into.
struct Open {
    IoStore s;
    explicit Open(u32 locations, u32 level = PROP_LEVEL_CACHING) : s(locations, level)
    {
        for (u32 i = 0; i < locations; i++) s.write_boot(i, BootFields{});
        s.open_files();
        s.set_geometry(0);
    }
};

// A block with a valid header, every other byte fill.
std::vector<u8> block(IoStore &s, u32 addr, u8 fill)
{
    std::vector<u8> b(PROP_PAGE_SIZE, fill);
    s.block_header(b.data(), addr, 4242);
    hdr_stamp_checksum(b.data(), b.size());
    return b;
}

// Writes such a block through the I/O layer.
u32 write(IoStore &s, u32 addr, u8 fill, u32 selector = PROPRIO_ALL)
{
    return propriow(s.h, block(s, addr, fill).data(), PROP_PAGE_SIZE, addr, selector);
}

// Reads a block through the I/O layer: its fill byte, and the device reads
// that took.
std::pair<u8, u64> read(IoStore &s, u32 addr)
{
    const u64 before = s.faults.reads();
    u8 b[PROP_PAGE_SIZE] = {};
    EXPECT_EQ(proprior(s.h, b, sizeof b, addr, 0, PROPRIO_ALL), PROP_OK);
    return {b[100], s.faults.reads() - before};
}

using Answer = std::pair<u8, u64>;

// The same, as a call of its own below the CACHING level makes it.
Answer read_in_call(IoStore &s, u32 addr)
{
    pagecache_call_begins(s.h);
    const Answer a = read(s, addr);
    pagecache_call_ends(s.h);
    return a;
}

TEST(PageCache, FilledByWritesAndReadsOfTheTreeAreaEmptiedByAClose)
{
    Open o(1);
    ASSERT_EQ(write(o.s, page(1), 0x11), 0u);
    EXPECT_EQ(read(o.s, page(1)), Answer(0x11, 0)) << "a written page is read from memory";
    o.s.write_block(0, page(2), 0x22);
    EXPECT_EQ(read(o.s, page(2)), Answer(0x22, 1));
    EXPECT_EQ(read(o.s, page(2)), Answer(0x22, 0)) << "a page read once is read from memory";
    o.s.write_block(0, FX_LSST, 0x33);
    EXPECT_EQ(read(o.s, FX_LSST), Answer(0x33, 1));
    EXPECT_EQ(read(o.s, FX_LSST), Answer(0x33, 1)) << "blocks before the tree area are not kept";
    ASSERT_EQ(propriocl(o.s.h, 0), PROP_OK);
    EXPECT_EQ(pagecache_state(o.s.h).pages, 0u) << "closing the locations empties it";
    o.s.open_files();
    EXPECT_EQ(read(o.s, page(1)), Answer(0x11, 1));
}

TEST(PageCache, APageTheLocationsMayNoLongerAgreeOnIsForgotten)
{
    Open o(3);
    ASSERT_EQ(write(o.s, page(1), 0x11), 0u);
    ASSERT_EQ(write(o.s, page(1), 0x22, 0), 0u);
    EXPECT_EQ(read(o.s, page(1)).second, 1u) << "a direct write forgets the page";

    // Two of three locations fail: the write fails, and the one location
    // left open holds the new bytes.
    ASSERT_EQ(write(o.s, page(2), 0x33), 0u);
    ASSERT_EQ(o.s.faults.load("fail_write:nth=1,errno=EIO,path=/loc1;fail_write:nth=1,errno=EIO,path=/loc2"), 0);
    EXPECT_EQ(write(o.s, page(2), 0x44), PROP_E_STORAGE);
    EXPECT_EQ(read(o.s, page(2)), Answer(0x44, 1)) << "a failed write forgets the page";
}

TEST(PageCache, ARollbackForgetsWhatWasWrittenSinceTheLastCommit)
{
    Open o(1);
    ASSERT_EQ(write(o.s, page(1), 0x11), 0u);
    pagecache_commit(o.s.h);
    ASSERT_EQ(write(o.s, page(2), 0x22), 0u);
    // What the undo puts back, as recovery would.
    o.s.write_block(0, page(2), 0x99);
    pagecache_rollback(o.s.h);
    EXPECT_EQ(read(o.s, page(2)), Answer(0x99, 1));
    EXPECT_EQ(read(o.s, page(1)), Answer(0x11, 0)) << "a committed page stays";
}

TEST(PageCache, HoldsNoMoreThanItsSizeAndLetsTheLeastUsedGoFirst)
{
    ScopedEnv size("ZKV_PAGE_CACHE_SIZE", "1");  // 1 MB: 256 pages
    Open o(1);
    for (u32 k = 0; k < 300; k++) ASSERT_EQ(write(o.s, page(k), static_cast<u8>(k)), 0u);
    EXPECT_EQ(pagecache_state(o.s.h).pages, 256u);
    EXPECT_EQ(read(o.s, page(44)).second, 0u) << "the oldest page kept";
    ASSERT_EQ(write(o.s, page(300), 0x55), 0u);
    EXPECT_EQ(read(o.s, page(44)).second, 0u) << "reading it made it the newest";
    EXPECT_EQ(read(o.s, page(45)), Answer(45, 1)) << "the least used went instead";
    EXPECT_EQ(read(o.s, page(0)), Answer(0, 1));

    ScopedEnv off("ZKV_PAGE_CACHE_SIZE", "0");
    Open none(1);
    ASSERT_EQ(write(none.s, page(1), 0x11), 0u);
    EXPECT_EQ(read(none.s, page(1)), Answer(0x11, 1)) << "size 0 turns the cache off";
}

// A group of many pages refreshes every page the cache holds, though it
// takes no new memory for the pages it does not.
TEST(PageCache, ABulkWriteRefreshesWhatTheCacheHolds)
{
    Open o(1);
    o.s.write_block(0, page(0), 0x10);
    ASSERT_EQ(read(o.s, page(0)), Answer(0x10, 1));
    const u32 n = PROPRIO_PAGECACHE_BULK_PAGES + 1;
    WriteGroup g(o.s.h);
    for (u32 k = 0; k < n; k++)
        ASSERT_EQ(g.add(block(o.s, page(k), static_cast<u8>(0x20 + k)).data(), PROP_PAGE_SIZE, page(k)), 0u);
    ASSERT_EQ(g.flush(), 0u);
    EXPECT_EQ(read(o.s, page(0)), Answer(0x20, 0)) << "the held page was refreshed";
    EXPECT_EQ(read(o.s, page(n - 1)), Answer(static_cast<u8>(0x20 + n - 1), 1));
}

// Below the CACHING level another process may write the store between
// this one's calls: a page is kept only while the location's change count
// (and the boot block, when a look reads it) stays as a call saw it when it
// first used the cache and, when the call read pages, at its end.  The
// boot block's words are read by the first look only (one more read).
void kept_while_the_store_stays(u32 level)
{
    ScopedEnv words("ZKV_PAGE_CACHE_CHECK_MS", "3600000");
    Open o(1, level);
    o.s.write_block(0, page(1), 0x11);
    EXPECT_EQ(read(o.s, page(1)), Answer(0x11, 1));
    EXPECT_EQ(read(o.s, page(1)), Answer(0x11, 1)) << "outside a call nothing is kept";

    EXPECT_EQ(read_in_call(o.s, page(1)), Answer(0x11, 2));
    EXPECT_EQ(read_in_call(o.s, page(1)), Answer(0x11, 0)) << "the store did not change";

    // Another process commits a new value.
    o.s.write_block(0, page(1), 0x22);
    o.s.write_boot(0, BootFields{.commit_lsn = 2, .lsn = 2});
    EXPECT_EQ(read_in_call(o.s, page(1)), Answer(0x22, 1)) << "a commit empties the cache";

    // Inside one call, after its look: a transaction starts and writes a
    // page in place, which the call reads; it dies, and another process's
    // open undoes it, leaving the boot block exactly as it was.
    o.s.write_block(0, page(2), 0x44);
    pagecache_call_begins(o.s.h);
    EXPECT_EQ(read(o.s, page(1)), Answer(0x22, 0));
    o.s.write_boot(0, BootFields{.commit_lsn = 2, .lsn = 3, .log_live = true});
    o.s.write_block(0, page(2), 0x55);
    EXPECT_EQ(read(o.s, page(2)), Answer(0x55, 1));
    o.s.write_block(0, page(2), 0x44);
    o.s.write_boot(0, BootFields{.commit_lsn = 2, .lsn = 2});
    pagecache_call_ends(o.s.h);
    EXPECT_EQ(read_in_call(o.s, page(2)), Answer(0x44, 1))
        << "a page read while the store changed is not kept";
}

TEST(PageCache, BelowTheCachingLevelAPageIsKeptWhileTheStoreStaysAsItWas)
{
    for (u32 level : {PROP_LEVEL_READONLY, PROP_LEVEL_RW}) {
        SCOPED_TRACE(level);
        kept_while_the_store_stays(level);
    }
}

// A writer that does not count its change (a count file replaced, or one
// it may not write) is caught when a look next reads the boot block; from
// then on every look reads it.
TEST(PageCache, AWriterThatDoesNotCountIsCaughtByTheBootBlock)
{
    ScopedEnv words("ZKV_PAGE_CACHE_CHECK_MS", "200");
    Open o(1, PROP_LEVEL_READONLY);
    o.s.write_block(0, page(1), 0x11);
    EXPECT_EQ(read_in_call(o.s, page(1)), Answer(0x11, 2));

    o.s.write_block(0, page(1), 0x22);
    o.s.write_boot(0, BootFields{.commit_lsn = 2, .lsn = 2, .counted = false});
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(read_in_call(o.s, page(1)), Answer(0x22, 2)) << "the words were due, and had changed";
    EXPECT_EQ(read_in_call(o.s, page(1)), Answer(0x22, 1))
        << "the count is no longer trusted: the look reads the words";
}

// A listing kept beside the pages answers for the first child of a name,
// only under its own parent, and goes with the pages.
TEST(PageCache, AListingIsKeptAsLongAsThePages)
{
    Open o(1, PROP_LEVEL_READONLY);
    const char names[] = "b\0a\0a\0";
    const u32 children[] = {20, 21, 22};
    pagecache_call_begins(o.s.h);
    pagecache_note_listing(o.s.h, 7, names, sizeof names - 1, children, 3);
    EXPECT_EQ(pagecache_listed_child(o.s.h, 7, "a"), 21u);
    EXPECT_EQ(pagecache_listed_child(o.s.h, 7, "c"), 0u);
    EXPECT_EQ(pagecache_listed_child(o.s.h, 8, "a"), 0u);
    pagecache_call_ends(o.s.h);

    o.s.write_boot(0, BootFields{.commit_lsn = 2, .lsn = 2});
    pagecache_call_begins(o.s.h);
    EXPECT_EQ(pagecache_listed_child(o.s.h, 7, "a"), 0u) << "another process committed";
    pagecache_call_ends(o.s.h);
}

}  // namespace

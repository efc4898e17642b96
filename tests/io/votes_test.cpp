// The two-location vote hand-over: who holds which votes after a location
// is lost, the announce / write / announce order at the CACHING level, and
// the group record those announcements publish.
#include <cerrno>

#include <gtest/gtest.h>

#include "io/grpvotes.h"
#include "io/open.h"
#include "io_fixture.h"
#include "platform/groupdata.h"
#include "support/store.h"

namespace {

using Votes = std::pair<u32, u32>;

// Who holds which votes once a location is lost.  The open may hand votes
// over while the handle's boot buffer is still blank; they must then go
// into the block the location holds, so every case runs both ways.
TEST(VoteHandOver, FollowsWhichLocationsAreOpen)
{
    struct Case {
        const char *name;
        u32 state1;
        Votes held1;  // slot 1's votes in the handle
        u32 expected;
        Votes disk0, disk1;
    };
    const Case cases[] = {
        {"both open", PROP_SLOT_OPEN, {0, 0}, 0, {1, 2}, {1, 2}},
        {"slot 1 lost at 1/2", PROP_SLOT_UNUSABLE, {1, 2}, 0, {2, 2}, {1, 2}},
        {"slot 1 lost holding 2/2", PROP_SLOT_UNUSABLE, {2, 2}, 26, {1, 2}, {1, 2}},
    };
    const BootFields boot{.my_votes = 1, .total_votes = 2};
    std::vector<u8> blank(PROP_PAGE_SIZE, 0);
    for (u8 *bootbuf : {static_cast<u8 *>(nullptr), blank.data()})
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (bootbuf != nullptr ? ", blank boot buffer" : ""));
            IoStore s(2);
            s.open_files();
            s.write_boot(0, boot);
            s.write_boot(1, boot);
            s.h->bootbuf = bootbuf;
            s.h->proprhandle_native_state[1] = c.state1;
            s.h->proprhandle_my_votes[1] = c.held1.first;
            s.h->proprhandle_total_votes[1] = c.held1.second;
            EXPECT_EQ(propriowm(s.h), c.expected);
            s.h->bootbuf = nullptr;
            EXPECT_EQ(s.disk_votes(0), c.disk0);
            EXPECT_EQ(s.disk_votes(1), c.disk1);
            // A refused hand-over leaves the handle's votes as they were.
            EXPECT_EQ(Votes(s.h->proprhandle_my_votes[0], s.h->proprhandle_total_votes[0]),
                      c.expected == 0 ? c.disk0 : Votes(0, 0));
            proprio_bootid id{};
            EXPECT_EQ(propriogid(s.h, 0, &id, 0), PROP_OK);
            EXPECT_EQ(id.zkvid, boot.zkvid) << "the boot block was kept";
        }
}

// At the CACHING level the new votes are announced before the boot block is
// written and confirmed after it.
TEST(VoteHandOver, AnnouncesWritesConfirms)
{
    IoStore s(2, PROP_LEVEL_CACHING);
    s.open_files();
    s.write_boot(1, {});
    s.faults.set_record(true);
    ASSERT_EQ(propriowv(s.h, 2, 2, 1), PROP_OK);
    std::vector<std::string> order;
    for (const fault_write_record &w : s.faults.recorded())
        order.push_back(w.path.find("groupdata") != std::string::npos ? "publish" : w.path.substr(w.path.size() - 4));
    EXPECT_EQ(order, (std::vector<std::string>{"publish", "loc1", "publish"}));
    u32 record[PROP_GRPREC_WORDS] = {};
    ASSERT_EQ(grpdata_read("testgroup", record, sizeof record), 0);
    EXPECT_EQ(grp_get(record, grp_phase::prepare, 1).my, 2u);
    EXPECT_EQ(grp_get(record, grp_phase::commit, 1).my, 2u);
    EXPECT_EQ(s.disk_votes(1), Votes(2, 2));
}

// Votes are never stamped into a block that is no boot block: that would
// turn garbage into a block whose checksum verifies.
TEST(VoteHandOver, NoBootBlockTakesNoVotes)
{
    IoStore s(2);
    s.open_files();
    EXPECT_EQ(propriowv(s.h, 2, 2, 1), PROP_E_STORAGE);
    EXPECT_EQ(s.read_raw(1, 0, PROP_PAGE_SIZE), std::vector<u8>(PROP_PAGE_SIZE, 0));
}

// A failure at any step takes the location out of service and leaves the
// handle's votes as they were.
TEST(VoteHandOver, FailureAtAnyStep)
{
    struct Case {
        const char *name;
        const char *rule;
        u32 expected;
    };
    const Case cases[] = {
        {"prepare", "fail_write:nth=1,errno=EIO,path=groupdata", 23},
        {"boot block", "fail_write:nth=1,errno=EIO,path=/loc1", 26},
        {"commit", "fail_write:nth=2,errno=EIO,path=groupdata", 23},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        IoStore s(2, PROP_LEVEL_CACHING);
        s.open_files();
        s.write_boot(1, {});
        s.set_votes(1, 2);
        ASSERT_EQ(s.faults.load(c.rule), 0);
        trace_capture_start();
        EXPECT_EQ(propriowv(s.h, 2, 2, 1), c.expected);
        EXPECT_EQ(s.h->proprhandle_native_state[1], PROP_SLOT_UNUSABLE);
        EXPECT_EQ(Votes(s.h->proprhandle_my_votes[1], s.h->proprhandle_total_votes[1]), Votes(1, 2));
        EXPECT_EQ(grp_get(s.grp->record, grp_phase::prepare, 1).my, 0u) << "the record is put back";
        EXPECT_TRUE(alerted(1006));
    }
}

// The published record follows the votes the locations hold.
TEST(GroupRecord, RefreshedFromTheLocations)
{
    using Words = std::vector<u32>;  // words 2..9: prepare 0, prepare 1, commit 0, commit 1
    struct Case {
        const char *name;
        u32 state0, state1;
        Words before, after;
        bool published;
    };
    const Words right = {1, 2, 1, 2, 1, 2, 1, 2};
    const Case cases[] = {
        {"already right", PROP_SLOT_OPEN, PROP_SLOT_OPEN, right, right, false},
        {"location 0 closed", PROP_SLOT_CLOSED, PROP_SLOT_OPEN, right, Words(8, 0), true},
        {"location 1 failed", PROP_SLOT_OPEN, PROP_SLOT_UNUSABLE, {2, 2, 7, 7, 2, 2, 7, 7}, {1, 2, 7, 7, 1, 2, 7, 7}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        IoStore s(2, PROP_LEVEL_CACHING);
        s.h->proprhandle_configured_device_count = 2;
        s.set_votes(1, 2);
        s.h->proprhandle_native_state[0] = c.state0;
        s.h->proprhandle_native_state[1] = c.state1;
        std::copy(c.before.begin(), c.before.end(), s.grp->record + 2);
        EXPECT_EQ(propriupdategrppridata(s.h), PROP_OK);
        EXPECT_EQ(Words(s.grp->record + 2, s.grp->record + 10), c.after);
        u32 published[PROP_GRPREC_WORDS] = {};
        EXPECT_EQ(grpdata_read("testgroup", published, sizeof published), c.published ? 0 : ENOENT);
        EXPECT_EQ(Words(published + 2, published + 10), c.published ? c.after : Words(8, 0));
    }
}

}  // namespace

// Opening: which locations are current, decided from hand-made boot blocks
// by their store ids, device histories, votes and lsns.
#include <gtest/gtest.h>

#include "io/devhist.h"
#include "io/io.h"
#include "io_fixture.h"
#include "platform/groupdata.h"

namespace {

struct Loc {
    bool formatted = true;
    BootSpec boot;
};

struct OpenCase {
    const char *name;
    std::vector<Loc> locs;
    u32 expected;
    std::vector<u32> states;   // after a successful open
    u32 log_lsn = ~0u;         // handed to the undo log, when checked
    const char *message = nullptr;
    u32 alert = 0;
};

BootSpec boot(u32 commit_lsn, u32 lsn, u32 my = 0, u32 total = 0)
{
    BootSpec b;
    b.commit_lsn = commit_lsn;
    b.lsn = lsn;
    b.my_votes = my;
    b.total_votes = total;
    return b;
}

Loc with_id(BootSpec b, u32 zkvid)
{
    b.zkvid = zkvid;
    return {true, b};
}

Loc foreign_history(BootSpec b)
{
    b.other_history = true;
    return {true, b};
}

Loc version(BootSpec b, u8 v)
{
    b.hdr_version = v;
    return {true, b};
}

const Loc unformatted{false, {}};

void run(const OpenCase &c, u32 level = PROP_LEVEL_RW)
{
    SCOPED_TRACE(c.name);
    IoStore s(static_cast<u32>(c.locs.size()), level);
    for (u32 i = 0; i < c.locs.size(); i++)
        if (c.locs[i].formatted) s.write_boot(i, c.locs[i].boot);
    trace_capture_start();
    EXPECT_EQ(s.open(), c.expected);
    if (c.message != nullptr) {
        EXPECT_TRUE(trace_captured_contains(c.message)) << c.message;
    }
    if (c.alert != 0) {
        bool seen = false;
        for (const AlertRecord &a : alerts_captured()) seen |= a.number == c.alert;
        EXPECT_TRUE(seen) << "alert " << c.alert;
    }
    if (c.expected != 0) return;
    for (u32 i = 0; i < c.states.size(); i++) EXPECT_EQ(s.h->proprhandle_native_state[i], c.states[i]) << "slot " << i;
    if (c.log_lsn != ~0u) {
        EXPECT_EQ(s.log_lsn, c.log_lsn);
    }
}

TEST(Open, ThreeOrMoreLocationsFollowTheCommitLsn)
{
    const OpenCase cases[] = {
        {"one behind", {{true, boot(5, 5)}, {true, boot(7, 8)}, {true, boot(7, 7)}}, 0, {2, 3, 3}, 8},
        {"two behind", {{true, boot(3, 3)}, {true, boot(9, 9)}, {true, boot(4, 4)}, {true, boot(9, 9)}},
         0, {2, 3, 2, 3}, 9},
        {"unformatted is stale", {{true, boot(4, 4)}, unformatted, {true, boot(4, 4)}}, 0, {3, 2, 3}, 4},
        {"one readable of three", {{true, boot(4, 4)}, unformatted, unformatted}, 26, {}, ~0u,
         "propriomck: Not enough devices can be accessed (1, 3)"},
        {"store ids differ", {{true, boot(4, 4)}, {true, boot(4, 4)}, with_id(boot(4, 4), 99)}, 26, {}, ~0u,
         "propriomck: zkvid[2]=99 is not matched with zkvid[0]=4242"},
        {"foreign history",
         {{true, boot(4, 4)}, {true, boot(4, 4)}, foreign_history(boot(4, 4))}, 0, {3, 3, 2}, 4,
         "proprioo: ZKV/NKV configuration on disk[2] is not valid", 1009},
        {"no history matches",
         {foreign_history(boot(4, 4)), foreign_history(boot(4, 4)), foreign_history(boot(4, 4))}, 26, {}, ~0u,
         "proprioo: ZKV configuration on none of disks is valid", 1009},
    };
    for (const OpenCase &c : cases) run(c);
}

// Boot blocks older than header version 3 carry the ids of two slots only,
// so no history of a wider store can match: the width is checked alone.
TEST(Open, WideStoresNeedNewHeaders)
{
    IoStore s(3);
    for (u32 i = 0; i < 3; i++) s.write_boot(i, version(boot(4, 4), i == 2 ? 3 : 2).boot);
    EXPECT_EQ(proprioo(s.h, 0, 1, PROPRIO_OPEN_ZKV), 0u);
    IoStore old(3);
    for (u32 i = 0; i < 3; i++) old.write_boot(i, version(boot(4, 4), 2).boot);
    trace_capture_start();
    EXPECT_EQ(proprioo(old.h, 0, 1, PROPRIO_OPEN_ZKV), 26u);
    EXPECT_TRUE(trace_captured_contains("proprioo: none of the devices can support 3-way mirroring"));
}

TEST(Open, TwoLocationsVoteFirst)
{
    const OpenCase cases[] = {
        {"lower lsn is stale", {{true, boot(7, 7, 1, 2)}, {true, boot(9, 9, 1, 2)}}, 0, {2, 3}, 9},
        {"same lsn", {{true, boot(9, 9, 1, 2)}, {true, boot(9, 9, 1, 2)}}, 0, {3, 3}, 9},
        {"2/2 ran alone", {{true, boot(9, 9, 1, 2)}, {true, boot(5, 5, 2, 2)}}, 0, {2, 3}},
        {"both 2/2", {{true, boot(9, 9, 2, 2)}, {true, boot(9, 9, 2, 2)}}, 26, {}, ~0u,
         "propriovck: incorrect votes", 1011},
        {"store ids differ", {{true, boot(9, 9, 1, 2)}, with_id(boot(9, 9, 1, 2), 77)}, 26, {}, ~0u,
         "propriovck:ZKVIDs do not match on mirrors"},
        {"survivor holds 2/2", {{true, boot(9, 9, 2, 2)}, unformatted}, 0, {3, 2}, 9},
        {"survivor holds 1/2", {{true, boot(9, 9, 1, 2)}, unformatted}, 26, {}, ~0u,
         "propriovck: disk 1 (", 1011},
        {"foreign mirror is stale", {{true, boot(9, 9, 1, 2)}, foreign_history(boot(9, 9, 1, 2))}, 0, {3, 2}, ~0u,
         nullptr, 1009},
    };
    for (const OpenCase &c : cases) run(c);
}

// A survivor at 1/2 may take over when the published record shows the lost
// location never held 2/2.
TEST(Open, SurvivorTakesOverWhenTheRecordAllowsIt)
{
    for (bool allowed : {false, true}) {
        SCOPED_TRACE(allowed ? "record shows 1/2" : "record shows 2/2");
        IoStore s(2, PROP_LEVEL_CACHING);
        s.write_boot(0, boot(9, 9, 1, 2));
        const u32 lost = allowed ? 1 : 2;
        const u32 record[PROP_GRPREC_WORDS] = {0, 0, 1, 2, lost, 2, 1, 2, lost, 2};
        ASSERT_EQ(grpdata_publish(s.grp->group_name, record, sizeof record), 0);
        EXPECT_EQ(s.open(), allowed ? 0u : 26u);
        if (!allowed) continue;
        EXPECT_EQ(s.disk_votes(0), std::make_pair(2u, 2u));
        EXPECT_EQ(s.h->proprhandle_my_votes[0], 2u);
        EXPECT_EQ(s.h->proprhandle_native_state[1], PROP_SLOT_STALE);
    }
}

TEST(Open, SingleLocation)
{
    run({"formatted", {{true, boot(3, 6)}}, 0, {3}, 6});
    run({"unformatted, formatting", {unformatted}, 0, {3}});
    run({"unformatted, caching", {unformatted}, 26, {}, ~0u, "proprioini: all disks are not ZKV/NKV formatted"},
        PROP_LEVEL_CACHING);
}

TEST(Open, AnOpenSetIsLeftAlone)
{
    IoStore s(2);
    s.write_boot(0, boot(9, 9, 1, 2));
    s.write_boot(1, boot(9, 9, 1, 2));
    ASSERT_EQ(s.open(), 0u);
    const u64 reads = s.faults.reads();
    EXPECT_EQ(s.open(), 0u);
    EXPECT_EQ(s.faults.reads(), reads);
    EXPECT_EQ(s.h->proprhandle_my_votes[1], 1u);
}

}  // namespace

namespace {

TEST(IoModule, CachingLevelRunsWorkersUntilTerm)
{
    for (u32 level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING}) {
        IoStore s(3, level);
        for (u32 i = 0; i < 3; i++) s.write_boot(i, boot(4, 4));
        ASSERT_EQ(proprioini(s.h, 0), 0u);
        EXPECT_EQ(s.h->proprhandle_workers != nullptr, level == PROP_LEVEL_CACHING);
        u8 block[PROP_PAGE_SIZE] = {};
        EXPECT_EQ(propriow(s.h, block, sizeof block, 8 * 4096, PROPRIO_ALL), 0u);
        EXPECT_EQ(proprio_term(s.h), 0u);
        EXPECT_EQ(s.h->proprhandle_workers, nullptr);
        for (u32 i = 0; i < 3; i++) EXPECT_EQ(s.h->proprhandle_native_state[i], PROP_SLOT_CLOSED);
    }
}

// Re-initialising opens what the configuration names now.
TEST(IoModule, ReinitFollowsTheConfiguration)
{
    IoStore s(3);
    for (u32 i = 0; i < 3; i++) s.write_boot(i, boot(4, 4));
    ASSERT_EQ(s.open(), 0u);
    ASSERT_EQ(dev_update(s.h, 2, ""), 0u);
    s.reconfigured(2);
    s.write_boot(0, boot(5, 5));  // the store's history now names two locations
    s.write_boot(1, boot(5, 5));
    const u64 dropped_reads = s.faults.reads("/loc2");
    EXPECT_EQ(proprio_reinit(s.h, 0), 0u);
    EXPECT_EQ(s.h->proprhandle_configured_device_count, 2u);
    EXPECT_EQ(s.h->proprhandle_native_state[0], PROP_SLOT_OPEN);
    EXPECT_EQ(s.h->proprhandle_native_state[2], PROP_SLOT_UNCONFIGURED);
    EXPECT_EQ(s.faults.reads("/loc2"), dropped_reads) << "the dropped location is not read";
    EXPECT_EQ(s.log_lsn, 5u);
}

}  // namespace

// Opening: which locations are current, decided from hand-made boot blocks
// by their store ids, device histories, votes and lsns.
#include <gtest/gtest.h>

#include "io_fixture.h"
#include "support/store.h"

namespace {

struct OpenCase {
    const char *name;
    std::vector<BootFields> locs;
    u32 expected;
    std::vector<u32> states;   // after a successful open
    u32 log_lsn = ~0u;         // handed to the undo log, when checked
    const char *message = nullptr;
    u32 alert = 0;
};

BootFields boot(u32 commit_lsn, u32 lsn, u32 my = 0, u32 total = 0, u32 zkvid = 4242, bool foreign = false)
{
    return {.zkvid = zkvid, .commit_lsn = commit_lsn, .lsn = lsn, .my_votes = my, .total_votes = total,
            .other_history = foreign};
}

const BootFields unformatted{.formatted = false};

void run(const OpenCase &c, u32 level = PROP_LEVEL_RW)
{
    SCOPED_TRACE(c.name);
    IoStore s(static_cast<u32>(c.locs.size()), level);
    for (u32 i = 0; i < c.locs.size(); i++) s.write_boot(i, c.locs[i]);
    trace_capture_start();
    EXPECT_EQ(proprioo(s.h, 1, 1, PROPRIO_OPEN_ZKV), c.expected);  // as the store opens
    EXPECT_TRUE(c.message == nullptr || trace_captured_contains(c.message)) << c.message;
    EXPECT_TRUE(c.alert == 0 || alerted(c.alert)) << "alert " << c.alert;
    if (c.expected != 0) {
        // A refused open keeps no location open, nor any slot in a state
        // of the set it refused.
        for (u32 i = 0; i < PROP_NUM_SLOTS; i++)
            EXPECT_EQ(s.h->proprhandle_native_state[i], PROP_SLOT_CLOSED) << "slot " << i;
        return;
    }
    for (u32 i = 0; i < c.states.size(); i++) EXPECT_EQ(s.h->proprhandle_native_state[i], c.states[i]) << "slot " << i;
    if (c.log_lsn != ~0u) {
        EXPECT_EQ(s.log_lsn, c.log_lsn);
    }
}

TEST(Open, ThreeOrMoreLocationsFollowTheCommitLsn)
{
    const OpenCase cases[] = {
        {"one behind", {boot(5, 5), boot(7, 8), boot(7, 7)}, 0, {2, 3, 3}, 8},
        {"two behind", {boot(3, 3), boot(9, 9), boot(4, 4), boot(9, 9)},
         0, {2, 3, 2, 3}, 9},
        {"unformatted is stale", {boot(4, 4), unformatted, boot(4, 4)}, 0, {3, 2, 3}, 4},
        {"a damaged boot block has no say",
         {boot(4, 4), BootFields{.commit_lsn = 9, .lsn = 9, .damaged = true}, boot(4, 4)}, 0, {3, 2, 3}, 4},
        {"one readable of three", {boot(4, 4), unformatted, unformatted}, 26, {}, ~0u,
         "propriomck: Not enough devices can be accessed (1, 3)"},
        {"store ids differ", {boot(4, 4), boot(4, 4), boot(4, 4, 0, 0, 99)}, 26, {}, ~0u,
         "propriomck: zkvid[2]=99 is not matched with zkvid[0]=4242"},
        {"foreign history",
         {boot(4, 4), boot(4, 4), boot(4, 4, 0, 0, 4242, true)}, 0, {3, 3, 2}, 4,
         "proprioo: ZKV/NKV configuration on disk[2] is not valid", 1009},
        {"no history matches",
         {boot(4, 4, 0, 0, 4242, true), boot(4, 4, 0, 0, 4242, true), boot(4, 4, 0, 0, 4242, true)}, 26, {}, ~0u,
         "proprioo: ZKV configuration on none of disks is valid", 1009},
    };
    for (const OpenCase &c : cases) run(c);
}

TEST(Open, TwoLocationsVoteFirst)
{
    const OpenCase cases[] = {
        {"lower lsn is stale", {boot(7, 7, 1, 2), boot(9, 9, 1, 2)}, 0, {2, 3}, 9},
        {"same lsn", {boot(9, 9, 1, 2), boot(9, 9, 1, 2)}, 0, {3, 3}, 9},
        {"2/2 ran alone", {boot(9, 9, 1, 2), boot(5, 5, 2, 2)}, 0, {2, 3}},
        {"both 2/2", {boot(9, 9, 2, 2), boot(9, 9, 2, 2)}, 26, {}, ~0u,
         "propriovck: incorrect votes", 1011},
        {"store ids differ", {boot(9, 9, 1, 2), boot(9, 9, 1, 2, 77)}, 26, {}, ~0u,
         "propriovck:ZKVIDs do not match on mirrors"},
        {"survivor holds 2/2", {boot(9, 9, 2, 2), unformatted}, 0, {3, 2}, 9},
        {"survivor holds 1/2", {boot(9, 9, 1, 2), unformatted}, 26, {}, ~0u,
         "propriovck: disk 1 (", 1011},
        {"foreign mirror is stale", {boot(9, 9, 1, 2), boot(9, 9, 1, 2, 4242, true)}, 0, {3, 2}, ~0u,
         nullptr, 1009},
    };
    for (const OpenCase &c : cases) run(c);
}

TEST(Open, SingleLocation)
{
    run({"formatted", {boot(3, 6)}, 0, {3}, 6});
    run({"unformatted, formatting", {unformatted}, 0, {3}});
    run({"unformatted, caching", {unformatted}, 26, {}, ~0u, "proprioini: all disks are not ZKV/NKV formatted"},
        PROP_LEVEL_CACHING);
}

}  // namespace

// Device ids, the location table, the device history in the boot block,
// and the pre-checks of a configuration change.
#include <cstring>

#include <gtest/gtest.h>

#include "format/cursor.h"
#include "io/devhist.h"
#include "io/devid.h"
#include "io_fixture.h"

namespace {

std::vector<std::string> filenames(const IoStore &s, u32 n)
{
    return {std::begin(s.h->proprhandle_filename), std::begin(s.h->proprhandle_filename) + n};
}

TEST(DeviceId, SeparatorsDoNotMatterAndEmptySlotsAreZero)
{
    EXPECT_EQ(proprdev_id_of_name("/a/b/c"), proprdev_id_of_name("\\a\\b\\c"));
    EXPECT_NE(proprdev_id_of_name("/a/b/c"), proprdev_id_of_name("/a/b/d"));

    IoStore s(1);
    u32 dev[PROP_MAX_LOCATIONS];
    char errbuf[128];
    u64 errsz = sizeof errbuf;
    ASSERT_EQ(proprdev_get(s.h, dev, errbuf, &errsz, 0), PROP_OK);
    const u32 expected[PROP_MAX_LOCATIONS] = {proprdev_id_of_name(s.loc(0).c_str()), proprdev_id_of_name(""), 0, 0, 0};
    EXPECT_EQ(proprdev_compare(dev, expected), PROP_OK);
    EXPECT_STREQ(s.h->proprhandle_filename[0], s.loc(0).c_str());

    u32 other[PROP_MAX_LOCATIONS];
    std::memcpy(other, dev, sizeof other);
    other[4] = 1;
    EXPECT_EQ(proprdev_compare(dev, other), PROP_E_DEVDIFF);
}

TEST(DeviceId, CheckOfAProposedLocation)
{
    IoStore s(3);
    s.open_files();
    std::strcpy(s.h->proprhandle_filename[2], "+DATA/cluster/registry.1");
    backend_ctx ctx{};
    ctx.propb_ctx = s.h;
    EXPECT_EQ(proprdev_check(&ctx, 5, "/x"), PROP_E_STORAGE);
    EXPECT_EQ(proprdev_check(&ctx, 0, s.loc(1).c_str()), PROP_E_ARG);
    EXPECT_EQ(proprdev_check(&ctx, 0, "+data"), PROP_E_ARG) << "a disk group matches whatever its case";
    EXPECT_EQ(proprdev_check(&ctx, 0, "/new/location"), PROP_OK);
    s.h->proprhandle_native_state[1] = PROP_SLOT_UNUSABLE;
    s.h->proprhandle_native_state[2] = PROP_SLOT_UNUSABLE;
    EXPECT_EQ(proprdev_check(&ctx, 0, "/new/location"), PROP_E_STORAGE) << "no other location keeps the store";
    s.h->proprhandle_native_state[2] = PROP_SLOT_OPEN;
    EXPECT_EQ(proprdev_check(&ctx, 0, ""), PROP_OK);
}

TEST(LocationTable, UpdateKeepsItGapFreeOrLeavesItAlone)
{
    IoStore s(3);
    s.open_files();
    const std::string a = s.loc(0), c = s.loc(2);
    ASSERT_EQ(dev_update(s.h, 1, ""), PROP_OK);
    EXPECT_EQ(filenames(s, 3), (std::vector<std::string>{a, c, ""}));

    u32 dev[PROP_MAX_LOCATIONS];
    char errbuf[128];
    u64 errsz = sizeof errbuf;
    ASSERT_EQ(proprdev_get(s.h, dev, errbuf, &errsz, 0), PROP_OK) << "the configuration was written";
    EXPECT_STREQ(s.h->proprhandle_filename[1], c.c_str());
    EXPECT_EQ(dev[2], 0u);

    EXPECT_EQ(dev_update(s.h, 3, "/gap"), PROP_E_CONF);
    EXPECT_EQ(dev_update(s.h, 1, a.c_str()), PROP_E_CONF) << "a duplicate";
    EXPECT_EQ(filenames(s, PROP_NUM_SLOTS), (std::vector<std::string>{a, c, "", "", ""}));

    const std::string longest(4096, 'x');
    EXPECT_EQ(dev_update(s.h, 2, (longest + "y").c_str()), PROP_E_STORAGE);
    EXPECT_EQ(dev_update(s.h, 2, longest.c_str()), PROP_OK);
    EXPECT_EQ(dev_update(s.h, 7, "/x"), PROP_E_ARG);
}

TEST(DeviceHistory, LayoutAndComparison)
{
    u8 boot[PROP_PAGE_SIZE] = {};
    const u32 prev[PROP_MAX_LOCATIONS] = {1, 2, 3, 4, 5};
    const u32 next[PROP_MAX_LOCATIONS] = {6, 7, 8, 9, 10};
    ASSERT_EQ(dev_whist(boot, prev, next), PROP_OK);

    u32 count = 0, p[PROP_MAX_LOCATIONS], n[PROP_MAX_LOCATIONS];
    ASSERT_EQ(dev_rhist(2, boot, &count, p, n), PROP_OK);
    const u32 narrow[PROP_MAX_LOCATIONS] = {6, 7, 0, 0, 0};
    EXPECT_EQ(proprdev_compare(n, narrow), PROP_OK) << "old headers carry two slots";
    ASSERT_EQ(dev_whist(boot, prev, nullptr), PROP_OK);
    EXPECT_EQ(be32_at(boot, 300), 1u);
    EXPECT_EQ(be32_at(boot, 340), 0u);

    u32 match = 9, recover = 9;
    EXPECT_EQ(dev_chist(nullptr, &match, &recover, prev, 2, prev, next, PROPRIO_OPEN_RECOVER_DEV), PROP_OK);
    EXPECT_EQ(std::make_pair(match, recover), std::make_pair(1u, 1u));
    EXPECT_EQ(dev_chist(nullptr, &match, &recover, prev, 2, prev, next, 0), PROP_OK);
    EXPECT_EQ(std::make_pair(match, recover), std::make_pair(0u, 0u));
    EXPECT_EQ(dev_chist(nullptr, &match, &recover, prev, 1, prev, next, 0), PROP_OK);
    EXPECT_EQ(match, 1u) << "one set: the previous one is current";
    EXPECT_EQ(dev_chist(nullptr, &match, &recover, prev, 0, prev, next, 0), PROP_E_STORAGE);
}

// The pre-checks of a configuration change: a delete must leave a working
// majority, an add or replace needs every other location online.
struct Case {
    const char *name;
    u32 configured;
    std::vector<u32> down;  // slots already out of service
    int unreadable;         // an open slot whose boot block cannot be read, or -1
    u32 devnum;
    const char *newdev;     // "" deletes
    u32 expected;
};

TEST(PreCheck, DeleteAddReplace)
{
    const Case cases[] = {
        {"delete of three open", 3, {}, -1, 1, "", 0},
        {"delete leaving a minority", 3, {2}, -1, 0, "", 54},
        {"delete of a down location", 3, {2}, -1, 2, "", 0},
        {"delete of five, two down", 5, {3, 4}, -1, 0, "", 54},
        {"probe finds a dead location", 3, {}, 2, 0, "", 54},
        {"replace the down location", 3, {1}, -1, 1, "/new/loc", 0},
        {"replace while another is down", 3, {2}, -1, 1, "/new/loc", 54},
        {"add with all online", 2, {}, -1, 2, "/new/loc", 0},
        {"add with one down", 2, {1}, -1, 2, "/new/loc", 54},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        IoStore s(c.configured);
        s.open_files();
        s.set_votes(1, 2);
        for (u32 slot : c.down) s.h->proprhandle_native_state[slot] = PROP_SLOT_UNUSABLE;
        if (c.unreadable >= 0) {
            ASSERT_EQ(s.faults.load(("fail_read:nth=1,errno=EIO,path=/loc" + std::to_string(c.unreadable)).c_str()), 0);
        }
        backend_ctx ctx{};
        ctx.propb_ctx = s.h;
        ASSERT_EQ(pthread_rwlock_init(&ctx.prop_rwlock, nullptr), 0);
        EXPECT_EQ(prop_precheck_confchange(&ctx, c.devnum, c.newdev), c.expected);
        pthread_rwlock_destroy(&ctx.prop_rwlock);
    }
}

}  // namespace

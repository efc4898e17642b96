// The status report and its scan, the state word, the ids, and whether a
// file exists.
#include <fstream>

#include "diag_fixture.h"

namespace {

constexpr uint32_t kInMemory = 0x200000;

class Status : public DiagTest {
  protected:
    Status() : DiagTest(StoreOptions{2}) {}

    Traced status(prop_status *s, uint32_t flags = 0)
    {
        return traced([&] { return prop_get_status(ctx(), s, flags); });
    }
};

TEST_F(Status, ASoundStoreIsCurrentEverywhereAndAddsUp)
{
    Key k = v.create(v.open("SYSTEM"), "k", store.top_security());
    ASSERT_EQ(v.set(k, pattern(9000, 1)), PROP_OK);
    prop_status s{};
    Traced t = status(&s);
    ASSERT_EQ(t.rc, PROP_OK) << t.all();
    EXPECT_EQ(std::vector<uint32_t>(s.state, s.state + 3), (std::vector<uint32_t>{3, 3, 0}));
    EXPECT_EQ(std::string(s.location[1]), store.location(1));
    EXPECT_EQ(s.used_kb + s.free_kb, s.total_kb);
    EXPECT_EQ(s.total_kb, 4ull * handle()->numpage);
    EXPECT_EQ(s.used_kb, 4 * v.used_pages() + 4) << "the root page counts as used";
}

TEST_F(Status, ABadChecksumOnOneLocationMarksThatLocationInTheReportOnly)
{
    Key k = v.create(v.open("SYSTEM"), "k", store.top_security());
    const uint32_t addr = handle()->proprhandle_rtnst + 4096 * tnode_page(k);
    std::string b = store.read_block(1, addr);
    b[3000] = static_cast<char>(b[3000] ^ 1);
    store.write_block(1, addr, b);

    prop_status s{};
    Traced t = status(&s);
    ASSERT_EQ(t.rc, PROP_OK);
    EXPECT_EQ(std::vector<uint32_t>(s.state, s.state + 2), (std::vector<uint32_t>{3, 5}));
    const std::string where = "[1/" + std::to_string(tnode_page(k)) + "/" + std::to_string((addr >> 12) + 25) + "]";
    EXPECT_TRUE(t.has("gst: Dev/Page/Block " + where + " is CORRUPT (checksum)")) << t.all();
    EXPECT_EQ(handle()->proprhandle_native_state[1], 3u) << "the scan takes no location out of service";

    t = status(&s, PROP_FLAG_BYPASS);
    EXPECT_EQ(s.state[1], 3u);
    EXPECT_TRUE(t.has(" is CORRUPT (checksum) - IGNORED")) << t.all();
}

TEST_F(Status, TheStateWordKeepsAStoreFormattedForImportUntilClearedAndAReaderChangesOnlyItsView)
{
    ASSERT_EQ(store.terminate(), 0u);
    ASSERT_EQ(store.setup(PROP_LEVEL_UPGRADE), 0u);
    ASSERT_EQ(prop_set_state(ctx(), 0, 0), PROP_OK);
    ASSERT_EQ(store.terminate(), 0u);
    ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK) << "still importing";

    // A read-only context changes only its own view of the state.
    ASSERT_EQ(store.terminate(), 0u);
    ASSERT_EQ(store.init(PROP_LEVEL_READONLY), PROP_OK);
    EXPECT_EQ(prop_set_state(ctx(), 5, 0), uint32_t{PROP_E_ARG});
    EXPECT_EQ(prop_set_state(ctx(), 5, kInMemory), PROP_OK);
    uint32_t state = 0;
    EXPECT_EQ(prop_get_state(ctx(), &state, kInMemory), PROP_OK);
    EXPECT_EQ(state, 5u);
    EXPECT_EQ(prop_get_state(ctx(), &state, 0), PROP_OK);
    EXPECT_EQ(state, 0u) << "the store was never written";
}

TEST_F(Status, IdsOfTheStoreAndOfALocationNotYetConfiguredAndWhetherAFileExists)
{
    uint32_t id = 0, dev[5] = {};
    ASSERT_EQ(prop_get_id(ctx(), &id, dev, 0), PROP_OK);
    EXPECT_NE(dev[0], 0u);
    EXPECT_NE(dev[1], dev[0]);
    uint32_t on_disk = 0;
    ASSERT_EQ(prop_get_devid(nullptr, store.location(1).c_str(), &on_disk), PROP_OK);
    EXPECT_EQ(on_disk, id);

    TempDir dir;
    std::string empty = dir.file("empty");
    std::ofstream(empty, std::ios::binary) << std::string(1 << 20, '\0');
    EXPECT_EQ(prop_get_devid(nullptr, empty.c_str(), &on_disk), PROP_E_FORMAT) << "no store there";
    EXPECT_EQ(prop_get_devid(nullptr, dir.file("missing").c_str(), &on_disk), PROP_E_STORAGE);
    EXPECT_EQ(prop_get_devid(nullptr, "+DATA", &on_disk), PROP_E_ARG);

    uint32_t exists = 7;
    EXPECT_EQ(prop_file_exists(store.meta(), empty.c_str(), &exists, 0), PROP_OK);
    EXPECT_EQ(exists, 1u);
    EXPECT_EQ(prop_file_exists(store.meta(), dir.file("missing").c_str(), &exists, 0), PROP_OK);
    EXPECT_EQ(exists, 0u);
}

}  // namespace

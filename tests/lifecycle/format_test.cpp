// Formatting a store and opening it again at every level that reads it,
// and what opening refuses.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "core/handle.h"
#include "core/tag.h"
#include "format/block.h"
#include "format/cursor.h"
#include "platform/trace.h"
#include "support/store.h"

namespace {

// The words of a boot block that opening and formatting care about.
struct BootView {
    bool valid = false;  // a METADATA header whose checksum holds
    u32 zkvid = 0;
    u32 num_fcl = 0;
    u32 numpage = 0;
    u32 upgrade_state = 0;
    u8 log_valid = 0;
    bool operator==(const BootView &) const = default;
};

inline BootView boot_of(const Store &store, u32 slot)
{
    std::string raw = store.read_block(slot, 0);
    const u8 *b = reinterpret_cast<const u8 *>(raw.data());
    const bool valid =
        proprut_isblk_valid_buf(b, PROPR_BLK_METADATA) != 0 && hdr_verify_checksum(b, 4096) == 0;
    return {valid, be32_at(b, 110), be32_at(b, 114), be32_at(b, 134), be32_at(b, 356), b[200]};
}

// Sets the big-endian word at offset of a location's boot block and
// stamps the checksum again: a damaged but well-formed block.
inline void patch_boot_word(const Store &store, u32 slot, i32 offset, u32 value)
{
    std::string raw = store.read_block(slot, 0);
    u8 *b = reinterpret_cast<u8 *>(raw.data());
    be32_put(b, offset, value);
    hdr_stamp_checksum(b, 4096);
    store.write_block(slot, 0, raw);
}

// The three top-level keys exist with the security they were made with.
inline void expect_top_keys(backend_ctx *ctx, const sec_attr &sec)
{
    auto text = [](const sec_attr &s) {
        return std::string(s.username) + ":" + s.groupname + ":" + std::to_string(s.userperm) +
               "/" + std::to_string(s.groupperm) + "/" + std::to_string(s.otherperm);
    };
    for (const char *name : {"DATABASE", "SYSTEM", "HWK"}) {
        propr_keyhandle *kh = nullptr;
        ASSERT_EQ(prop_open(ctx, name, &kh, 0), PROP_OK) << name;
        sec_attr got{};
        EXPECT_EQ(prop_get_security(ctx, kh, &got), PROP_OK) << name;
        EXPECT_EQ(text(got), text(sec)) << name;
        EXPECT_EQ(prop_close(ctx, kh), PROP_OK) << name;
    }
}

// A location the size of an empty file is taken as 102400 pages: four
// bitmap pages and the rest for keys.  Where each area lies for that size
// is the store map's own concern.
constexpr u32 kNumFcl = 4;
constexpr u32 kNumpage = 102400 - 2 * kNumFcl;

struct Layout {
    u32 locations;
    bool nkv;
    bool developer;
};

class Formatting : public ::testing::TestWithParam<Layout> {
  protected:
    StoreOptions options() const
    {
        return {.locations = GetParam().locations, .nkv = GetParam().nkv, .developer = GetParam().developer};
    }
};

TEST_P(Formatting, SetupLaysTheStoreOnEveryLocationAndEveryLevelReadsItBack)
{
    Store store(options());
    ASSERT_EQ(store.setup(), 0u);
    expect_top_keys(store.ctx(), store.top_security());
    const u32 id = store.handle()->proprhandle_zkvid;
    EXPECT_EQ(id & 0x80000000u, 0u);
    ASSERT_EQ(store.terminate(), 0u);

    for (u32 slot = 0; slot < store.options().locations; slot++) {
        EXPECT_EQ(boot_of(store, slot), (BootView{true, id, kNumFcl, kNumpage, 0, 0})) << slot;
    }

    for (u32 level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING, PROP_LEVEL_READONLY}) {
        SCOPED_TRACE(level);
        ASSERT_EQ(store.init(level), PROP_OK);
        EXPECT_EQ(store.handle()->proprhandle_zkvid, id);
        EXPECT_EQ(store.handle()->numpage, kNumpage);
        expect_top_keys(store.ctx(), store.top_security());
        ASSERT_EQ(store.terminate(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Formatting,
                         ::testing::Values(Layout{1, false, true}, Layout{2, false, true}, Layout{3, false, true},
                                           Layout{1, true, false}));

// A store made for an upgrade keeps the id it is given and refuses every
// level but the importer's and the caching daemon's until the import ends.
TEST(FormattingForUpgrade, AClusterStoreIsImportingUntilTheImporterIsDone)
{
    Store store;
    u32 id = 0x80000000u | 1234;
    ASSERT_EQ(store.setup(PROP_LEVEL_UPGRADE, &id), 0u);
    EXPECT_EQ(store.handle()->proprhandle_zkvid, 1234u);
    ASSERT_EQ(store.terminate(), 0u);
    EXPECT_EQ(boot_of(store, 0).upgrade_state, 0x10u);

    for (u32 level : {PROP_LEVEL_RW, PROP_LEVEL_READONLY}) {
        backend_ctx *out = nullptr;
        EXPECT_EQ(store.init_into(&out, level), PROP_E_IMPORTING) << level;
        EXPECT_EQ(out, nullptr);
    }
    for (u32 level : {PROP_LEVEL_CACHING, PROP_LEVEL_UPGRADE}) {
        ASSERT_EQ(store.init(level), PROP_OK) << level;
        EXPECT_EQ(store.terminate(), 0u);
    }
}

TEST(FormattingForUpgrade, ANodeLocalStoreAskedForANewIdGetsOneAndStillOpens)
{
    Store store({.nkv = true});
    u32 format_flag = 16;
    ASSERT_EQ(store.setup(PROP_LEVEL_UPGRADE, &format_flag), 0u);
    EXPECT_NE(store.handle()->proprhandle_zkvid, 16u);
    ASSERT_EQ(store.terminate(), 0u);
    EXPECT_EQ(boot_of(store, 0).upgrade_state, 0x10u);
    EXPECT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
}

// A store asked to grow gets bitmap pages enough at its format; when its
// locations grow later, the caching level's page-count repair takes their
// pages, as far as those bitmaps count and no further.
TEST(FormattingToGrow, TheStoreTakesItsLocationsGrowthAsFarAsItsBitmapsCount)
{
    Store store;
    u32 arg[2] = {PROP_SETUP_GROW_TO, 4 * 102400};
    ASSERT_EQ(store.setup(PROP_LEVEL_RW, arg), 0u);
    ASSERT_EQ(store.terminate(), 0u);
    EXPECT_EQ(boot_of(store, 0).num_fcl, 13u);
    EXPECT_EQ(boot_of(store, 0).numpage, 102400u - 26);

    for (u32 pages : {300000u, 600000u}) {
        SCOPED_TRACE(pages);
        prop_status st{};
        ASSERT_EQ(::truncate(store.location(0).c_str(), static_cast<off_t>(0x5029000 + u64{pages} * 4096)), 0);
        ASSERT_EQ(store.init(PROP_LEVEL_CACHING), PROP_OK);
        ASSERT_EQ(prop_recover_numpage(store.ctx()), PROP_OK);
        ASSERT_EQ(prop_get_status(store.ctx(), &st, PROP_STATUS_SIZES), PROP_OK);
        const u32 numpage = std::min(pages - 26, 13u * 32512);
        EXPECT_EQ(st.total_kb, 4ull * numpage);
        ASSERT_EQ(store.terminate(), 0u);
        ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
        EXPECT_EQ(store.handle()->numpage, numpage);
        ASSERT_EQ(store.terminate(), 0u);
    }
}

// Every argument is checked before the first write: a refused format
// leaves the store that was there as it was.
TEST(FormattingRefused, ABadTopLevelRecordWritesNothing)
{
    Store store;
    store.format();
    sec_attr no_owner = store.top_security();
    no_owner.username[0] = '\0';
    const struct {
        const char *name;
        const sec_attr *sec;
        u32 rc;
    } cases[] = {{"no owner name", &no_owner, PROP_E_ARG}, {"no record", nullptr, PROP_E_NULL}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const u64 writes = store.faults().writes();
        backend_ctx *out = nullptr;
        EXPECT_EQ(prop_setup(&out, store.sec(), nullptr, c.sec, store.meta(), store.zkv(), PROP_LEVEL_RW, nullptr), c.rc);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(store.faults().writes(), writes);
    }
}

// The boot block that makes a store valid is the last write of its format:
// a power cut at any write before it leaves locations that do not open as
// a store (unformatted, or too few formatted ones for a quorum), never a
// store with part of its keys.
TEST(FormattingCut, AFormatCutShortNeverOpens)
{
    for (u32 locations : {1u, 3u}) {
        const StoreOptions o{.locations = locations};
        u64 total = 0;
        {
            Store store(o);
            const u64 before = store.faults().writes();
            store.format();
            total = store.faults().writes() - before;
        }
        u32 complete = 0;
        for (u64 kept = 0; kept < total; ++kept) {
            SCOPED_TRACE(std::to_string(locations) + " locations, writes kept " + std::to_string(kept));
            Store store(o);
            // The write after the kept ones stores nothing, nor does any
            // later one: what the process does after the cut is lost.
            ASSERT_EQ(store.faults().load(("tear:bytes=0,nth=" + std::to_string(kept + 1)).c_str()), 0);
            if (store.setup() == 0) {
                ASSERT_EQ(store.terminate(), 0u);
            }
            store.faults().reset();
            const u32 rc = store.init(PROP_LEVEL_RW);
            if (rc != 0) {
                EXPECT_TRUE(rc == PROP_E_FORMAT || (locations > 1 && rc == PROP_E_STORAGE)) << rc;
                continue;
            }
            complete++;
            expect_top_keys(store.ctx(), store.top_security());
        }
        // Only a cut inside the last write, after two of three boot blocks.
        EXPECT_EQ(complete, locations == 3 ? 1u : 0u);
    }
}

// What opening a store refuses, and what it does with the caller's record.
TEST(Opening, ADamagedBootBlockIsRefusedWith22AndTheCallersPointerStaysNull)
{
    Store store;
    store.format();
    const std::string good = store.read_block(0, 0);
    std::string bad = good;
    bad[1] = 0;  // the header's magic number
    store.write_block(0, 0, bad);
    backend_ctx *out = nullptr;
    EXPECT_EQ(store.init_into(&out, PROP_LEVEL_RW), PROP_E_FORMAT);
    EXPECT_EQ(out, nullptr);

    // More bitmap pages than the superblock can name (an alert too); a count
    // the rest of the map does not follow (its bitmap copies would overlap
    // the log space); a page count past what the bitmaps can map.
    const u32 bitmaps = be32_at(reinterpret_cast<const u8 *>(good.data()), BOOT_OFF_NUM_FCL);
    const std::pair<i32, u32> patches[] = {
        {114, 1015}, {114, 5}, {BOOT_OFF_NUMPAGE, bitmaps * PROPR_BITS_PER_FCL + 1}};
    for (const auto &[offset, value] : patches) {
        SCOPED_TRACE(value);
        store.write_block(0, 0, good);
        patch_boot_word(store, 0, offset, value);
        trace_capture_start();
        EXPECT_EQ(store.init_into(&out, PROP_LEVEL_RW), PROP_E_FORMAT);
        EXPECT_EQ(out, nullptr);
        EXPECT_TRUE(value != 1015 || alerted(1020, "(:PRZKV00006:)"));
        trace_capture_stop();
    }

    // The largest count the superblock holds is still a store, once every
    // area after the bitmaps has moved up to make room for them.
    store.write_block(0, 0, good);
    const u8 *g = reinterpret_cast<const u8 *>(good.data());
    const u32 old_lsst = be32_at(g, 118), old_odbst = be32_at(g, 122);
    const u32 lsst = 12288 + 8192 * 1014 + 4096, odbst = lsst + (old_odbst - old_lsst);
    // The log metadata block, the two name pages and the first tnode pages
    // (root and top keys among them).
    store.write_block(0, lsst, store.read_block(0, old_lsst));
    for (u32 i = 0; i < 16; i++) store.write_block(0, odbst + 4096 * i, store.read_block(0, old_odbst + 4096 * i));
    const std::pair<i32, u32> moved[] = {
        {114, 1014}, {118, lsst}, {122, odbst}, {126, odbst + 4096}, {130, odbst + 8192}};
    for (const auto &[offset, value] : moved) patch_boot_word(store, 0, offset, value);
    ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
    EXPECT_EQ(store.handle()->proprhandle_num_fcl, 1014u);
}

TEST(Opening, BadArgumentsAreRefusedBeforeAnyLocationIsOpenedAndACallersRecordIsReused)
{
    Store store;
    store.format();
    const std::string long_name(4097, 'x');
    backend_ctx *out = nullptr;
    struct Case {
        const char *what;
        backend_ctx **ctx;
        przkv_ctx *zkv;
        u32 level;
        void *arg;
        u32 rc;
    } cases[] = {
        {"no context pointer", nullptr, store.zkv(), PROP_LEVEL_RW, nullptr, 13},
        {"no front-end context", &out, nullptr, PROP_LEVEL_RW, nullptr, 13},
        {"backup level without a file", &out, store.zkv(), PROP_LEVEL_BACKUP, nullptr, 26},
        {"backup file name too long", &out, store.zkv(), PROP_LEVEL_BACKUP, const_cast<char *>(long_name.c_str()), 26},
    };
    const u64 reads = store.faults().reads(store.location_tag(0).c_str());
    for (const Case &c : cases) {
        EXPECT_EQ(prop_init(c.ctx, store.meta(), store.sec(), nullptr, c.level, c.zkv, c.arg), c.rc) << c.what;
        EXPECT_EQ(out, nullptr) << c.what;
    }
    EXPECT_EQ(store.faults().reads(store.location_tag(0).c_str()), reads);

    // A caller's record is reused and may be kept at termination.
    backend_ctx record;
    std::memset(&record, 0xab, sizeof record);
    backend_ctx *p = &record;
    ASSERT_EQ(store.init_into(&p, PROP_LEVEL_RW), PROP_OK);
    EXPECT_EQ(p, &record);
    EXPECT_EQ(u_check_tag(&record, "PROPCTXT"), 1u);

    ASSERT_EQ(store.terminate(PROP_TERMINATE_KEEP_CTX), 0u);
    const backend_ctx zero{};
    EXPECT_EQ(std::memcmp(&record, &zero, sizeof record), 0);
    EXPECT_EQ(prop_terminate(&record, 0), PROP_E_CTX);
}

}  // namespace

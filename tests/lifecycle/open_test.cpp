// What opening a store refuses, and what it does with the caller's record.
#include <gtest/gtest.h>

#include <cstring>

#include "core/tag.h"
#include "lifecycle_util.h"

namespace {

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
    EXPECT_EQ(store.live_blocks(), 0u);

    // More bitmap pages than the superblock can name raise an alert too.
    store.write_block(0, 0, good);
    patch_boot_word(store, 0, 114, 1015);
    trace_capture_start();
    EXPECT_EQ(store.init_into(&out, PROP_LEVEL_RW), PROP_E_FORMAT);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(alerted(1020, "(:PRZKV00006:)"));
    trace_capture_stop();
    EXPECT_EQ(store.live_blocks(), 0u);

    // A count the rest of the store's map does not follow is no store:
    // its bitmap copies would overlap the log space.
    store.write_block(0, 0, good);
    patch_boot_word(store, 0, 114, 5);
    EXPECT_EQ(store.init_into(&out, PROP_LEVEL_RW), PROP_E_FORMAT);
    EXPECT_EQ(store.live_blocks(), 0u);

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
    patch_boot_word(store, 0, 114, 1014);
    patch_boot_word(store, 0, 118, lsst);
    patch_boot_word(store, 0, 122, odbst);
    patch_boot_word(store, 0, 126, odbst + 4096);
    patch_boot_word(store, 0, 130, odbst + 8192);
    ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
    EXPECT_EQ(store.handle()->proprhandle_num_fcl, 1014u);
}

TEST(Opening, BadArgumentsAreRefusedBeforeAnyLocationIsOpened)
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
        EXPECT_EQ(store.live_blocks(), 0u) << c.what;
    }
    EXPECT_EQ(store.faults().reads(store.location_tag(0).c_str()), reads);
}

TEST(Opening, ACallersRecordIsReusedAndMayBeKeptAtTermination)
{
    Store store;
    store.format();
    backend_ctx record;
    std::memset(&record, 0xab, sizeof record);
    backend_ctx *p = &record;
    ASSERT_EQ(store.init_into(&p, PROP_LEVEL_RW), PROP_OK);
    EXPECT_EQ(p, &record);
    EXPECT_EQ(u_check_tag(&record, "PROPCTXT"), 1u);
    EXPECT_EQ(record.prop_valid, 0u);

    ASSERT_EQ(store.terminate(PROP_TERMINATE_KEEP_CTX), 0u);
    const backend_ctx zero{};
    EXPECT_EQ(std::memcmp(&record, &zero, sizeof record), 0);
    EXPECT_EQ(prop_terminate(&record, 0), PROP_E_CTX);
    EXPECT_EQ(store.live_blocks(), 0u);
}

}  // namespace

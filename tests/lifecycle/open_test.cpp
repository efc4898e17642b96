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
    EXPECT_EQ(store.init_into(&out, PROP_LEVEL_RW), 22u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(store.live_blocks(), 0u);

    // More bitmap pages than the superblock can name raise an alert too.
    store.write_block(0, 0, good);
    patch_boot_word(store, 0, 114, 1015);
    trace_capture_start();
    EXPECT_EQ(store.init_into(&out, PROP_LEVEL_RW), 22u);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(alerted(1020, "(:PRZKV00006:)"));
    trace_capture_stop();
    EXPECT_EQ(store.live_blocks(), 0u);

    // The largest count the superblock holds is still a store.
    patch_boot_word(store, 0, 114, 1014);
    EXPECT_EQ(store.init(PROP_LEVEL_RW), 0u);
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
    ASSERT_EQ(store.init_into(&p, PROP_LEVEL_RW), 0u);
    EXPECT_EQ(p, &record);
    EXPECT_EQ(u_check_tag(&record, "PROPCTXT"), 1u);
    EXPECT_EQ(record.prop_valid, 0u);

    ASSERT_EQ(store.terminate(PROP_TERMINATE_KEEP_CTX), 0u);
    const backend_ctx zero{};
    EXPECT_EQ(std::memcmp(&record, &zero, sizeof record), 0);
    EXPECT_EQ(prop_terminate(&record, 0), 3u);
    EXPECT_EQ(store.live_blocks(), 0u);
}

}  // namespace

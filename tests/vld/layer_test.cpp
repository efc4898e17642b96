// The store-file layer on an open store's handle: reads past the file's
// end, request limits, resilvering, cache settings and opening levels.
#include <cstring>

#include "format/block.h"
#include "vld/vld.h"
#include "vld_fixture.h"

namespace {

class VldLayer : public ::testing::Test {
  protected:
    void open(uint32_t level)
    {
        store.format();
        ASSERT_EQ(store.init(level), PROP_OK);
        h = store.handle();
        f = static_cast<vld_file *>(h->proprhandle_native[0]);
        ASSERT_NE(f, nullptr);
    }
    const char *name() const { return h->proprhandle_filename[0]; }

    Store store{vld_store()};
    proprhandle *h = nullptr;
    vld_file *f = nullptr;
};

TEST_F(VldLayer, BlocksPastTheFileEndReadAsZerosAndTransfersAreLimitedTo256Requests)
{
    open(PROP_LEVEL_RW);
    std::vector<u8> buf(4096 * 1025, 0xab);
    // Offset 0x19000000 lies far past the 40521 blocks a new file has.
    ASSERT_EQ(proprvldr(h, buf.data(), 8192, 0x19000000, f, name(), 0), PROP_OK);
    EXPECT_TRUE(std::all_of(buf.begin(), buf.begin() + 8192, [](u8 b) { return b == 0; }));
    EXPECT_EQ(proprvldr(h, buf.data(), 4096 * 1024, 0, f, name(), 0), PROP_OK);
    EXPECT_EQ(proprvldr(h, buf.data(), 4096 * 1025, 0, f, name(), 0), PROP_E_ARG);
    EXPECT_EQ(proprvldr(h, buf.data(), 4000, 0, f, name(), 0), PROP_E_ARG);
}

// A batch answers each piece as a read of its own would, over as many calls
// of the client as its pieces need.
TEST_F(VldLayer, ABatchedReadGivesEachPieceWhatItsOwnReadWould)
{
    open(PROP_LEVEL_RW);
    constexpr u32 kPieces = 300;  // one page each: more than one call takes
    constexpr u32 kBase = 0x1000000;
    std::vector<u8> one(8192), many(size_t{kPieces} * 8192, 0xab);
    for (u32 i = 0; i <= kPieces; i++) {
        std::fill(one.begin(), one.begin() + 4096, static_cast<u8>(i + 1));
        ASSERT_EQ(proprvldw(h, one.data(), 4096, kBase + i * 4096, f, name(), 0), PROP_OK);
    }
    std::vector<proprvld_read> reads;
    for (u32 i = 0; i < kPieces; i++) {
        // Pages written just now, backwards, and three odd pieces: two
        // pages at once; in the second call, one past the file's end and
        // one not of whole blocks.
        u32 length = 4096, offset = kBase + (kPieces - 1 - i) * 4096;
        if (i == 7) length = 8192;
        if (i == 270) offset = 0x19000000;
        if (i == 290) length = 4000;
        reads.push_back(proprvld_read{many.data() + size_t{i} * 8192, length, offset, 99});
    }
    proprvldrv(h, reads.data(), kPieces, f, name(), 0);
    for (u32 i = 0; i < kPieces; i++) {
        const proprvld_read &r = reads[i];
        std::fill(one.begin(), one.end(), 0xcd);
        EXPECT_EQ(r.result, proprvldr(h, one.data(), r.length, r.offset, f, name(), 0)) << i;
        if (r.result == 0) {
            EXPECT_EQ(std::memcmp(one.data(), r.buf, r.length), 0) << i;
        }
    }
    EXPECT_EQ(reads[290].result, u32{PROP_E_ARG});
}

TEST_F(VldLayer, AResilverTakesOnlyASoundCopyAndTheCacheSizeFollowsTheEnvironment)
{
    open(PROP_LEVEL_CACHING);
    const std::string good = store.read_block(0, 0);
    std::string bad = good;
    bad[100] ^= 1;  // header intact, checksum broken

    u8 buf[4096];
    std::memcpy(buf, bad.data(), sizeof buf);
    ASSERT_EQ(proprvldres(h, buf, sizeof buf, 0, f, name(), 0), PROP_OK);
    EXPECT_EQ(std::memcmp(buf, good.data(), sizeof buf), 0);

    // Copy 1 torn, copy 2 damaged: neither is taken, the buffer stays.
    store.write_block(0, 0, bad);
    ASSERT_EQ(vld_admin_damage("+store-location-0", 2, 25), "");
    std::memset(buf, 0x5a, sizeof buf);
    EXPECT_EQ(proprvldres(h, buf, sizeof buf, 0, f, name(), 0), PROP_E_FORMAT);
    EXPECT_TRUE(std::all_of(buf, buf + sizeof buf, [](u8 b) { return b == 0x5a; }));

    // The client cache follows the environment, within its bounds.
    ScopedEnv env("ZKV_VLD_CACHE_SIZE", "100");
    ASSERT_EQ(proprvldcache(h, f, name(), PROPRVLD_FLAGS_CACHE), PROP_OK);
    vld_file_status s{};
    vld_file_describe(f, &s);
    EXPECT_EQ(s.cache_mb, 100u);
    EXPECT_EQ(proprvldcache(h, f, name(), 0), PROP_E_ARG);
}

}  // namespace

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/handle.h"
#include "format/block.h"
#include "platform/trace.h"

namespace {

constexpr u32 kTypes[] = {PROPR_BLK_DATA, PROPR_BLK_TNODE, PROPR_BLK_METADATA, PROPR_BLK_KCE,
                          PROPR_BLK_DB,   PROPR_BLK_VAL,   PROPR_BLK_ADDR};

// A block with a fresh header of the given type and random payload.
std::vector<u8> random_block(u32 type, u32 seed)
{
    std::vector<u8> b(PROP_PAGE_SIZE);
    std::mt19937 rng(seed);
    for (auto &byte : b) byte = static_cast<u8>(rng());
    proprhandle *h = new proprhandle{};
    h->proprhandle_zkvid = 0x1234abcd;
    propr_hdr hdr;
    hdr_init(h, &hdr, 7, type);
    delete h;
    std::memcpy(b.data(), &hdr, sizeof hdr);
    return b;
}

propr_hdr header_of(u32 type)
{
    propr_hdr hdr;
    hdr_init(nullptr, &hdr, 0, type);
    return hdr;
}

class HeaderCheck : public ::testing::Test {
  protected:
    void SetUp() override
    {
        trace_set_level(trace_component_named(TRACE_RAW), 5);
        trace_capture_start();
    }
    void TearDown() override
    {
        trace_capture_stop();
        trace_set_level(trace_component_named(TRACE_RAW), 0);
    }
};

}  // namespace

TEST(BlockHeader, InitFillsEveryField)
{
    proprhandle *h = new proprhandle{};
    h->proprhandle_zkvid = 77;
    propr_hdr hdr;
    std::memset(&hdr, 0xee, sizeof hdr);
    hdr_init(h, &hdr, 0x5010000 >> 12, PROPR_BLK_TNODE);
    delete h;
    const u8 *raw = reinterpret_cast<const u8 *>(&hdr);
    EXPECT_EQ(raw[0], 1);
    EXPECT_EQ(raw[1], 0x82);
    EXPECT_EQ(hdr.propr_hdr_blocknum, (0x5010000u >> 12) + 25);
    EXPECT_EQ(raw[8], PROPR_BLK_TNODE);
    EXPECT_EQ(raw[10], 4);
    EXPECT_EQ(std::memcmp(raw + 12, "ZKV", 4), 0);
    EXPECT_EQ(hdr.propr_hdr_zkvid, 77u);
    for (int i : {2, 3, 11, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31}) EXPECT_EQ(raw[i], 0) << i;
}

TEST(BlockChecksum, StampedBlockOfEveryTypeVerifiesAndEveryBitFlipIsCaught)
{
    for (u32 type : kTypes) {
        std::vector<u8> b = random_block(type, type);
        hdr_stamp_checksum(b.data(), PROP_PAGE_SIZE);
        ASSERT_EQ(hdr_verify_checksum(b.data(), PROP_PAGE_SIZE), 0u) << "type " << type;
        ASSERT_EQ(proprut_isblk_valid_buf(b.data(), type), 1u);
    }
    std::vector<u8> b = random_block(PROPR_BLK_VAL, 99);
    hdr_stamp_checksum(b.data(), PROP_PAGE_SIZE);
    for (u32 byte = 1; byte < PROP_PAGE_SIZE; byte++) {
        for (int bit = 0; bit < 8; bit++) {
            b[byte] ^= static_cast<u8>(1u << bit);
            ASSERT_NE(hdr_verify_checksum(b.data(), PROP_PAGE_SIZE), 0u) << byte << ":" << bit;
            b[byte] ^= static_cast<u8>(1u << bit);
        }
    }
    EXPECT_EQ(hdr_verify_checksum(b.data(), PROP_PAGE_SIZE), 0u);
}

TEST(BlockChecksum, RestampAfterChangeAndOnlyWholeGroupsCount)
{
    std::vector<u8> b = random_block(PROPR_BLK_TNODE, 5);
    hdr_stamp_checksum(b.data(), PROP_PAGE_SIZE);
    b[1000] ^= 0x10;
    EXPECT_NE(hdr_verify_checksum(b.data(), PROP_PAGE_SIZE), 0u);
    hdr_stamp_checksum(b.data(), PROP_PAGE_SIZE);
    EXPECT_EQ(hdr_verify_checksum(b.data(), PROP_PAGE_SIZE), 0u);
    // A length that is not a multiple of 64 ignores the tail.
    hdr_stamp_checksum(b.data(), 100);
    b[80] ^= 1;
    EXPECT_EQ(hdr_verify_checksum(b.data(), 100), 0u);
}

TEST(BlockChecksum, BlockWithoutChecksumFlagIsNeverStampedOrChecked)
{
    for (u8 flag : {u8{0}, u8{2}, u8{0xff}}) {
        std::vector<u8> b = random_block(PROPR_BLK_METADATA, flag);
        b[0] = flag;
        b[2] = 0xab;
        b[3] = 0xcd;
        std::vector<u8> before = b;
        hdr_stamp_checksum(b.data(), PROP_PAGE_SIZE);
        EXPECT_EQ(b, before);
        b[500] ^= 0xff;
        EXPECT_EQ(hdr_verify_checksum(b.data(), PROP_PAGE_SIZE), 0u);
    }
}

TEST_F(HeaderCheck, TwoBitTypeFailsSilentlyAfterPassingTheTypeMask)
{
    propr_hdr hdr = header_of(3);
    for (u32 expected : {PROPR_BLK_DATA, PROPR_BLK_TNODE}) {
        trace_capture_start();
        EXPECT_EQ(proprut_isblk_valid(&hdr, expected), 0u);
        EXPECT_TRUE(trace_captured().empty()) << trace_captured().front().text;
    }
}

TEST_F(HeaderCheck, WrongTypeIsReportedBeforeTheMagicChecks)
{
    propr_hdr hdr = header_of(PROPR_BLK_TNODE);
    hdr.propr_hdr_size_magic_num = 0x11;
    hdr.propr_hdr_magic_string[0] = 'Q';
    EXPECT_EQ(proprut_isblk_valid(&hdr, PROPR_BLK_METADATA), 0u);
    auto lines = trace_captured();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 2u);
    EXPECT_EQ(lines[0].text,
              "proprut_isblk_valid: Invalid hdr: wrong type. Expected type [4] hdr_block_type [2].");
}

TEST_F(HeaderCheck, MagicNumberAndStringAreCheckedInOrder)
{
    struct Case {
        u8 magic;
        const char *str;
        u32 expected;
        const char *message;
    } cases[] = {
        {0x82, "ZKV", 1, nullptr},
        {0x83, "XYZ", 0,
         "proprut_isblk_valid: Invalid hdr: bad magic num. Expected magic num [130] magic_num in hdr [131]."},
        {0x82, "ZKW", 0,
         "proprut_isblk_valid: Invalid hdr: bad magic str. Expected magic str [ZKV] magic_str in hdr [ZKW]."},
    };
    for (const Case &c : cases) {
        trace_capture_start();
        propr_hdr hdr = header_of(PROPR_BLK_KCE);
        hdr.propr_hdr_size_magic_num = c.magic;
        std::memcpy(hdr.propr_hdr_magic_string, c.str, 4);
        // Fields outside the check never matter.
        hdr.propr_hdr_checksum_enabled = 9;
        hdr.propr_hdr_checksum = 0xbeef;
        hdr.propr_hdr_blocknum = 1;
        hdr.propr_hdr_zkvid = 42;
        EXPECT_EQ(proprut_isblk_valid(&hdr, PROPR_BLK_KCE | PROPR_BLK_VAL), c.expected);
        auto lines = trace_captured();
        if (c.message == nullptr) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].level, 0u);
            EXPECT_EQ(lines[0].text, c.message);
        }
    }
}

TEST_F(HeaderCheck, DestroyedBootBlockNeverValidates)
{
    propr_hdr hdr = header_of(PROPR_BLK_METADATA);
    hdr.propr_hdr_block_type = PROPR_BLK_DESTROYED;
    EXPECT_EQ(proprut_isblk_valid(&hdr, PROPR_BLK_METADATA), 0u);
    EXPECT_EQ(proprut_isblk_valid(&hdr, PROPR_BLK_ANY), 0u);
}

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "format/block.h"
#include "platform/trace.h"

namespace {

propr_hdr header_of(u32 type)
{
    propr_hdr hdr;
    hdr_init(nullptr, &hdr, 7 * PROP_PAGE_SIZE, type);
    return hdr;
}

// A block with a fresh header of the given type and random payload.
std::vector<u8> random_block(u32 type, u32 seed)
{
    std::vector<u8> b(PROP_PAGE_SIZE);
    std::mt19937 rng(seed);
    for (auto &byte : b) byte = static_cast<u8>(rng());
    propr_hdr hdr = header_of(type);
    std::memcpy(b.data(), &hdr, sizeof hdr);
    return b;
}

}  // namespace

TEST(BlockChecksum, StampedBlockVerifiesAndEveryBitFlipIsCaught)
{
    std::vector<u8> b = random_block(PROPR_BLK_VAL, 99);
    hdr_stamp_checksum(b.data(), PROP_PAGE_SIZE);
    ASSERT_EQ(hdr_verify_checksum(b.data(), PROP_PAGE_SIZE), 0u);
    ASSERT_EQ(proprut_isblk_valid_buf(b.data(), PROPR_BLK_VAL), 1u);
    for (u32 byte = 1; byte < PROP_PAGE_SIZE; byte++) {
        for (int bit = 0; bit < 8; bit++) {
            b[byte] ^= static_cast<u8>(1u << bit);
            ASSERT_NE(hdr_verify_checksum(b.data(), PROP_PAGE_SIZE), 0u) << byte << ":" << bit;
            b[byte] ^= static_cast<u8>(1u << bit);
        }
    }
}

TEST(BlockChecksum, OnlyAZeroFlagSwitchesTheCheckOff)
{
    for (u8 flag : {u8{0}, u8{2}, u8{0xff}}) {
        std::vector<u8> b = random_block(PROPR_BLK_METADATA, flag);
        b[0] = flag;
        std::vector<u8> before = b;
        hdr_stamp_checksum(b.data(), PROP_PAGE_SIZE);
        EXPECT_EQ(b, before) << "only a block whose flag is 1 is stamped";
        b[500] ^= 0xff;
        // A damaged flag must not hide the damage it came with.
        EXPECT_EQ(hdr_verify_checksum(b.data(), PROP_PAGE_SIZE) == 0, flag == 0) << int{flag};
    }
}

// Which check speaks first, and which fail silently: the type mask, then
// the magic number, then the magic string.
TEST(HeaderCheck, ChecksRunInOrderWithTheirOwnMessages)
{
    struct Case {
        u32 type;
        u8 magic;
        const char *str;
        u32 expected_type, rc;
        const char *message;
    } cases[] = {
        {3, 0x82, "ZKV", PROPR_BLK_DATA, 0, nullptr},  // two type bits pass the mask, then fail
        {PROPR_BLK_TNODE, 0x11, "QKV", PROPR_BLK_METADATA, 0,
         "proprut_isblk_valid: Invalid hdr: wrong type. Expected type [4] hdr_block_type [2]."},
        {PROPR_BLK_KCE, 0x82, "ZKV", PROPR_BLK_KCE | PROPR_BLK_VAL, 1, nullptr},
        {PROPR_BLK_KCE, 0x83, "XYZ", PROPR_BLK_KCE | PROPR_BLK_VAL, 0,
         "proprut_isblk_valid: Invalid hdr: bad magic num. Expected magic num [130] magic_num in hdr [131]."},
        {PROPR_BLK_KCE, 0x82, "ZKW", PROPR_BLK_KCE | PROPR_BLK_VAL, 0,
         "proprut_isblk_valid: Invalid hdr: bad magic str. Expected magic str [ZKV] magic_str in hdr [ZKW]."},
    };
    trace_set_level(trace_component_named(TRACE_RAW), 5);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        trace_capture_start();
        propr_hdr hdr = header_of(c.type);
        hdr.propr_hdr_size_magic_num = c.magic;
        std::memcpy(hdr.propr_hdr_magic_string, c.str, 4);
        EXPECT_EQ(proprut_isblk_valid(&hdr, c.expected_type), c.rc);
        auto lines = trace_captured();
        ASSERT_EQ(lines.size(), c.message != nullptr ? 1u : 0u);
        if (c.message != nullptr) {
            EXPECT_EQ(lines[0].text, c.message);
        }
    }
    trace_capture_stop();
    trace_set_level(trace_component_named(TRACE_RAW), 0);
}

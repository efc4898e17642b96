#include "format/block.h"

#include <cstring>

#include "core/handle.h"
#include "platform/trace.h"

namespace {

trace_comp raw()
{
    static trace_comp comp = trace_component_named(TRACE_RAW);
    return comp;
}

constexpr char kMagicString[4] = {'Z', 'K', 'V', '\0'};

bool is_single_type(u32 type)
{
    switch (type) {
    case PROPR_BLK_DATA:
    case PROPR_BLK_TNODE:
    case PROPR_BLK_METADATA:
    case PROPR_BLK_KCE:
    case PROPR_BLK_DB:
    case PROPR_BLK_VAL:
    case PROPR_BLK_ADDR:
        return true;
    default:
        return false;
    }
}

// XOR of the 64-bit words of every whole 64-byte group, folded to 16 bits.
// The stored checksum sits in lane 1 of word 0, so an intact block folds
// to 0.
// Every read verifies it, so the words are folded into four independent
// lanes rather than one chain of dependent XORs.
u16 fold_checksum(const u8 *block, u32 length)
{
    u64 lane[4] = {};
    const u32 words = (length >> 6) * 8;
    for (u32 i = 0; i < words; i += 4) {
        for (u32 k = 0; k < 4; k++) {
            u64 w;
            std::memcpy(&w, block + 8 * (i + k), 8);
            lane[k] ^= w;
        }
    }
    const u64 x = lane[0] ^ lane[1] ^ lane[2] ^ lane[3];
    u64 y = x ^ (x >> 32);
    u64 z = y ^ (y >> 16);
    return static_cast<u16>(z);
}

}  // namespace

void hdr_init(const proprhandle *handle, propr_hdr *hdr, u64 addr, u32 block_type)
{
    std::memset(hdr, 0, sizeof *hdr);
    hdr->propr_hdr_checksum_enabled = 1;
    hdr->propr_hdr_size_magic_num = PROPR_HDR_MAGIC;
    hdr->propr_hdr_blocknum = propr_blocknum(addr);
    hdr->propr_hdr_block_type = static_cast<u16>(block_type);
    hdr->propr_hdr_version = PROPR_HDR_VERSION;
    std::memcpy(hdr->propr_hdr_magic_string, kMagicString, sizeof kMagicString);
    hdr->propr_hdr_zkvid = handle != nullptr ? handle->proprhandle_zkvid : 0;
}

void hdr_stamp_checksum(u8 *block, u32 length)
{
    if (block == nullptr || block[0] != 1) return;
    block[2] = 0;
    block[3] = 0;
    u16 sum = fold_checksum(block, length);
    std::memcpy(block + 2, &sum, 2);
}

u32 hdr_verify_checksum(const u8 *block, u32 length)
{
    if (block == nullptr || block[0] == 0) return 0;
    // Only 0 and 1 are written there: any other value is damage, and must
    // not switch the check off.
    if (block[0] != 1) return 0x10000;
    return fold_checksum(block, length);
}

u32 proprut_isblk_valid(const propr_hdr *hdr, u32 expected_types)
{
    u32 type = hdr->propr_hdr_block_type;
    if ((type & expected_types) == 0) {
        trace_print(raw(), 2,
                    "proprut_isblk_valid: Invalid hdr: wrong type. Expected type [%x] hdr_block_type [%x].",
                    expected_types, type);
        return 0;
    }
    if (!is_single_type(type)) return 0;
    if (hdr->propr_hdr_size_magic_num != PROPR_HDR_MAGIC) {
        trace_print(raw(), 0,
                    "proprut_isblk_valid: Invalid hdr: bad magic num. Expected magic num [%d] magic_num in hdr [%d].",
                    static_cast<int>(PROPR_HDR_MAGIC), static_cast<int>(hdr->propr_hdr_size_magic_num));
        return 0;
    }
    if (std::memcmp(hdr->propr_hdr_magic_string, kMagicString, sizeof kMagicString) != 0) {
        char found[sizeof hdr->propr_hdr_magic_string + 1] = {};
        std::memcpy(found, hdr->propr_hdr_magic_string, sizeof hdr->propr_hdr_magic_string);
        trace_print(raw(), 0,
                    "proprut_isblk_valid: Invalid hdr: bad magic str. Expected magic str [%s] magic_str in hdr [%s].",
                    kMagicString, found);
        return 0;
    }
    return 1;
}

u32 proprut_isblk_valid_buf(const u8 *block, u32 expected_types)
{
    if (block == nullptr) return 0;
    propr_hdr hdr;
    std::memcpy(&hdr, block, sizeof hdr);
    return proprut_isblk_valid(&hdr, expected_types);
}

bool block_sound(const u8 *block, u32 types, u32 number)
{
    if (proprut_isblk_valid_buf(block, types) == 0 || hdr_verify_checksum(block, PROP_PAGE_SIZE) != 0) return false;
    propr_hdr hdr;
    std::memcpy(&hdr, block, sizeof hdr);
    return hdr.propr_hdr_blocknum == number;
}

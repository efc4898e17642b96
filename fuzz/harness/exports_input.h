// The exports fuzzer's input: a script of calls on the small store, each a
// u8 call code (modulo kCalls) followed by its arguments:
//   slot      u8, one of kSlots key handles (empty slots pass NULL)
//   name      u8 length, bytes (cut at the first zero byte)
//   sec       u8 owner, group and other levels; u8 0: the store's own owner
//             and group names, else two names
//   value     u32 type, u32 size (modulo kValueCap + 1), u8 fill
//   blob      u16 length, bytes
// Slots 0 to 2 start with the top keys open.
#pragma once

#include <cstdint>

namespace fuzz {

enum ExportCall : uint8_t {
    kOpen,             // slot, name
    kClose,            // slot
    kCreate,           // parent slot, name, sec, result slot
    kCreateSet,        // parent slot, name, sec, value, u8 no-overwrite, result slot
    kSetValue,         // slot, value
    kGetValue,         // slot, u32 capacity (modulo kValueCap + 1)
    kDeleteValue,      // slot
    kDeleteKey,        // slot, u8 recursive
    kMove,             // source slot, target parent slot, name, replaced slot, result slot
    kEnumSubkeys,      // slot
    kGetSecurity,      // slot
    kSetSecurity,      // slot, sec
    kCheckPermission,  // slot, u8 required level
    kBatch,            // u8 count (modulo 8), then per operation: u8 opcode, three slots,
                       // name, sec, blob (the value), u32 value size, u32 type, u32 flags
    kInterpretBlock,   // u32 block number, blob (the block), u16 text capacity
    kCalls
};

constexpr uint32_t kSlots = 8;
constexpr uint32_t kValueCap = 256 + 21 * 4064;  // past the largest value a set takes

}  // namespace fuzz

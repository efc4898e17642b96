// The stores the store fuzzer starts each input from, built at start-up in
// memory by the crash suite's workload and made byte-for-byte the same in
// every process (fixed names, users and store id), so that seeds taken from
// one process's stores fit every other's.
//
// An input patches a store with chunks.  A chunk is
//   u32 block   block of the location (block address / 4096), taken modulo
//               the blocks the store uses
//   u16 offset  first byte patched in the block (modulo 4096)
//   u16 length  bytes of data that follow (fewer at the end of the input;
//               those that pass the end of the block are dropped)
//   u8  flags   kStamp: stamp the block's checksum after patching
//               kFirstOnly / kSecondOnly: patch one location of a mirrored
//               store (neither: every location)
//   data
// all little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness/world.h"

namespace fuzz {

constexpr uint32_t kStoreId = 0x215a4b56;
constexpr uint64_t kReservedPrefix = 0x19000;  // a file location's bytes before block 0
constexpr uint32_t kBlock = 4096;

struct StoreImage {
    std::string key_path;                 // the configuration key naming its locations
    std::vector<std::string> locations;   // files of the in-memory Env
    uint32_t blocks = 0;                  // blocks from block 0 that the store uses
    uint64_t prefix = kReservedPrefix;    // bytes before block 0 (none in a backup file)
};

// Two stores: "small", the crash workload's keys on two mirrored locations
// (values of every size, a parent whose entries spill into a KCE page);
// "wide", one location holding a key with so many long-named children that
// its entries reach through an ADDR page.  Built (and the Env snapshotted)
// on first use.
const std::vector<StoreImage> &stores();
// Points the configuration at store i (0 small, 1 wide).
void use_store(size_t i);

// A backup of the small store, in the file backup_image().locations[0]
// (blocks from offset 0).  Built (and the Env snapshotted) on first use.
const StoreImage &backup_image();

enum : uint8_t { kStamp = 1, kFirstOnly = 2, kSecondOnly = 4 };

struct Chunk {
    uint32_t block = 0;
    uint16_t offset = 0;
    uint8_t flags = kStamp;
    std::string data;
};

// The next chunk of the input; false when none is left.
bool next_chunk(Input &in, Chunk *chunk);
std::string encode_chunk(const Chunk &chunk);
// Patches the store (around the library: no write is counted).
void apply_chunk(const StoreImage &store, const Chunk &chunk);

// A block of one location (or, with prefix 0, of a backup file) as it is now.
std::string read_block(const std::string &location, uint32_t block, uint64_t prefix = kReservedPrefix);

}  // namespace fuzz

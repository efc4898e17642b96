// The record fuzzer's input: u8 flags, then the bytes of a record file.
// With kPadToChunks the file is padded with zeros to whole chunks, as
// every export file is, so that a short input still makes a whole file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

constexpr uint8_t kPadToChunks = 1;
constexpr size_t kRecordChunk = 0x11000;

}  // namespace fuzz

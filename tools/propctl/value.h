// Typed values: reading them from a command line and showing them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output.h"

namespace propctl {

struct Value {
    uint32_t type = 0;  // PROP_TYPE_*
    std::string data;   // the bytes as stored
};

const char *type_name(uint32_t type);

// A value from the words after the key: text (one word; stored with its
// terminating zero, as C readers expect), multi (one string per word,
// each zero-terminated, then one more zero), int (an unsigned 32-bit
// number, stored in 4 bytes of native order), int64 (the same in 8
// bytes) or bytes (from a file, or hex digits).
// file may name a file ("-" for stdin) holding the text or the bytes.
// false with the reason.
bool value_from_args(const std::string &type, const std::vector<std::string> &words, const std::string &file,
                     Value *out, std::string *why);

// The whole value for people: text as it is, multi one string a line, int
// in decimal, anything else in hex.
std::string value_text(const Value &v);
// One short line for trees and listings.
std::string value_brief(const Value &v);
void value_json(Json &j, const Value &v);

}  // namespace propctl

#include "value.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "propreg/prop.h"

namespace propctl {

namespace {

bool read_file(const std::string &path, std::string *out, std::string *why)
{
    if (path == "-") {
        std::ostringstream ss;
        ss << std::cin.rdbuf();
        *out = ss.str();
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Decimal, or hex after 0x; a leading zero is still decimal ("010" is
// ten), as people write numbers, not as C would read them.
bool parse_number(const std::string &word, uint64_t max, uint64_t *out)
{
    const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const std::string digits = hex ? word.substr(2) : word;
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
        return false;
    errno = 0;
    unsigned long long n = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno != 0 || n > max) return false;
    *out = n;
    return true;
}

// One number of the type's width, stored in native order.
bool number_from_args(uint32_t type, const std::vector<std::string> &words, bool from_file, Value *out)
{
    const bool wide = type == PROP_TYPE_UBIG;
    uint64_t n = 0;
    if (from_file || words.size() != 1 || !parse_number(words[0], wide ? UINT64_MAX : UINT32_MAX, &n)) return false;
    out->type = type;
    if (wide) {
        out->data.assign(reinterpret_cast<const char *>(&n), sizeof n);
    } else {
        const uint32_t narrow = static_cast<uint32_t>(n);
        out->data.assign(reinterpret_cast<const char *>(&narrow), sizeof narrow);
    }
    return true;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_hex(std::string word, std::string *out)
{
    if (word.rfind("0x", 0) == 0 || word.rfind("0X", 0) == 0) word.erase(0, 2);
    if (word.size() % 2 != 0) return false;
    for (size_t i = 0; i < word.size(); i += 2) {
        int hi = hex_digit(word[i]), lo = hex_digit(word[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

std::string hex(const std::string &data, size_t limit)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < data.size() && i < limit; i++) {
        auto b = static_cast<unsigned char>(data[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// A text value without the terminating zero it is stored with.
std::string text_of(const Value &v)
{
    std::string s = v.data;
    if (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

std::vector<std::string> strings_of(const Value &v)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start < v.data.size()) {
        size_t end = v.data.find('\0', start);
        if (end == std::string::npos) end = v.data.size();
        // The empty string before the final zero ends the list.
        if (end == start && end + 1 >= v.data.size()) break;
        out.push_back(v.data.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool number_of(const Value &v, uint64_t *n)
{
    if (v.type == PROP_TYPE_UB4 && v.data.size() == 4) {
        uint32_t x;
        std::memcpy(&x, v.data.data(), 4);
        *n = x;
        return true;
    }
    if (v.type == PROP_TYPE_UBIG && v.data.size() == 8) {
        std::memcpy(n, v.data.data(), 8);
        return true;
    }
    return false;
}

}  // namespace

const char *type_name(uint32_t type)
{
    switch (type) {
    case PROP_TYPE_NOVALUE: return "none";
    case PROP_TYPE_UB4: return "int";
    case PROP_TYPE_UBIG: return "int64";
    case PROP_TYPE_TEXT: return "text";
    case PROP_TYPE_MULTITEXT: return "multi";
    case PROP_TYPE_BYTES: return "bytes";
    default: return "unknown";
    }
}

bool value_from_args(const std::string &type, const std::vector<std::string> &words, const std::string &file,
                     Value *out, std::string *why)
{
    const bool from_file = !file.empty();
    if (from_file && !words.empty()) {
        *why = "give the value either as words or with --file, not both";
        return false;
    }
    if (type == "text") {
        out->type = PROP_TYPE_TEXT;
        if (from_file) {
            if (!read_file(file, &out->data, why)) return false;
        } else if (words.size() == 1) {
            out->data = words[0];
        } else {
            *why = "a text value is one word: quote it";
            return false;
        }
        if (out->data.find('\0') != std::string::npos) {
            *why = "a text value cannot hold a zero byte: use --type bytes";
            return false;
        }
        out->data.push_back('\0');
        return true;
    }
    if (type == "multi") {
        out->type = PROP_TYPE_MULTITEXT;
        if (from_file || words.empty()) {
            *why = "a multi-text value is one or more words";
            return false;
        }
        for (const std::string &w : words) {
            out->data += w;
            out->data.push_back('\0');
        }
        out->data.push_back('\0');
        return true;
    }
    if (type == "int" || type == "int64") {
        if (number_from_args(type == "int" ? PROP_TYPE_UB4 : PROP_TYPE_UBIG, words, from_file, out)) return true;
        *why = type == "int" ? "an int value is one number from 0 to 4294967295, decimal or 0x hex"
                             : "an int64 value is one number from 0 to 18446744073709551615, decimal or 0x hex";
        return false;
    }
    if (type == "bytes") {
        out->type = PROP_TYPE_BYTES;
        if (from_file) return read_file(file, &out->data, why);
        if (words.size() != 1 || !parse_hex(words[0], &out->data)) {
            *why = "a bytes value comes from --file FILE, or is one word of hex digits";
            return false;
        }
        return true;
    }
    *why = "unknown type '" + type + "' (text, multi, int, int64 or bytes)";
    return false;
}

std::string value_text(const Value &v)
{
    uint64_t n = 0;
    if (number_of(v, &n)) return std::to_string(n);
    switch (v.type) {
    case PROP_TYPE_NOVALUE: return "";
    case PROP_TYPE_TEXT: return text_of(v);
    case PROP_TYPE_MULTITEXT: {
        std::string out;
        for (const std::string &s : strings_of(v)) out += (out.empty() ? "" : "\n") + s;
        return out;
    }
    default: return hex(v.data, v.data.size());
    }
}

std::string value_brief(const Value &v)
{
    constexpr size_t kShown = 48;
    uint64_t n = 0;
    if (number_of(v, &n)) return std::to_string(n);
    switch (v.type) {
    case PROP_TYPE_NOVALUE: return "";
    case PROP_TYPE_TEXT: {
        std::string t = text_of(v);
        if (t.size() > kShown) t = t.substr(0, kShown) + "...";
        return json_quote(t);
    }
    case PROP_TYPE_MULTITEXT: {
        std::string out = "[";
        for (const std::string &s : strings_of(v)) out += (out.size() > 1 ? ", " : "") + json_quote(s);
        if (out.size() > kShown) out = out.substr(0, kShown) + "...";
        return out + "]";
    }
    default: {
        std::string out = "0x" + hex(v.data, kShown / 2);
        if (v.data.size() > kShown / 2) out += "... (" + std::to_string(v.data.size()) + " bytes)";
        return out;
    }
    }
}

void value_json(Json &j, const Value &v)
{
    uint64_t n = 0;
    if (number_of(v, &n)) {
        j.num(n);
        return;
    }
    switch (v.type) {
    case PROP_TYPE_NOVALUE: j.null(); return;
    case PROP_TYPE_TEXT: j.str(text_of(v)); return;
    case PROP_TYPE_MULTITEXT:
        j.begin_array();
        for (const std::string &s : strings_of(v)) j.str(s);
        j.end_array();
        return;
    default: j.str(hex(v.data, v.data.size())); return;
    }
}

}  // namespace propctl

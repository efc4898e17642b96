#include "keys.h"

#include <algorithm>
#include <cstring>

#include "keystore.h"
#include "propreg/frontend.h"

namespace propctl {

namespace {

constexpr size_t kNameMax = 1023;
constexpr size_t kComponentMax = 255;
// The largest value the library sets; larger stored ones say how big.
constexpr uint32_t kValueGuess = 256 + 20 * 4064;

}  // namespace

void Key::reset(backend_ctx *ctx, propr_keyhandle *h)
{
    served_.reset();
    if (h == nullptr) {
        h_.reset();
        return;
    }
    h_.reset(h, [ctx](propr_keyhandle *k) { prop_close(ctx, k); });
}

void Key::reset(prc_conn *conn, prc_key key)
{
    h_.reset();
    if (key == 0) {
        served_.reset();
        return;
    }
    served_.reset(new prc_key(key), [conn](prc_key *k) {
        prc_close_key(conn, *k);
        delete k;
    });
}

const std::vector<std::string> &top_level_keys()
{
    static const std::vector<std::string> keys = {"DATABASE", "HWK", "SYSTEM"};
    return keys;
}

bool is_top_level(const std::string &name)
{
    const auto &keys = top_level_keys();
    return std::find(keys.begin(), keys.end(), name) != keys.end();
}

bool key_name_ok(const std::string &name, std::string *why)
{
    if (name.empty() || name.size() > kNameMax) {
        *why = "a key name has 1 to " + std::to_string(kNameMax) + " characters";
        return false;
    }
    size_t start = 0;
    for (;;) {
        size_t dot = name.find('.', start);
        size_t len = (dot == std::string::npos ? name.size() : dot) - start;
        if (len == 0 || len > kComponentMax) {
            *why = "key name components are 1 to " + std::to_string(kComponentMax) +
                   " characters between single dots";
            return false;
        }
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    std::string top = name.substr(0, name.find('.'));
    if (!is_top_level(top)) {
        *why = "a key name begins with DATABASE, HWK or SYSTEM";
        return false;
    }
    return true;
}

std::string parent_name(const std::string &name)
{
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? "" : name.substr(0, dot);
}

std::string last_component(const std::string &name)
{
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(dot + 1);
}

bool within(const std::string &name, const std::string &top)
{
    return name == top || (name.size() > top.size() && name.compare(0, top.size(), top) == 0 && name[top.size()] == '.');
}

uint32_t open_key(backend_ctx *ctx, const std::string &name, Key *out)
{
    propr_keyhandle *h = nullptr;
    uint32_t rc = prop_open(ctx, name.c_str(), &h, 0);
    if (rc == 0) out->reset(ctx, h);
    return rc;
}

uint32_t open_nearest(backend_ctx *ctx, const std::string &name, Key *out, std::string *rest)
{
    std::string at = name;
    for (;;) {
        uint32_t rc = open_key(ctx, at, out);
        if (rc == 0) {
            *rest = at.size() == name.size() ? "" : name.substr(at.size() + 1);
            return 0;
        }
        if (rc != PROP_E_STALE || at.find('.') == std::string::npos) return rc;
        at = parent_name(at);
    }
}

bool KeyBook::below_missing(const std::string &name) const
{
    for (std::string at = parent_name(name); !at.empty(); at = parent_name(at))
        if (missing_.count(at) != 0) return true;
    return false;
}

uint32_t KeyBook::open(const std::string &name, Key *out)
{
    if (auto it = open_.find(name); it != open_.end()) {
        *out = it->second;
        return 0;
    }
    if (missing_.count(name) != 0 || below_missing(name)) return PROP_E_STALE;
    uint32_t rc = store_.open(name, out);
    if (rc == 0) open_.emplace(name, *out);
    if (rc == PROP_E_STALE) missing_.insert(name);
    return rc;
}

uint32_t KeyBook::open_nearest(const std::string &name, Key *out, std::string *rest)
{
    std::string at = name;
    for (;;) {
        uint32_t rc = open(at, out);
        if (rc == 0) {
            *rest = at.size() == name.size() ? "" : name.substr(at.size() + 1);
            return 0;
        }
        if (rc != PROP_E_STALE || at.find('.') == std::string::npos) return rc;
        at = parent_name(at);
    }
}

uint32_t read_value(backend_ctx *ctx, propr_keyhandle *key, Value *out)
{
    // One buffer for every read of the thread: a walk reads thousands of
    // values, and clearing room for the largest at each cost more than
    // the read itself.
    thread_local std::vector<char> buf(kValueGuess);
    for (;;) {
        uint32_t size = static_cast<uint32_t>(buf.size());
        uint32_t type = 0;
        uint32_t rc = prop_get_value(ctx, key, &type, buf.data(), &size, 0);
        if (rc == PROP_E_BUFSZ && size > buf.size()) {
            buf.resize(size);
            continue;
        }
        if (rc != 0) return rc;
        out->type = type;
        out->data.assign(buf.data(), size);
        return 0;
    }
}

uint32_t list_subkeys(backend_ctx *ctx, prop_metactx *meta, propr_keyhandle *key, std::vector<std::string> *out)
{
    char *buf = nullptr;
    uint32_t len = 0, count = 0;
    uint32_t rc = prop_enum_subkey(ctx, key, &buf, &len, &count, 0);
    if (rc != 0) return rc;
    for (uint32_t i = 0, off = 0; i < count && off < len; i++) {
        std::string name(buf + off);
        off += static_cast<uint32_t>(name.size()) + 1;
        out->push_back(name);
    }
    if (buf != nullptr) prop_fe_free_block(meta, buf);
    std::sort(out->begin(), out->end());
    return 0;
}

uint32_t walk_tree(backend_ctx *ctx, prop_metactx *meta, const std::string &name, const KeyVisit &visit,
                   std::string *failed)
{
    Key key;
    std::vector<std::string> subkeys;
    uint32_t rc = open_key(ctx, name, &key);
    if (rc == 0) rc = visit(name, key.get());
    if (rc == 0) rc = list_subkeys(ctx, meta, key.get(), &subkeys);
    if (rc != 0) {
        *failed = name;
        return rc;
    }
    key.reset();
    for (const std::string &s : subkeys)
        if ((rc = walk_tree(ctx, meta, name + "." + s, visit, failed)) != 0) return rc;
    return 0;
}

}  // namespace propctl

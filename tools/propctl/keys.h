// Keys as propctl handles them: full dotted names, open handles that close
// themselves, and the reads every command shares.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "propreg/client.h"
#include "propreg/prop.h"
#include "value.h"

namespace propctl {

// An open key handle, closed when the last copy of it goes: a batch hands
// one parent to every change under it.
// Opened either in the store this process holds, or on the connection
// to the daemon that serves it (then get() is null and served() the key).
class Key {
  public:
    Key() = default;

    propr_keyhandle *get() const { return h_.get(); }
    prc_key served() const { return served_ ? *served_ : 0; }
    explicit operator bool() const { return h_ != nullptr || served_ != nullptr; }
    void reset(backend_ctx *ctx = nullptr, propr_keyhandle *h = nullptr);
    void reset(prc_conn *conn, prc_key key);

  private:
    std::shared_ptr<propr_keyhandle> h_;
    std::shared_ptr<prc_key> served_;
};

// The keys every store is formatted with; a key name begins with one of
// them, and they are never removed or moved.
const std::vector<std::string> &top_level_keys();
bool is_top_level(const std::string &name);

// Non-empty components of at most 255 characters, 1023 in all.
bool key_name_ok(const std::string &name, std::string *why);
std::string parent_name(const std::string &name);  // "" for a top-level key
std::string last_component(const std::string &name);
// Whether name is inside (or is) the subtree of top.
bool within(const std::string &name, const std::string &top);

uint32_t open_key(backend_ctx *ctx, const std::string &name, Key *out);
// Opens the deepest key that exists on the way to name; rest is the part of
// name below it ("" when name itself exists).  4 when not even the
// top-level key exists.
uint32_t open_nearest(backend_ctx *ctx, const std::string &name, Key *out, std::string *rest);

// Opens keys for planning changes against the store as it stands: each
// name is asked of the library once, and a name below one known to be
// missing is missing too, so a batch of many keys under a few new parents
// opens each existing key once and reads nothing for the rest.  Only for
// as long as nothing changes the store.
class KeyStore;

class KeyBook {
  public:
    explicit KeyBook(KeyStore &store) : store_(store) {}
    uint32_t open(const std::string &name, Key *out);
    // As open_nearest above.
    uint32_t open_nearest(const std::string &name, Key *out, std::string *rest);

  private:
    bool below_missing(const std::string &name) const;

    KeyStore &store_;
    std::unordered_map<std::string, Key> open_;
    std::unordered_set<std::string> missing_;
};

uint32_t read_value(backend_ctx *ctx, propr_keyhandle *key, Value *out);
// Calls visit for name and every key below it, parents first and subkeys
// in name order.  0, or the first code a visit or a read returned, with
// the key's name in *failed.
using KeyVisit = std::function<uint32_t(const std::string &name, propr_keyhandle *key)>;
uint32_t walk_tree(backend_ctx *ctx, prop_metactx *meta, const std::string &name, const KeyVisit &visit,
                   std::string *failed);

// The names of the direct subkeys, sorted.
uint32_t list_subkeys(backend_ctx *ctx, prop_metactx *meta, propr_keyhandle *key, std::vector<std::string> *out);


}  // namespace propctl

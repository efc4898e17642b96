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

#include "propreg/prop.h"
#include "value.h"

namespace propctl {

// An open key handle, closed when the last copy of it goes: a batch hands
// one parent to every change under it.
class Key {
  public:
    Key() = default;

    propr_keyhandle *get() const { return h_.get(); }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(backend_ctx *ctx = nullptr, propr_keyhandle *h = nullptr);

  private:
    std::shared_ptr<propr_keyhandle> h_;
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
class KeyBook {
  public:
    explicit KeyBook(backend_ctx *ctx) : ctx_(ctx) {}
    uint32_t open(const std::string &name, Key *out);
    // As open_nearest above.
    uint32_t open_nearest(const std::string &name, Key *out, std::string *rest);

  private:
    bool below_missing(const std::string &name) const;

    backend_ctx *ctx_;
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

// Reading keys by name, from the store this process opened or through the
// daemon that serves it, so that each reading command is written once.
class KeyReader {
  public:
    virtual ~KeyReader() = default;
    // Opens name and reads what is asked: its value, the names of its
    // subkeys (sorted); either may be null, to ask only whether it exists.
    // 0 or the code of the first step that failed.
    virtual uint32_t read(const std::string &name, Value *value, std::vector<std::string> *subkeys) = 0;
};

// The store opened by this process.
class LibraryReader : public KeyReader {
  public:
    LibraryReader(backend_ctx *ctx, prop_metactx *meta) : ctx_(ctx), meta_(meta) {}
    uint32_t read(const std::string &name, Value *value, std::vector<std::string> *subkeys) override;

  private:
    backend_ctx *ctx_;
    prop_metactx *meta_;
};

}  // namespace propctl

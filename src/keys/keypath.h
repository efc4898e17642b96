// Key names as the walks of open and create take them: non-empty
// components joined by single full stops, short enough for the walk's
// buffers; and the lookup of a whole name and its parent in the key cache.
#pragma once

#include <string_view>

#include "core/types.h"

struct proprhandle;

constexpr u32 PROPR_KEYNAME_MAX = 1023;  // the walk's prefix buffer holds 1024 bytes
constexpr u32 PROPR_KEYCOMP_MAX = 255;   // a component buffer holds 256

// 0 for a name the walks can take; 8 for an empty or over-long name, an
// over-long component, or an empty component (".a", "a..b", "a."), which
// would otherwise be cached under a name no other caller uses.
u32 propr_keyname_check(const char *name);

// The components of a checked name, in order.
class keyname_components {
  public:
    explicit keyname_components(const char *name) : rest_(name) {}
    bool next(std::string_view *comp);

  private:
    std::string_view rest_;
};

struct keyname_parts {
    u32 depth;
    char last[PROPR_KEYCOMP_MAX + 1];
    char parent[PROPR_KEYNAME_MAX + 1];  // " " for a top-level key
};
// Depth, last component and parent name of a checked name (no copy of the
// name is needed: it has no empty component to skip).
void propr_keyname_split(const char *name, keyname_parts *out);

// The cached addresses of a key and of its parent (0 for a top-level key,
// whose parent is the root).  0 only when every lookup hit; otherwise 26
// with *addr = 0.
u32 propr_cached_addr(proprhandle *handle, const char *name, const keyname_parts &kp, u32 *addr,
                      u32 *parent_addr);

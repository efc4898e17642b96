// A hand-built store for the tree tests: the raw store, with the name caches
// given back before the store checks for leaks, and a few readers of the
// structures the tree code leaves on disk.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/block.h"
#include "format/cursor.h"
#include "platform/trace.h"
#include "support/raw_store.h"
#include "tree/names.h"

class TreeStore : public RawStore {
  public:
    explicit TreeStore(const RawStoreOptions &o = {}) : RawStore(o) {}
    ~TreeStore() { proprut_free_namecache(handle()); }

    Block page(u32 p, u32 slot = 0) const { return read(slot, page_addr(p)); }
    u32 odbst() const { return handle()->proprhandle_odbst; }
    u32 gdbst() const { return handle()->proprhandle_gdbst; }
};

// Words of a page-number list in a block.
inline std::vector<u32> list_of(const Block &b, i32 offset, u32 count)
{
    std::vector<u32> v;
    for (u32 i = 0; i < count; i++) v.push_back(be32_at(b.data(), offset + static_cast<i32>(4 * i)));
    return v;
}

// Every non-zero number comes before every zero.
inline bool dense(const std::vector<u32> &v)
{
    bool zero = false;
    for (u32 p : v) {
        if (p == 0) zero = true;
        else if (zero) return false;
    }
    return true;
}

// Raises "ZKVRAW" to level 5 and captures trace lines while it lives.
class TraceCapture {
  public:
    TraceCapture() : comp_(trace_component_named("ZKVRAW")), old_(trace_get_level(comp_))
    {
        trace_set_level(comp_, 5);
        trace_capture_start();
    }
    ~TraceCapture()
    {
        trace_capture_stop();
        trace_set_level(comp_, old_);
    }
    void restart() { trace_capture_start(); }
    bool saw(const std::string &text) const { return trace_captured_contains(text); }

  private:
    trace_comp comp_;
    u32 old_;
};

// What the diagnostics share: the context check, where a block lies and
// what type it must have there, free-space answers that need no lock on
// the handle's bitmaps, a tnode's security record, 4096-aligned buffers,
// and the reporting of findings with a bound on how many are listed.
#pragma once

#include <cstdarg>

#include "core/alloc.h"
#include "core/handle.h"
#include "format/block.h"

namespace diag {

trace_comp raw(const proprhandle *handle);

// The context's tag and handle; false (after the message "<op>: Null or
// invalid context passed" or "<op>: Backend context passed is null") when
// either is missing.
bool ctx_usable(const backend_ctx *ctx, const char *op);

// Block types a header may carry at a place: metadata and name pages below
// the tnode area, a tnode at its start, any page type inside it.
constexpr u32 TYPES_BELOW_TNODES = PROPR_BLK_METADATA | PROPR_BLK_DB;  // 20
constexpr u32 TYPES_IN_TNODES = PROPR_BLK_DATA | PROPR_BLK_TNODE | PROPR_BLK_KCE | PROPR_BLK_VAL | PROPR_BLK_ADDR;

// Where a block lies in the store.
struct place {
    u64 offset;     // block address
    u32 expected;   // header types allowed there
    bool in_tnodes; // at or past the tnode-area start
    u32 page;       // its page number when in_tnodes
};
// The block with header number blkno; false when it lies outside the
// store: before the boot block or past the last page of the tnode area.
// The bound holds for a live store and for a backup image alike.
bool place_of_number(const proprhandle *handle, u32 blkno, place *out);
// The tnode of page; false past the last page.
bool place_of_page(const proprhandle *handle, u32 page, place *out);
// The header number a block at offset carries: its own number, except in
// a backup image, whose blocks past the one-block log space keep the
// number they had in the live store.
u32 expected_number(const proprhandle *handle, u64 offset);

// The current copies of the bitmap pages, read for this call: shared
// holders of the context lock must not load the handle's own records,
// which another holder may be loading at the same moment.
class bitmaps {
  public:
    explicit bitmaps(proprhandle *handle) : handle_(handle) {}
    // Reads every bitmap page; PROP_OK, PROP_E_NOMEM, or PROP_E_STORAGE for one
    // that cannot be read or is not a bitmap page.
    u32 load();
    // Reads only the bitmap page that covers page.
    u32 load_for(u32 page);
    // Page 0 (the root) is always in use; a page no bitmap covers never is.
    bool used(u32 page) const;
    // Bitmap pages read; after a failed load, the index of the one that
    // could not be.
    u32 loaded() const { return held_; }
    // The highest page in use below numpage (0 when only the root is).
    u32 highest() const;
    // Pages in use below numpage, the root included.
    u32 count() const;

  private:
    u32 read_one(u32 index, u8 *into);

    proprhandle *handle_;
    MetaPtr<u8> bits_;  // PROPR_BITMAP_BYTES per bitmap page
    u32 first_ = 0;     // index of the first page held
    u32 held_ = 0;      // pages held
};

// A tnode's security record: owner and group names of its ids (a name
// that cannot be found stays empty, and is logged) and its three levels.

// A zero-filled, 4096-aligned area from the meta context.
class aligned {
  public:
    aligned(prop_metactx *meta, size_t bytes);
    u8 *get() const { return at_; }

  private:
    MetaPtr<u8> raw_;
    u8 *at_ = nullptr;
};

// Findings: each goes to the trace at level 0 and to the calling thread's
// operation log, so that a front end can list them; past a bound they are
// only counted, so a store made of garbage cannot flood either.  A fault
// is a finding that makes the store unsound; a note (a leaked page, the
// detail of a fault) is not.
class findings {
  public:
    static constexpr u32 kListed = 1000;
    explicit findings(proprhandle *handle) : handle_(handle) {}
    void fault(const char *format, ...) PROP_PRINTF(2, 3);
    void add(const char *format, ...) PROP_PRINTF(2, 3);
    // Logs how many were found but not listed, if any.
    void close(const char *op) const;
    // A closing line of the report, listed whatever the bound: no finding,
    // and traced as a milestone.
    void summary(const char *format, ...) const PROP_PRINTF(2, 3);
    u32 total() const { return total_; }
    u32 faults() const { return faults_; }

  private:
    void vadd(const char *format, va_list ap) PROP_PRINTF(2, 0);
    void emit(const char *line, u32 level = 0) const;

    proprhandle *handle_;
    u32 total_ = 0;
    u32 faults_ = 0;
};

// Which side of the block calls resolves a tnode's names: the messages of
// a name that cannot be found begin with it ("gblock", "sblock").
void tnode_security(proprhandle *handle, const u8 *raw, sec_attr *sec, const char *who);

}  // namespace diag

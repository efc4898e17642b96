// A write group: blocks that may reach a location in any order, written
// together.  Every block the store writes goes out in one: propriow makes
// a group of one, and writers of many blocks (a commit, a rollback, a
// format) fill a group and flush it.  The votes are the one exception: a
// mirrored flush may change them, so they go to their location directly
// (io_slot_write_block) rather than through another group.
//
// flush() sorts the blocks, merges neighbours into one request, starts
// every request of every open location at once and ends each location's
// part with one barrier, so a group costs about one durable write however
// many blocks it holds and however many locations there are.  Nothing is
// ordered inside a group; the order the protocol needs comes from flushing
// one group (and waiting for its barriers) before the next is written.
// The page cache of the CACHING level learns the store pages a group wrote
// in flush(), the one place every committed page passes.
#pragma once

#include <sys/uio.h>

#include "core/handle.h"
#include "io/io.h"
#include "storage/device.h"

class WriteGroup {
  public:
    explicit WriteGroup(proprhandle *handle);
    ~WriteGroup();
    WriteGroup(const WriteGroup &) = delete;
    WriteGroup &operator=(const WriteGroup &) = delete;

    // Takes a copy of length bytes (whole pages) for block address offset;
    // a later copy of a page replaces an earlier one.  PROP_OK, or PROP_E_NOMEM with
    // nothing kept.
    u32 add(const void *buffer, u32 length, u64 offset);
    // Takes the page itself (one from blockpool_take) instead of a copy:
    // the group gives it back to the pool.  PROP_OK, or PROP_E_NOMEM with the page given
    // back already.
    u32 adopt(u8 *page, u64 offset);
    // Writes the group to every open location (PROPRIO_ALL, under the quorum
    // rule) or to the one selected, and empties it.  An empty group writes
    // nothing.  PROP_OK, PROP_E_NOMEM, PROP_E_STORAGE, PROP_E_NOSPACE, or a
    // direct write's own result.
    u32 flush(u32 selector = PROPRIO_ALL);

    u32 pages() const { return count_; }
    bool empty() const { return count_ == 0; }

  private:
    struct Page {
        u64 addr;
        u32 seq;  // order of adding: the later copy of an address wins
        u8 *data;
        bool pooled;  // data came from the handle's block pool
    };

    // A small group needs no memory beyond its own: a rollback, or a
    // single write, must go through when memory has run out.
    static constexpr u32 kInline = 4;

    u8 *room(bool *pooled);
    void give_back(Page &p);
    u32 reserve(u32 pages);
    u32 prepare();
    u32 write_direct(u32 slot);
    u32 write_mirrored();
    u32 write_slots(const u32 *slots, u32 n, u32 *results, u64 *elapsed);
    void reset();

    proprhandle *h_;
    alignas(PROP_PAGE_SIZE) u8 inline_data_[kInline][PROP_PAGE_SIZE];
    Page inline_pages_[kInline];
    struct iovec inline_iov_[kInline];
    ut_run inline_runs_[kInline];
    u32 inline_used_ = 0;
    Page *pages_ = inline_pages_;
    u32 count_ = 0, max_ = kInline;
    // Built by prepare(): the distinct pages in address order, as runs of
    // neighbours.
    struct iovec *iov_ = inline_iov_;
    ut_run *runs_ = inline_runs_;
    u32 nruns_ = 0;
};

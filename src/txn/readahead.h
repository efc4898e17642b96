// Pages a walk will need soon, read together before it asks for them one
// at a time: the children of a key, the KCE pages of a parent.  Only for
// walks that do not change the pages they read ahead, since a copy read
// ahead is handed out as it was read.  Reading ahead is a hint: a page
// that was not (or could not be) read ahead is read alone when asked for,
// and fails there with its own error.
#pragma once

#include "core/alloc.h"
#include "core/handle.h"

// Pages held at most: 4 MiB, about the children of a thousand keys.
constexpr u32 READAHEAD_MAX_PAGES = 1024;

// Where the page cache lives (the CACHING level): reads into it, together,
// those of pages it does not hold yet, up to half of what it can hold, so
// that a walk about to ask for them one call at a time finds them there.
// A key's children, read ahead when the key is listed, are what a front
// end reads next.  At other levels no page outlives the call that read it,
// and this does nothing.
void readahead_into_cache(proprhandle *handle, const u32 *pages, u32 n);

class page_readahead {
  public:
    explicit page_readahead(proprhandle *handle, u32 max_pages = READAHEAD_MAX_PAGES);
    ~page_readahead();
    page_readahead(const page_readahead &) = delete;
    page_readahead &operator=(const page_readahead &) = delete;

    // Reads together those of pages (page numbers of the tnode area; 0 and
    // repeats are skipped) that are neither held yet nor in memory anyway
    // (kept by the open transaction, or in the page cache), as many as
    // there is room for.
    void want(const u32 *pages, u32 n);
    bool holds(u32 page) const;
    // The copy held of page, left held; nullptr when there is none.
    const u8 *peek(u32 page) const;
    // Page page into block: the copy read ahead (handed out once), or a
    // read now.  0 or the read's error.
    u32 read(u32 page, u8 *block, u32 flags = 0);

  private:
    struct held {
        u32 page;
        u8 *data;  // a page of the handle's block pool; nullptr once handed out
    };

    bool prepare();
    const held *find(u32 page) const;
    void forget_spent();

    proprhandle *handle_;
    u32 max_;
    MetaPtr<held> held_;  // sorted by page
    u32 held_count_ = 0;
};

// Where a backup takes the store's pages from.  Each page the image needs
// comes from a location where it is sound, as an ordinary read takes it: a
// copy that fails its header, its block number or its checksum is passed
// over for another location's, so damage on one mirror is never copied.
// Unlike an ordinary read it changes nothing in the store: a location whose
// copy is bad stays in service (a backup only holds the lock shared) and
// the page cache is not filled.  Pages not in use may hold anything and
// are taken as they lie.
#pragma once

#include "core/alloc.h"
#include "core/handle.h"

namespace propreg {

// What a page must be for the image to take it.
enum class bkp_need : u8 {
    any,       // not in use (free pages, the ndk block, the copies the next commit writes)
    sound,     // a sound copy from whichever location holds one
    in_place,  // as sound; but a torn rewrite in place is taken as the store reads it
};

struct bkp_role {
    bkp_need what;
    u32 types;         // the block types its place allows
    const char *name;  // for messages
};

// Reads pages in address order, and learns from those it takes which are
// in use: the boot block names the current superblock, that names the
// current bitmap copies, and those the tnode pages in use.
class BkpSource {
  public:
    // A tnode-area page found sound nowhere is named in *damaged_page.
    BkpSource(proprhandle *h, u32 *damaged_page);
    bool ready() const { return copies_ && bits_; }

    // Pages [addr, addr + n * 4096) of the store into buf.  PROP_OK, or PROP_E_STORAGE when a
    // page the image needs is sound nowhere or no location can be read.
    u32 read(u8 *buf, u64 addr, u32 n);

  private:
    u32 number_of(u64 addr) const;
    bool open(u32 slot) const;
    u32 read_run(u8 *buf, u64 addr, u32 n, u32 *from);
    bkp_role role_of(u64 addr) const;
    bool in_use(u32 page) const;
    // The bitmap page whose copy lies at addr, or fcl_.
    u32 bitmap_at(u64 addr) const;
    void learn(const u8 *block, u64 addr);
    bool heal(u8 *block, u64 addr, const bkp_role &r, u32 from);
    bool torn(u8 *block, u64 addr, const bkp_role &r, u32 from);
    u32 refuse(u64 addr, const bkp_role &r);

    proprhandle *h_;
    u32 *damaged_page_;
    u32 fcl_;  // bitmap pages
    u32 selector_ = 0;
    MetaPtr<u8> copies_;  // per bitmap page, its current copy
    MetaPtr<u8> bits_;    // the current bitmap pages as taken
};

}  // namespace propreg

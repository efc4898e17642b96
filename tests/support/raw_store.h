// A store built by hand on files in a TempDir, with a backend handle whose
// locations are open through the I/O layer: boot block, both superblock
// copies, both copies of every bitmap page, the log metadata block and a
// root tnode, at the addresses of the store map.  For tests that need pages
// before formatting exists.
#pragma once

#include <array>
#include <initializer_list>
#include <string>

#include "core/handle.h"
#include "support/contexts.h"
#include "support/tmpdir.h"

using Block = std::array<u8, 4096>;

struct RawStoreOptions {
    u32 locations = 1;      // 1 to 5 files
    u32 num_fcl = 1;        // bitmap pages
    u32 numpage = 1024;     // pages of the tnode area
    u32 num_log = 20490;    // log blocks (metadata block included)
    u32 zkvid = 0x5a4b5601;
    u32 lsn = 7;            // commit lsn and log lsn of the fresh store
    u32 boot_level = 0;     // 1 (CACHING) also starts the mirror workers
};

struct propr_hdr;
propr_hdr header_of(const Block &block);
// The page proprutffp hands out, or 100000000 + its error.
u32 alloc_page(proprhandle *handle);
// proprutifp's answer (1 = free).
u32 page_is_free(proprhandle *handle, u32 page);

class RawStore {
  public:
    explicit RawStore(const RawStoreOptions &options = {});
    ~RawStore();
    RawStore(const RawStore &) = delete;
    RawStore &operator=(const RawStore &) = delete;

    proprhandle *handle() const { return handle_; }
    backend_ctx *ctx() { return &ctx_; }
    prop_metactx *meta() const { return c_.meta; }
    FaultEnv &faults() { return c_.faults; }
    const RawStoreOptions &options() const { return opt_; }
    std::string path(u32 slot) const;

    // The store map.
    u32 lsst() const;
    u32 rtnst() const;
    u64 page_addr(u32 page) const { return rtnst() + u64{4096} * page; }
    u32 log_slot_addr(u32 k) const { return lsst() + 4096 * k; }

    // Blocks of one location, read and written around the library.
    Block read(u32 slot, u64 addr) const;
    void write(u32 slot, u64 addr, Block block) const;  // stamps the checksum
    void write_all(u64 addr, const Block &block) const;
    // A block with a valid header for addr and every payload byte = fill.
    Block make_block(u64 addr, u16 type, u8 fill) const;
    // Puts a page of the tnode area on every location.
    void put_page(u32 page, u16 type, u8 fill) const;
    // A tnode-area page (default type TNODE) whose payload bytes are fill,
    // and the payload byte of a page as one location holds it.
    Block page_block(u32 page, u8 fill, u16 type = 2) const { return make_block(page_addr(page), type, fill); }
    u8 payload(u32 slot, u32 page) const { return read(slot, page_addr(page))[100]; }
    // Marks pages in use in the current bitmap copies on disk; call before
    // the handle loads them (or reopen() afterwards).
    void mark_used(std::initializer_list<u32> pages) const;
    u32 boot_be32(u32 slot, i32 offset) const;
    u8 boot_byte(u32 slot, i32 offset) const;

    // Drops the handle, as a process that stops, and opens the files again;
    // the slots in down_mask are left out (state 1), as the vote check at
    // open leaves out a location it finds stale.
    void reopen(u32 down_mask = 0);
    u64 live_blocks() const { return c_.live_blocks(); }

  private:
    void format();
    void open(u32 down_mask = 0);
    void close();

    RawStoreOptions opt_;
    TempDir dir_;
    ScopedEnv registry_root_;  // group data of the CACHING level stays in dir_
    Contexts c_;
    backend_ctx ctx_{};
    proprhandle *handle_ = nullptr;
};

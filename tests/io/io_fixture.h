// A handle built by hand over location files in a temporary directory, with
// the configuration naming them and hand-made boot blocks, so the I/O layer
// can be driven without the layers above it.
#pragma once

#include <string>
#include <vector>

#include "core/handle.h"
#include "io/io.h"
#include "support/contexts.h"
#include "support/tmpdir.h"

// Geometry of the stores the tests lay down (four bitmap pages).
constexpr u32 FX_NUM_FCL = 4;
constexpr u32 FX_LSST = 12288 + 8192 * FX_NUM_FCL + 4096;
constexpr u32 FX_NUM_LOG = 20490;
constexpr u32 FX_ODBST = FX_LSST + 4096 * FX_NUM_LOG;
constexpr u32 FX_RTNST = FX_ODBST + 8192;
constexpr u64 FX_PREFIX = 0x19000;

struct BootFields {
    bool formatted = true;  // false: the location keeps no boot block
    u32 zkvid = 4242;
    u32 commit_lsn = 1;
    u32 lsn = 1;  // in the log metadata block
    bool log_live = false;
    u32 my_votes = 0;
    u32 total_votes = 0;
    u8 hdr_version = 4;
    // The history: by default the configuration the fixture wrote, as the
    // only set.  other_history names a configuration this store never had.
    bool other_history = false;
    // The writer counts the change, as every process of this library does.
    bool counted = true;
    bool damaged = false;  // one byte flipped after the checksum
};

class IoStore : public Contexts {
  public:
    // locations files named loc0.. and configured in that order; level is
    // both the handle's and the front end's boot level.
    explicit IoStore(u32 locations, u32 level = PROP_LEVEL_RW);
    ~IoStore();
    IoStore(const IoStore &) = delete;
    IoStore &operator=(const IoStore &) = delete;

    std::string loc(u32 slot) const { return dir_.file("loc" + std::to_string(slot)); }
    // The location files, configured and opened: every slot in state 3.
    void open_files();
    void write_boot(u32 slot, const BootFields &want);
    // The header of a METADATA block at block address addr.
    void block_header(u8 *block, u32 addr, u32 zkvid, u8 version = 4);
    // A block with a valid header and a fill byte, at block address addr.
    void write_block(u32 slot, u32 addr, u8 fill);
    void write_raw(u32 slot, u64 blkaddr, const void *data, size_t len, bool counted = true);
    std::vector<u8> read_raw(u32 slot, u64 blkaddr, size_t len) const;
    // The votes a slot's boot block carries on disk.
    std::pair<u32, u32> disk_votes(u32 slot) const;
    // Gives the handle the geometry of the stores laid down here.
    void set_geometry(u32 used_pages);
    void set_votes(u32 my, u32 total);

    proprhandle *h = nullptr;
    u32 log_lsn = ~0u;  // what opening handed to the undo log
    u32 used = 0;       // the used page count copies are told

  private:
    TempDir dir_;
    ScopedEnv root_;
    IoStore *outer_ = nullptr;
    u32 count_;
    proprio_hooks hooks_{};
};

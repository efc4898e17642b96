// A store of a test's own: one to five location files and a configuration
// root naming them, both under a TempDir; the front end's contexts; and the
// exports that format, open and close the store.  The configuration root is
// named by the environment, so one Store lives at a time.
#pragma once

#include <string>
#include <vector>

#include "support/contexts.h"
#include "support/tmpdir.h"

struct StoreOptions {
    uint32_t locations = 1;  // 1 to 5; an NKV store has one
    bool nkv = false;
    bool developer = true;   // buffered I/O; the cluster-wide kind needs it for files
    const char *hostname = "node1";
    // Locations in disk groups of the volume manager, one each (named
    // "+store-location-<i>", two mirror copies, writes synced only when
    // the store is not in developer mode).
    bool vld = false;
};

class Store {
  public:
    explicit Store(const StoreOptions &options = {});
    // Terminates a context still open; the meta context must then be empty.
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // The exports, on the fixture's contexts.  The front end runs at the
    // level given.  init at level 1 without a level argument passes the
    // fixture's group-services context.
    uint32_t setup(int32_t level = PROP_LEVEL_RW, uint32_t *levelarg = nullptr);
    uint32_t init(uint32_t level = PROP_LEVEL_RW, void *levelarg = nullptr);
    // prop_init into the caller's pointer, which may name a record of the
    // caller's; on success the fixture holds that context too.
    uint32_t init_into(backend_ctx **out, uint32_t level, void *levelarg = nullptr);
    // On success the fixture lets go of the context (a record kept with
    // PROP_TERMINATE_KEEP_CTX stays the caller's).
    uint32_t terminate(uint32_t flags = 0);
    // Formats and closes the store; a test failure if either fails.
    void format();

    backend_ctx *ctx() const { return ctx_; }
    proprhandle *handle() const { return ctx_ != nullptr ? ctx_->propb_ctx : nullptr; }
    prop_metactx *meta() const { return c_.meta; }
    prop_secctx *sec() const { return c_.sec; }
    przkv_ctx *zkv() const { return c_.zkv; }
    prop_grpctx *grp() const { return c_.grp; }
    prop_clsctx *cls() const { return c_.cls; }
    FaultEnv &faults() { return c_.faults; }
    const sec_attr &top_security() const { return topsec_; }
    const StoreOptions &options() const { return options_; }

    // Path of a location file (for a disk group: of copy 1 of its
    // registry file, once formatted), and a part of it no other path
    // contains (for fault rules).
    std::string location(uint32_t slot) const;
    std::string location_tag(uint32_t slot) const;
    // What the configuration names: the file, or "+<tag>".
    std::string config_name(uint32_t slot) const;
    // Every file that makes up the store's locations (for disk groups,
    // every file of each disk group).
    std::vector<std::string> files() const;
    uint64_t live_blocks() const { return c_.live_blocks(); }

    // Raw access to one location's blocks, around the library: block
    // address addr lives at file offset addr + 0x19000.
    std::string read_block(uint32_t slot, uint32_t addr) const;
    void write_block(uint32_t slot, uint32_t addr, const std::string &block) const;

  private:
    void configure();

    StoreOptions options_;
    TempDir dir_;
    ScopedEnv root_;
    ScopedEnv developer_;
    ScopedEnv zkv_loc_{"ZKV_LOC", nullptr};
    ScopedEnv nkv_loc_{"NKV_LOC", nullptr};
    ScopedEnv vld_root_{"ZKV_VLD_ROOT", nullptr};  // the disk groups live beside the configuration
    Contexts c_;
    sec_attr topsec_{};
    backend_ctx *ctx_ = nullptr;
};

// Keys through the exports, for tests about something else: sets
// SYSTEM.<name>, making the key when it is new (the first failing code),
// and reads it back ("<error N>" when it cannot be read).
uint32_t put_value(const Store &store, const std::string &name, const std::string &value);
std::string get_value(const Store &store, const std::string &name);
// Whether an alert of that number, its arguments naming arg, was captured.
bool alerted(uint32_t number, const std::string &arg = "");
// The location names this node's configuration holds, disk groups' files by
// their complete names.
std::vector<std::string> configured_locations();

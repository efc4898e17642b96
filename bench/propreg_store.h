// A durable propreg store for the benchmark: location files in the
// benchmark's directory, configured directly under a configuration root
// there (as a front end may), formatted, and opened at the level asked
// (the CACHING level, or level 0).  Developer mode stays off, so every
// location is opened O_DIRECT and each write group ends in fdatasync.  Or
// each location in a disk group of the volume manager (under the directory
// too), one copy per file and writes synced.
#pragma once

#include <string>
#include <vector>

#include "core/types.h"
#include "propreg/frontend.h"
#include "propreg/prop.h"

class PropregStore {
  public:
    PropregStore() = default;
    ~PropregStore();
    PropregStore(const PropregStore &) = delete;
    PropregStore &operator=(const PropregStore &) = delete;

    // Opened at level (the CACHING level or 0).  0, or the failing code with
    // *why set (PROP_E_LEVEL when the library cannot format or open a store
    // yet).
    u32 open(const std::string &dir, u32 locations, bool disk_groups, u32 level, std::string *why);
    // A store of keys keys on one location file in dir: SYSTEM.pNNN
    // parents of up to per_parent children kNNNNN, each with a 64-byte
    // value.  It is filled with buffered writes, synced, and opened again
    // with direct, synchronous I/O at level (a backup or a scan then reads
    // what a live store holds on its device).  0, or the failing code with
    // *why set.
    u32 open_with_keys(const std::string &dir, u32 keys, u32 level, std::string *why, u32 per_parent = 1000);
    // The same store closed and opened again at level, with every cache of
    // the old context gone.  0, or the failing code with *why set.
    u32 reopen(u32 level, std::string *why);
    // A backup file opened at the backup level, with front-end contexts of
    // its own.  0, or the failing code with *why set.
    u32 open_backup(const std::string &file, std::string *why);
    // Terminates the store; the location files stay for the next store.
    void close();

    backend_ctx *ctx() const { return ctx_; }
    prop_metactx *meta() const { return meta_; }
    // Where each location's writes go (a file, or a disk group's directory).
    const std::vector<std::string> &paths() const { return paths_; }
    const sec_attr &security() const { return sec_; }

  private:
    u32 make_contexts(std::string *why);
    u32 fill_keys(u32 keys, u32 per_parent, std::string *why);
    u32 place_locations(const std::string &dir, u32 locations, bool disk_groups, std::vector<std::string> *names,
                        std::string *why);
    u32 format(std::string *why);
    void destroy_contexts();

    std::vector<std::string> paths_;
    sec_attr sec_{};
    prop_metactx *meta_ = nullptr;
    prop_clsctx *cls_ = nullptr;
    prop_secctx *secctx_ = nullptr;
    prop_grpctx *grp_ = nullptr;
    przkv_ctx *zkv_ = nullptr;
    backend_ctx *ctx_ = nullptr;
};


// Writes the files of locations locations in dir, once: a store opened later
// finds them written.  0, or PROP_E_STORAGE with *why set.
u32 lay_out_locations(const std::string &dir, u32 locations, std::string *why);

// Removes the location files and configuration a store left in dir.
void remove_store_files(const std::string &dir);

// A batch of n operations laid out as a front end lays one: every operation
// and result zeroed and linked in order, for the caller to fill in.  The
// lists point into the object, so it stays where it was made.
struct BatchOf {
    prop_batch batch{};
    std::vector<prop_batch_op> ops;
    std::vector<prop_batch_result> results;

    explicit BatchOf(u32 n);
    BatchOf(const BatchOf &) = delete;
    BatchOf &operator=(const BatchOf &) = delete;
};

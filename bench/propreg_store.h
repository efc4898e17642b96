// A durable propreg store for the benchmark: location files in the
// benchmark's directory, configured directly under a configuration root
// there (as a front end may), formatted, and opened at the CACHING level
// with its I/O workers.  Developer mode stays off, so every location is
// opened O_DIRECT | O_DSYNC.
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

    // 0, or the failing code with *why set (PROP_E_LEVEL when the library
    // cannot format or open a store yet).
    u32 open(const std::string &dir, u32 locations, std::string *why);
    // Terminates the store; the location files stay for the next store.
    void close();

    backend_ctx *ctx() const { return ctx_; }
    prop_metactx *meta() const { return meta_; }
    const std::vector<std::string> &paths() const { return paths_; }
    const sec_attr &security() const { return sec_; }

  private:
    u32 make_contexts(std::string *why);
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

// Fills an open store with `keys` keys under SYSTEM.many (parents of 2000,
// each key a 32-byte text value), 1000 to a transaction; 0 or the code.
u32 fill_with_keys(PropregStore &store, u32 keys, std::string *why);

// Writes the files of locations locations in dir, once: a store opened later
// finds them written.  0, or PROP_E_STORAGE with *why set.
u32 lay_out_locations(const std::string &dir, u32 locations, std::string *why);

// Removes the location files and configuration a store left in dir.
void remove_store_files(const std::string &dir);

// The daemon's hold on its store: the store lock every propctl takes, the
// marker that tells a later reader a write may have been cut short, the
// front end's contexts, and the backend context at the CACHING level for
// as long as the daemon runs.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "../propctl/blocks.h"
#include "../propctl/root.h"
#include "propreg/prop.h"

namespace propregd {

// The group this node publishes under: the one propctl's location changes
// use, so that its repair finds what the daemon published.
inline constexpr const char *kGroup = "propctl";

class Store {
  public:
    Store() = default;
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Locks the store under root (waiting up to lock_wait_s for a propctl
    // command to finish), makes its location files private to this user,
    // opens it at the CACHING level, rolls back a write cut short and
    // publishes the configuration.  false after logging why.
    bool open(const propctl::Root &root, int lock_wait_s);
    // Terminates the context; a clean stop takes the marker away.  Then
    // lets go of the lock.
    void close();

    backend_ctx *ctx() const { return ctx_; }
    prop_metactx *meta() const { return meta_; }
    prop_clsctx *cls() const { return cls_; }
    przkv_ctx *zkv() const { return zkv_; }
    const propctl::Root &root() const { return root_; }
    const propctl::StoreDesc &desc() const { return desc_; }
    // The corruption check, which runs on a read-only context of its own
    // (the CACHING level does not offer it); the caller makes sure nothing
    // writes meanwhile.  What the walk found goes to findings.
    uint32_t check(std::vector<std::string> *findings);
    // One raw block, read as propctl reads it (on the same read-only view).
    uint32_t block(const std::string &key, uint32_t location, bool show, propctl::RawBlock *out);
    // The format version, the locations as configured and their device ids.
    uint32_t describe(uint32_t *format, char (*names)[PROP_LOCNAME_SIZE], uint32_t *ids);

  private:
    bool lock(int wait_s);
    uint32_t read_only(const std::function<uint32_t(backend_ctx *, przkv_ctx *)> &work);
    bool make_contexts();
    void drop_contexts();
    void restrict_locations();
    void publish();

    propctl::Root root_;
    propctl::StoreDesc desc_;
    int lock_fd_ = -1;
    prop_metactx *meta_ = nullptr;
    prop_clsctx *cls_ = nullptr;
    prop_secctx *sec_ = nullptr;
    przkv_ctx *zkv_ = nullptr;
    prop_grpctx *grp_ = nullptr;
    backend_ctx *ctx_ = nullptr;
};

}  // namespace propregd

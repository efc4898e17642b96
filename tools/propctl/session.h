// One command's hold on a store: the lock, the reference front end's
// contexts, and the backend context between prop_init and prop_terminate.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cause.h"
#include "keys.h"
#include "lock.h"
#include "output.h"
#include "propreg/prop.h"
#include "root.h"
#include "keystore.h"
#include "served.h"

namespace propctl {

// upgrade: read and write at the upgrade level, which also opens a store
// that is still marked as importing.  caching: written by this node as the
// caching daemon (the level that changes locations); it publishes under the
// group kGroup.
// config: the store's lock alone, for commands that change the
// configuration or the store's record of it without opening the store.
enum class Access { none, read, write, upgrade, caching, config };

inline constexpr const char *kGroup = "propctl";

class Session {
  public:
    // Explains the failures out reports while the session lives.
    Session(Root root, const Output &out);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Locks and opens the store.  A writer first rolls back whatever a
    // command cut short left behind (prop_recover); so does a reader that
    // finds the last writer did not finish.  The embedded default root
    // gets a local registry on first use.  0, or the exit status after
    // the fault was reported.
    int open(Access access, const std::string &what);
    // Connects to the daemon serving the root, for a command that reads
    // through it; false when none serves it (the command opens the store).
    bool use_daemon();
    bool served() const { return daemon_ != nullptr; }
    prc_conn *daemon() const { return daemon_; }
    // The key operations: through the daemon, or on the store this
    // session opened.
    KeyStore &store();
    // Opens a backup file as a read-only store of its own.  No lock: a
    // backup file is only ever replaced whole.  0 or the reported status.
    int open_backup(const std::string &file, const std::string &what);
    // Takes the store's lock exclusively without opening the store, for
    // work that replaces the store under every other propctl (a restore).
    int hold(const std::string &what);
    // Formats a new store under the root and closes it again; on failure
    // the configuration and the location files made for it are taken away.
    int format(const StoreDesc &desc, const std::string &what);
    // Closes the store and opens it again at the same level, under the
    // same lock: the library sizes its locations anew.  0 or the reported
    // exit status.
    int reopen(const std::string &what);
    // Terminates the context and lets go of the lock; 0 or the reported
    // exit status.  Only a command that succeeded vouches that it left
    // nothing half-done; after any other the next reader rolls back first.
    int finish(const std::string &what, bool succeeded);

    // A file beside the store that the command reads or (created) makes,
    // for the explanation of a failure.
    void involve(const std::string &name, bool created = false);
    // How long to wait for another propctl's lock; negative: for ever.
    void set_lock_wait(double seconds) { lock_.set_wait(seconds); }

    const Root &root() const { return root_; }
    const StoreDesc &desc() const { return desc_; }
    backend_ctx *ctx() const { return ctx_; }
    prop_metactx *meta() const { return fe_.meta; }
    przkv_ctx *zkv() const { return fe_.zkv; }
    // The keys changes are planned against, opened once each; valid until
    // the store changes, and closed before the store is.
    KeyBook &keys();
    // Owner and group of the caller; the owner may do anything, others read.
    // Through the daemon: empty, which is the daemon's same default for
    // the caller it sees.
    sec_attr new_key_security() const;

  private:
    struct FrontEnd {
        prop_metactx *meta = nullptr;
        prop_clsctx *cls = nullptr;
        prop_secctx *sec = nullptr;
        przkv_ctx *zkv = nullptr;
        prop_grpctx *grp = nullptr;
    };

    bool make_front_end(const StoreDesc &desc, uint32_t level);
    void drop_front_end();
    int take_lock(bool exclusive, const std::string &what);
    int lock_store(bool exclusive, const std::string &what);
    int make_root(const std::string &what);
    int init_store(uint32_t level, const std::string &what);
    bool heal_boot_block(const std::string &what);
    int recover_for_reader(const std::string &what);
    int create_default(const std::string &what);
    int format_locked(const StoreDesc &desc, const std::string &what);
    int terminate(const std::string &what, bool clean);
    bool mark_dirty(std::string *why, int *exit);
    int configuration_failure(const std::string &what, uint32_t rc, const std::string &why);
    Cause explain(uint32_t code) const;

    Root root_;
    const Output &out_;
    StoreLock lock_;
    StoreDesc desc_;
    FrontEnd fe_;
    backend_ctx *ctx_ = nullptr;
    uint32_t level_ = PROP_LEVEL_RW;
    std::unique_ptr<KeyBook> keys_;
    prc_conn *daemon_ = nullptr;
    std::unique_ptr<KeyStore> store_;
    bool dirty_ = false;  // this session put the marker down
    bool writable_ = true;  // the store's files are opened to write
    std::vector<Involved> involved_;
};

}  // namespace propctl

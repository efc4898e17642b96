// The key operations commands are written against, with two
// implementations: the store this process opened, and the daemon that
// serves it (over the client library), which answers with the same codes.
#pragma once

#include <string>
#include <vector>

#include "blocks.h"
#include "change.h"
#include "keys.h"
#include "oplog.h"
#include "records.h"
#include "root.h"
#include "propreg/client.h"

namespace propctl {

// What and where the store is.
struct StoreInfo {
    uint32_t format_version = 0;
    std::vector<std::string> locations;  // as configured
    uint32_t device_ids[PROP_MAX_LOCATIONS] = {};
};

class KeyStore {
  public:
    virtual ~KeyStore() = default;
    virtual uint32_t open(const std::string &name, Key *out) = 0;
    virtual uint32_t value(const Key &key, Value *out) = 0;
    // The names of the direct subkeys, sorted.
    virtual uint32_t subkeys(const Key &key, std::vector<std::string> *out) = 0;
    virtual uint32_t security(const Key &key, sec_attr *out) = 0;
    // One change in its own transaction.
    virtual uint32_t apply_one(Change &c) = 0;
    // Every change in one transaction: all or nothing.  0, or the code of
    // the change that stopped it, whose index goes to *failed; why the
    // store refused it as a whole, in its own words, to *why ("" for none).
    virtual uint32_t apply_batch(std::vector<Change> &changes, size_t *failed, std::string *why) = 0;

    // The long reads of the whole store, with what the store logged
    // meanwhile; label names the work on the progress line, where there is
    // one.  scan: the status of every location, its name in full and its
    // device id (ids: PROP_MAX_LOCATIONS).
    virtual Watched scan(const std::string &label, prop_status *st, uint32_t *ids) = 0;
    virtual Watched check_tree(const std::string &label) = 0;
    // A backup into the file name holds (PROP_LOCNAME_SIZE bytes).
    virtual Watched backup(const std::string &label, char *name) = 0;
    virtual uint32_t describe(Kind kind, StoreInfo *out) = 0;
    // Record files, written and read where the store is open: by this
    // process, or by the daemon with its own rights.
    virtual RecordRun export_to(const std::string &file, const std::string &top) = 0;
    virtual RecordRun import_from(const std::string &file, uint32_t mode, const std::string &importer) = 0;
    // One raw block (read_block of blocks.h), and the store's upgrade
    // state word.
    virtual uint32_t block(const std::string &key, uint32_t location, bool show, RawBlock *out) = 0;
    virtual uint32_t state(uint32_t *out) = 0;
    // The store's sizes from its bitmaps, without the scan (store_sizes).
    virtual uint32_t sizes(prop_status *out) = 0;

    // Opens name and reads what is asked (either may be null, to ask only
    // whether it exists); 0 or the code of the first step that failed.
    uint32_t read(const std::string &name, Value *value, std::vector<std::string> *subkeys);
};

class LibraryStore : public KeyStore {
  public:
    LibraryStore(backend_ctx *ctx, prop_metactx *meta, przkv_ctx *zkv) : ctx_(ctx), meta_(meta), zkv_(zkv) {}
    uint32_t open(const std::string &name, Key *out) override;
    uint32_t value(const Key &key, Value *out) override;
    uint32_t subkeys(const Key &key, std::vector<std::string> *out) override;
    uint32_t security(const Key &key, sec_attr *out) override;
    uint32_t apply_one(Change &c) override;
    uint32_t apply_batch(std::vector<Change> &changes, size_t *failed, std::string *why) override;
    Watched scan(const std::string &label, prop_status *st, uint32_t *ids) override;
    Watched check_tree(const std::string &label) override;
    Watched backup(const std::string &label, char *name) override;
    uint32_t describe(Kind kind, StoreInfo *out) override;
    RecordRun export_to(const std::string &file, const std::string &top) override;
    RecordRun import_from(const std::string &file, uint32_t mode, const std::string &importer) override;
    uint32_t block(const std::string &key, uint32_t location, bool show, RawBlock *out) override;
    uint32_t state(uint32_t *out) override;
    uint32_t sizes(prop_status *out) override;

  private:
    backend_ctx *ctx_;
    prop_metactx *meta_;
    przkv_ctx *zkv_;
};

// Creates whose security is left empty take the daemon's default for the
// caller: the caller owns the key with full access, its group and others
// read, as propctl's own default.
class DaemonStore : public KeyStore {
  public:
    explicit DaemonStore(prc_conn *conn) : conn_(conn) {}
    uint32_t open(const std::string &name, Key *out) override;
    uint32_t value(const Key &key, Value *out) override;
    uint32_t subkeys(const Key &key, std::vector<std::string> *out) override;
    uint32_t security(const Key &key, sec_attr *out) override;
    uint32_t apply_one(Change &c) override;
    uint32_t apply_batch(std::vector<Change> &changes, size_t *failed, std::string *why) override;
    Watched scan(const std::string &label, prop_status *st, uint32_t *ids) override;
    Watched check_tree(const std::string &label) override;
    Watched backup(const std::string &label, char *name) override;
    uint32_t describe(Kind kind, StoreInfo *out) override;
    RecordRun export_to(const std::string &file, const std::string &top) override;
    RecordRun import_from(const std::string &file, uint32_t mode, const std::string &importer) override;
    uint32_t block(const std::string &key, uint32_t location, bool show, RawBlock *out) override;
    uint32_t state(uint32_t *out) override;
    uint32_t sizes(prop_status *out) override;

  private:
    prc_conn *conn_;
};

}  // namespace propctl

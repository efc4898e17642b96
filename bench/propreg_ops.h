// The measured operations on an open propreg store, through the exports.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ops.h"
#include "propreg_store.h"
#include "runner.h"

class PropregOps {
  public:
    explicit PropregOps(PropregStore *store);
    ~PropregOps();
    PropregOps(const PropregOps &) = delete;
    PropregOps &operator=(const PropregOps &) = delete;

    // Creates the keys the workloads use under SYSTEM.bench; 0 or the code.
    u32 prepare(std::string *why);
    Workload workload(const OpInfo &op);

  private:
    struct Batch;

    u32 create(propr_keyhandle *parent, const std::string &name, propr_keyhandle **out);
    propr_keyhandle *value_key(u32 size) const;
    u32 run_batch(propr_keyhandle *parent);
    void close(propr_keyhandle **h);

    PropregStore *store_;
    propr_keyhandle *bench_ = nullptr;
    propr_keyhandle *values_[3] = {};
    propr_keyhandle *parent_ = nullptr;  // of the key a workload makes or deletes
    propr_keyhandle *made_ = nullptr;    // the key an open or a create handed out
    std::unique_ptr<Batch> batch_;
    std::vector<unsigned char> buf_;
};

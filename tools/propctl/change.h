// A change to the store, planned once and then made either on its own or
// as one operation of a batch, so both paths run the same plan.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "keys.h"
#include "value.h"

namespace propctl {

struct Change {
    std::string what;        // for messages, e.g. "set SYSTEM.a"
    std::string key_name;    // the key the change is about
    uint32_t opcode = 0;     // PROP_BATCH_*
    Key key;                 // the key; the parent for creates; the source for moves
    Key target_parent;       // moves
    Key target;              // moves onto an existing key
    std::string name;        // subkey to create, or the target's last component
    sec_attr sec{};          // creates and security changes
    Value value;             // set and create-and-set
    uint32_t disposition = 0;  // out: PROP_DISP_CREATED or PROP_DISP_EXISTED
};

// Makes one change in its own transaction.  0 or the library's code.
uint32_t apply_one(backend_ctx *ctx, Change &c);

// Makes every change in one transaction: all or nothing.  0, or the code
// of the change that stopped it, whose index goes to *failed.
uint32_t apply_batch(backend_ctx *ctx, std::vector<Change> &changes, size_t *failed);

// The first change whose value a batch record cannot carry: PROP_E_TOOBIG
// with its index in *failed, else 0 (and *failed is the count).
uint32_t check_batch_values(const std::vector<Change> &changes, size_t *failed);

}  // namespace propctl

// Record files: the key tree written out key by key (export), and read
// back into a store (import).  propctl runs them on the store it opened,
// and the daemon on the store it serves, with the same code, so that both
// write the same files and leave the store in the same state.
#pragma once

#include <cstdint>
#include <string>

#include "propreg/prop.h"

namespace propctl {

// What the code of a run that failed is about, for the message.
enum class RecordFault : uint32_t {
    none = 0,
    command = 1,  // the run as a whole; detail, when given, says more
    key = 2,      // the key named in detail
    change = 3,   // the change named in detail ("import SYSTEM.a")
    record = 4,   // a key the record cannot carry: detail says why
    exists = 5,   // the export's file is there already
};

struct RecordRun {
    uint32_t rc = 0;
    RecordFault fault = RecordFault::none;
    std::string detail;
    uint64_t keys = 0;     // written, or read and applied
    uint64_t created = 0;  // import: keys that were new
    uint64_t steps = 0;    // import: transactions committed
};

struct RecordStore {
    backend_ctx *ctx = nullptr;
    prop_metactx *meta = nullptr;
    przkv_ctx *zkv = nullptr;
    bool progress = false;  // draw the progress line (on a terminal)
};

// Writes top and every key below it (top "": every key) into the new
// file; a file given up on is removed.
RecordRun export_records(const RecordStore &s, const std::string &file, const std::string &top);
// mode: PROP_CBKP_IMPORT_*; importer: who becomes the owner in the mode
// that makes the importer the owner.
RecordRun import_records(const RecordStore &s, const std::string &file, uint32_t mode, const std::string &importer);

}  // namespace propctl

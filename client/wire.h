// The frames propregd and its clients exchange over the Unix socket.
//
// A frame is a 4-byte little-endian length followed by that many bytes of
// body.  A body begins with a 2-byte operation; an answer carries the
// request's operation with kAnswerBit set, the result code and the error
// text before its own fields.  Integers are little-endian; a string is a
// 4-byte length and its bytes (no terminating zero, and never one inside).
// Every field has a bound, and a body must be used up exactly, so a
// decoder either gets every field of a well-formed frame or refuses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "propreg/prop.h"

namespace wire {

// A request may not exceed this; an answer may be larger (an enumeration
// of a big key), up to kMaxAnswer.
constexpr uint32_t kMaxRequest = 1u << 20;
constexpr uint32_t kMaxAnswer = 64u << 20;
constexpr uint32_t kMaxName = 4096;       // a key name or a file name
constexpr uint32_t kMaxValue = 256 + 20 * 4064;  // the store's own bound
constexpr uint32_t kMaxBatchOps = 4096;
constexpr uint16_t kAnswerBit = 0x8000;
// A flag a status request may carry: the locations' names in full, as
// configured, rather than cut to the status record's width.
constexpr uint32_t kStatusFullNames = 4;
// And the one that asks for the sizes alone, from the bitmaps, without the
// scan (PROP_STATUS_SIZES): any caller may ask for them.
constexpr uint32_t kStatusSizes = PROP_STATUS_SIZES;
// What an export or an import says about where it stopped: a key name, a
// file name and a few words.
constexpr uint32_t kMaxDetail = 3 * (kMaxName + 1);

enum class Op : uint16_t {
    refused = 0,  // answer only: the daemon could not read the request and closes the connection
    open = 1,
    close = 2,
    get_value = 3,
    set_value = 4,
    delete_value = 5,
    create = 6,
    create_set = 7,
    delete_key = 8,
    move = 9,
    enumerate = 10,
    get_security = 11,
    set_security = 12,
    batch = 13,
    status = 14,
    check = 15,
    backup = 16,
    watch = 17,
    info = 18,
    export_records = 19,
    import_records = 20,
    block = 21,
    state = 22,
    event = 0x40,  // daemon to watcher only
};

const char *op_name(Op op);

// The security record a request carries; given = false asks the daemon
// for the caller's default (owner the caller, full access for the owner,
// read for group and others).
struct Security {
    bool given = false;
    sec_attr sec{};
};

// One operation of a batch; opcode is one of PROP_BATCH_*.
struct BatchItem {
    uint32_t opcode = 0;
    uint32_t key = 0, key2 = 0, key3 = 0;
    std::string name;
    Security sec;
    uint32_t dtype = 0;
    std::string value;
    uint32_t flags = 0;
};

// Keys are named by the handle numbers the daemon gave out on this
// connection (0 = none).  Which fields an operation uses is in wire.cpp's
// table of fields.
struct Request {
    Op op = Op::open;
    uint32_t key = 0, key2 = 0, key3 = 0;
    std::string name;   // open, create, move target, watch, backup, export and import file
    std::string top;    // export: the key written with those below it ("": every key)
    uint32_t number = 0;    // block: the one asked for, when name is ""
    uint32_t location = 0;  // block: 0 to 4, or 100 (any)
    uint32_t dtype = 0;
    std::string value;
    uint32_t capacity = 0;  // get-value: the largest value the caller takes
    uint32_t flag = 0;      // delete-key: recursive; create-set: PRZKV_FLAGS_*; status: 4 names the locations in full;
                            // import: PROP_CBKP_IMPORT_*; block: 1 asks what its fields hold
    Security sec;
    std::vector<BatchItem> batch;
};

struct BatchResult {
    uint32_t result = 0;
    uint32_t key = 0;
    std::string fullname;
    uint32_t disposition = 0;
};

struct Answer {
    Op op = Op::open;
    uint32_t code = 0;
    std::string text;
    // Filled as the operation answers (see wire.cpp).
    uint32_t key = 0;
    uint32_t disposition = 0;
    uint32_t dtype = 0;
    uint32_t size = 0;
    std::string value;
    std::vector<std::string> names;  // enumerate; status and info: the locations
    std::vector<uint32_t> states;    // status
    std::vector<uint32_t> ids;       // status, info: the device id of each location
    uint32_t format = 0;             // info: the store's format version
    // status, check, backup: what the library logged while it answered
    // (findings of the scan and the walk, a page no location holds sound).
    std::vector<std::string> lines;
    sec_attr sec{};
    std::vector<BatchResult> results;
    uint64_t seq = 0;                // watch: the last event before it
    uint64_t total_kb = 0, used_kb = 0, free_kb = 0, keys = 0, limit_kb = 0;  // status; keys: export, import
    // export, import: what the code is about (propctl's RecordFault) and
    // the key or the words it names; the keys new, the transactions.
    uint32_t fault = 0;
    std::string detail;
    uint64_t created = 0, transactions = 0;
    // block: the one read (its bytes in value), 0 or what is odd about it
    // (38 free, 39 its header does not validate), what its fields hold.
    uint32_t number = 0, found = 0;
    std::string report;
    uint32_t state = 0;  // state: the store's upgrade state word
    std::string version;
};

// What a watcher is told.  resync: events after seq were dropped because
// the watcher fell behind; it must read again what it watches.
enum class EventKind : uint32_t {
    created = 1,
    value_set = 2,
    value_removed = 3,
    deleted = 4,   // the key and everything below it
    moved = 5,     // to target, with everything below it
    security_changed = 6,
    resync = 7,
};

struct Event {
    uint64_t seq = 0;
    EventKind kind = EventKind::created;
    std::string key;
    std::string target;
};

// Encoders make whole frames, length included.
std::string encode(const Request &r);
std::string encode(const Answer &a);
std::string encode(const Event &e);

// Decoders take one body (without the length); false with the reason.
bool decode(const uint8_t *body, size_t size, Request *out, std::string *why);
bool decode(const uint8_t *body, size_t size, Answer *out, std::string *why);
bool decode(const uint8_t *body, size_t size, Event *out, std::string *why);
// The operation a body starts with (false when it is too short).
bool peek_op(const uint8_t *body, size_t size, uint16_t *op);

// Cuts frames out of a byte stream.  next() gives each complete body in
// turn; a length over the bound (or under the operation's two bytes) is a
// broken stream, after which nothing more is taken from it.
class Framer {
  public:
    explicit Framer(uint32_t bound) : bound_(bound) {}
    void feed(const void *data, size_t size);
    enum class Result { frame, more, broken };
    // On frame, body points into the framer until the next call.
    Result next(const uint8_t **body, size_t *size);
    size_t buffered() const { return buf_.size() - pos_; }

  private:
    uint32_t bound_;
    std::vector<uint8_t> buf_;
    size_t pos_ = 0;
    bool broken_ = false;
};

}  // namespace wire

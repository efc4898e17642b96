#include "wire.h"

#include <cstring>
#include <type_traits>

namespace wire {

namespace {

constexpr uint32_t kBatchName = PROP_BATCH_NAME_SIZE - 1;
constexpr uint32_t kAnyLocation = 100;
constexpr uint32_t kBlockBytes = 4096;
constexpr uint32_t kReportBytes = 8192;
constexpr uint32_t kSecName = PROP_NAME_SIZE - 1;

class Writer {
  public:
    Writer() { out_.resize(4); }
    void u16(uint16_t v) { put(v); }
    void u32(uint32_t v) { put(v); }
    void u64(uint64_t v) { put(v); }
    void u32(const uint32_t &v, uint32_t) { put(v); }
    void bytes(const std::string &s, uint32_t)
    {
        put(static_cast<uint32_t>(s.size()));
        out_ += s;
    }
    void text(const std::string &s, uint32_t bound) { bytes(s, bound); }
    void cstr(const char *s, uint32_t bound) { bytes(std::string(s, strnlen(s, bound)), bound); }
    void flag(const bool &b) { put(static_cast<uint8_t>(b ? 1 : 0)); }
    template <class T> void count(const std::vector<T> &v, uint32_t) { put(static_cast<uint32_t>(v.size())); }
    bool ok() const { return true; }
    std::string finish()
    {
        const uint32_t n = static_cast<uint32_t>(out_.size() - 4);
        for (int i = 0; i < 4; i++) out_[i] = static_cast<char>(n >> (8 * i));
        return std::move(out_);
    }

  private:
    template <class T> void put(T v)
    {
        for (size_t i = 0; i < sizeof v; i++) out_ += static_cast<char>(static_cast<uint64_t>(v) >> (8 * i));
    }
    std::string out_;
};

class Reader {
  public:
    Reader(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    void u16(uint16_t &v) { get(&v); }
    void u32(uint32_t &v) { get(&v); }
    void u64(uint64_t &v) { get(&v); }
    // A number that must not exceed bound.
    void u32(uint32_t &v, uint32_t bound)
    {
        get(&v);
        if (v > bound) fail("a number is out of range");
    }
    // Any bytes (values).
    void bytes(std::string &s, uint32_t bound)
    {
        uint32_t len = 0;
        get(&len);
        if (len > bound || len > n_ - pos_) return fail("a field is longer than its bound or the frame");
        if (ok_) s.assign(reinterpret_cast<const char *>(p_ + pos_), len);
        pos_ += ok_ ? len : 0;
    }
    // Names: no zero byte, which a C string would cut them at.
    void text(std::string &s, uint32_t bound)
    {
        bytes(s, bound);
        if (ok_ && s.find('\0') != std::string::npos) fail("a name holds a zero byte");
    }
    void cstr(char *s, uint32_t bound)
    {
        std::string t;
        text(t, bound);
        std::memcpy(s, t.data(), t.size());
        s[t.size()] = '\0';
    }
    void flag(bool &b)
    {
        uint8_t v = 0;
        get(&v);
        if (v > 1) fail("a flag is neither 0 nor 1");
        b = v == 1;
    }
    template <class T> void count(std::vector<T> &v, uint32_t bound)
    {
        uint32_t n = 0;
        get(&n);
        // Each element takes at least four bytes, so a count the frame
        // cannot hold is refused before anything is allocated for it.
        if (n > bound || n > (n_ - pos_) / 4) return fail("a list is longer than its bound or the frame");
        if (ok_) v.resize(n);
    }
    bool ok() const { return ok_; }
    bool done(std::string *why)
    {
        if (ok_ && pos_ != n_) fail("the frame is longer than its fields");
        if (!ok_) *why = why_;
        return ok_;
    }

  private:
    template <class T> void get(T *v)
    {
        if (!ok_ || n_ - pos_ < sizeof(T)) return fail("the frame is shorter than its fields");
        uint64_t x = 0;
        for (size_t i = 0; i < sizeof(T); i++) x |= static_cast<uint64_t>(p_[pos_ + i]) << (8 * i);
        *v = static_cast<T>(x);
        pos_ += sizeof(T);
    }
    void fail(const char *why)
    {
        if (ok_) why_ = why;
        ok_ = false;
    }
    const uint8_t *p_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
    std::string why_;
};

// One description of each record's fields serves both directions: the
// writer reads the references, the reader fills them.
template <class IO> void attr_fields(IO &io, sec_attr &sec)
{
    io.u32(sec.userperm);
    io.u32(sec.groupperm);
    io.u32(sec.otherperm);
    io.cstr(sec.username, kSecName);
    io.cstr(sec.groupname, kSecName);
}

template <class IO> void sec_fields(IO &io, Security &s)
{
    io.flag(s.given);
    attr_fields(io, s.sec);
}

template <class IO> void item_fields(IO &io, BatchItem &b)
{
    io.u32(b.opcode);
    io.u32(b.key);
    io.u32(b.key2);
    io.u32(b.key3);
    io.text(b.name, kBatchName);
    sec_fields(io, b.sec);
    io.u32(b.dtype);
    io.bytes(b.value, PROP_BATCH_VALUE_SIZE);
    io.u32(b.flags);
}

template <class IO> void request_fields(IO &io, Request &r)
{
    switch (r.op) {
    case Op::open:
    case Op::watch:
    case Op::backup:
        io.text(r.name, kMaxName);
        break;
    case Op::close:
    case Op::delete_value:
    case Op::enumerate:
    case Op::get_security:
        io.u32(r.key);
        break;
    case Op::get_value:
        io.u32(r.key);
        io.u32(r.capacity);
        break;
    case Op::set_value:
        io.u32(r.key);
        io.u32(r.dtype);
        io.bytes(r.value, kMaxValue);
        break;
    case Op::create:
        io.u32(r.key);
        io.text(r.name, kMaxName);
        sec_fields(io, r.sec);
        break;
    case Op::create_set:
        io.u32(r.key);
        io.text(r.name, kMaxName);
        sec_fields(io, r.sec);
        io.u32(r.dtype);
        io.bytes(r.value, kMaxValue);
        io.u32(r.flag);
        break;
    case Op::delete_key:
        io.u32(r.key);
        io.u32(r.flag, 1);
        break;
    case Op::move:
        io.u32(r.key);
        io.u32(r.key2);
        io.text(r.name, kMaxName);
        io.u32(r.key3);
        break;
    case Op::set_security:
        io.u32(r.key);
        sec_fields(io, r.sec);
        break;
    case Op::batch:
        io.count(r.batch, kMaxBatchOps);
        for (size_t i = 0; i < r.batch.size() && io.ok(); i++) item_fields(io, r.batch[i]);
        break;
    case Op::status:
        io.u32(r.flag, kStatusFullNames | kStatusSizes);
        break;
    case Op::export_records:
        io.text(r.name, kMaxName);
        io.text(r.top, kMaxName);
        break;
    case Op::import_records:
        io.text(r.name, kMaxName);
        io.u32(r.flag, PROP_CBKP_IMPORT_DATABASE);
        break;
    case Op::block:
        io.text(r.name, kMaxName);
        io.u32(r.number);
        io.u32(r.location, kAnyLocation);
        io.u32(r.flag, 1);
        break;
    case Op::state:
        break;
    case Op::check:
    case Op::info:
    case Op::event:
    case Op::refused:
        break;
    }
}

template <class IO> void names_fields(IO &io, std::vector<std::string> &names)
{
    io.count(names, kMaxAnswer / 4);
    for (size_t i = 0; i < names.size() && io.ok(); i++) io.text(names[i], kMaxName);
}

template <class IO> void answer_fields(IO &io, Answer &a)
{
    switch (a.op) {
    case Op::open:
    case Op::move:
        io.u32(a.key);
        break;
    case Op::create:
    case Op::create_set:
        io.u32(a.key);
        io.u32(a.disposition);
        break;
    case Op::get_value:
        io.u32(a.dtype);
        io.u32(a.size);
        io.bytes(a.value, kMaxValue);
        break;
    case Op::enumerate:
        names_fields(io, a.names);
        break;
    case Op::backup:
        names_fields(io, a.names);
        names_fields(io, a.lines);
        break;
    case Op::check:
        names_fields(io, a.lines);
        break;
    case Op::get_security:
        attr_fields(io, a.sec);
        break;
    case Op::batch:
        io.count(a.results, kMaxBatchOps);
        for (size_t i = 0; i < a.results.size() && io.ok(); i++) {
            BatchResult &b = a.results[i];
            io.u32(b.result);
            io.u32(b.key);
            io.text(b.fullname, kBatchName);
            io.u32(b.disposition);
        }
        break;
    case Op::status:
        names_fields(io, a.names);
        io.count(a.states, PROP_MAX_LOCATIONS);
        for (size_t i = 0; i < a.states.size() && io.ok(); i++) io.u32(a.states[i]);
        io.text(a.version, 15);
        io.u64(a.total_kb);
        io.u64(a.used_kb);
        io.u64(a.free_kb);
        io.u64(a.keys);
        io.u64(a.limit_kb);
        io.count(a.ids, PROP_MAX_LOCATIONS);
        for (size_t i = 0; i < a.ids.size() && io.ok(); i++) io.u32(a.ids[i]);
        names_fields(io, a.lines);
        break;
    case Op::watch:
        io.u64(a.seq);
        break;
    case Op::info:
        io.u32(a.format);
        names_fields(io, a.names);
        io.count(a.ids, PROP_MAX_LOCATIONS);
        for (size_t i = 0; i < a.ids.size() && io.ok(); i++) io.u32(a.ids[i]);
        break;
    case Op::export_records:
    case Op::import_records:
        io.u32(a.fault);
        io.text(a.detail, kMaxDetail);
        io.u64(a.keys);
        io.u64(a.created);
        io.u64(a.transactions);
        break;
    case Op::block:
        io.u32(a.number);
        io.u32(a.found);
        io.bytes(a.value, kBlockBytes);
        io.text(a.report, kReportBytes);
        break;
    case Op::state:
        io.u32(a.state);
        break;
    default:
        break;
    }
}

template <class IO> void event_fields(IO &io, Event &e)
{
    io.u64(e.seq);
    uint32_t kind = static_cast<uint32_t>(e.kind);
    io.u32(kind);
    if (kind < static_cast<uint32_t>(EventKind::created) || kind > static_cast<uint32_t>(EventKind::resync))
        io.u32(kind, 0);  // refuses the frame
    e.kind = static_cast<EventKind>(kind);
    io.text(e.key, kMaxName);
    io.text(e.target, kMaxName);
}

bool known(uint16_t op)
{
    return (op >= static_cast<uint16_t>(Op::open) && op <= static_cast<uint16_t>(Op::state));
}

}  // namespace

const char *op_name(Op op)
{
    static const char *const names[] = {"refused",       "open",      "close",      "get-value",    "set-value",
                                        "delete-value", "create", "create-set", "delete-key",  "move",
                                        "enumerate", "get-security", "set-security", "batch", "status",
                                        "check",   "backup",    "watch", "info", "export", "import", "block", "state"};
    const auto i = static_cast<size_t>(op);
    if (op == Op::event) return "event";
    return i < sizeof names / sizeof names[0] ? names[i] : "?";
}

std::string encode(const Request &r)
{
    Writer w;
    w.u16(static_cast<uint16_t>(r.op));
    request_fields(w, const_cast<Request &>(r));
    return w.finish();
}

std::string encode(const Answer &a)
{
    Writer w;
    w.u16(static_cast<uint16_t>(static_cast<uint16_t>(a.op) | kAnswerBit));
    w.u32(a.code);
    w.bytes(a.text, kMaxName);
    answer_fields(w, const_cast<Answer &>(a));
    return w.finish();
}

std::string encode(const Event &e)
{
    Writer w;
    w.u16(static_cast<uint16_t>(Op::event));
    event_fields(w, const_cast<Event &>(e));
    return w.finish();
}

bool peek_op(const uint8_t *body, size_t size, uint16_t *op)
{
    if (size < 2) return false;
    *op = static_cast<uint16_t>(body[0] | (body[1] << 8));
    return true;
}

bool decode(const uint8_t *body, size_t size, Request *out, std::string *why)
{
    Reader r(body, size);
    uint16_t op = 0;
    r.u16(op);
    if (r.ok() && !known(op)) {
        *why = "unknown operation " + std::to_string(op);
        return false;
    }
    *out = Request{};
    out->op = static_cast<Op>(op);
    request_fields(r, *out);
    return r.done(why);
}

bool decode(const uint8_t *body, size_t size, Answer *out, std::string *why)
{
    Reader r(body, size);
    uint16_t op = 0;
    r.u16(op);
    const uint16_t asked = static_cast<uint16_t>(op & ~kAnswerBit);
    if (r.ok() && ((op & kAnswerBit) == 0 || (asked != 0 && !known(asked)))) {
        *why = "not an answer";
        return false;
    }
    *out = Answer{};
    out->op = static_cast<Op>(op & ~kAnswerBit);
    r.u32(out->code);
    r.text(out->text, kMaxName);
    answer_fields(r, *out);
    return r.done(why);
}

bool decode(const uint8_t *body, size_t size, Event *out, std::string *why)
{
    Reader r(body, size);
    uint16_t op = 0;
    r.u16(op);
    if (r.ok() && op != static_cast<uint16_t>(Op::event)) {
        *why = "not an event";
        return false;
    }
    *out = Event{};
    event_fields(r, *out);
    return r.done(why);
}

void Framer::feed(const void *data, size_t size)
{
    if (broken_) return;
    // What was taken is dropped before the buffer grows.
    if (pos_ > 0 && pos_ == buf_.size()) {
        buf_.clear();
        pos_ = 0;
    } else if (pos_ > 64 * 1024) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
        pos_ = 0;
    }
    const auto *p = static_cast<const uint8_t *>(data);
    buf_.insert(buf_.end(), p, p + size);
}

Framer::Result Framer::next(const uint8_t **body, size_t *size)
{
    if (broken_) return Result::broken;
    const size_t have = buf_.size() - pos_;
    if (have < 4) return Result::more;
    const uint8_t *p = buf_.data() + pos_;
    const uint32_t len = static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24));
    if (len < 2 || len > bound_) {
        broken_ = true;
        return Result::broken;
    }
    if (have - 4 < len) return Result::more;
    *body = p + 4;
    *size = len;
    pos_ += 4 + static_cast<size_t>(len);
    return Result::frame;
}

}  // namespace wire

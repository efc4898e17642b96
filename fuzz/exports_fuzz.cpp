// Key names, subkey names, security records, value types and sizes, batch
// records and blocks to describe, from the input, through the exports on
// the small store (harness/exports_input.h gives the script's form).  Each
// call must answer with a documented code, a call refused for its arguments
// must not write to the store, and whatever the script did, the store must
// pass the logical corruption check and the meta context must be empty at
// the end.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/batch_builder.h"
#include "harness/exports_input.h"
#include "harness/stores.h"

namespace {

using namespace fuzz;

constexpr uint32_t kMaxCalls = 64;
constexpr uint32_t kMaxBatch = 8;
constexpr const char *kTopKeys[] = {"DATABASE", "SYSTEM", "HWK"};

// Codes that refuse a call for what the caller passed, before anything of
// the store is touched.
bool refused_for_arguments(uint32_t rc)
{
    return rc == PROP_E_LEVEL || rc == PROP_E_CTX || rc == PROP_E_KEYH || rc == PROP_E_ARG || rc == PROP_E_BUFSZ ||
           rc == PROP_E_NULL || rc == PROP_E_TOOBIG;
}

class Script {
  public:
    Script(Session &s, Input &in) : s_(s), ctx_(s.ctx()), in_(in)
    {
        for (uint32_t i = 0; i < 3; i++) call("prop_open", prop_open(ctx_, kTopKeys[i], &slots_[i], 0));
    }
    ~Script()
    {
        for (auto &kh : slots_) close(kh);
    }

    void run()
    {
        for (uint32_t n = 0; n < kMaxCalls && in_.left() > 0; n++) step(static_cast<ExportCall>(in_.u8() % kCalls));
    }

  private:
    // The call's code must be documented, and a refusal for its arguments
    // must have left the store alone (a batch begins its transaction before
    // it looks at its operations, and rolls back the ones that ran).
    uint32_t call(const char *what, uint32_t rc, bool in_transaction = false)
    {
        expect_documented(what, rc);
        if (verbose_) std::fprintf(stderr, "%s: %u\n", what, rc);
        if (!in_transaction && refused_for_arguments(rc) && env().writes() != writes_)
            fail("%s refused its arguments with %u but wrote to the store", what, rc);
        writes_ = env().writes();
        return rc;
    }

    propr_keyhandle *&slot() { return slots_[in_.u8() % kSlots]; }
    void close(propr_keyhandle *&kh)
    {
        if (kh != nullptr) call("prop_close", prop_close(ctx_, kh));
        kh = nullptr;
    }
    std::string name()
    {
        std::string n = in_.bytes(in_.u8());
        return n.substr(0, n.find('\0'));
    }
    sec_attr sec()
    {
        sec_attr a = s_.top_security();
        a.userperm = in_.u8();
        a.groupperm = in_.u8();
        a.otherperm = in_.u8();
        if (in_.u8() != 0) {
            std::snprintf(a.username, sizeof a.username, "%s", name().c_str());
            std::snprintf(a.groupname, sizeof a.groupname, "%s", name().c_str());
        }
        return a;
    }
    struct Value {
        uint32_t type;
        std::vector<uint8_t> bytes;
    };
    Value value()
    {
        Value v;
        v.type = in_.u32();
        const uint32_t size = in_.u32() % (kValueCap + 1);
        const uint8_t fill = in_.u8();
        v.bytes.resize(size);
        for (uint32_t i = 0; i < size; i++) v.bytes[i] = static_cast<uint8_t>(fill + i * 31);
        return v;
    }
    std::string blob() { return in_.bytes(in_.u16()); }

    void step(ExportCall c)
    {
        switch (c) {
        case kOpen: {
            propr_keyhandle *&kh = slot();
            close(kh);
            call("prop_open", prop_open(ctx_, name().c_str(), &kh, 0));
            break;
        }
        case kClose:
            close(slot());
            break;
        case kCreate: {
            propr_keyhandle *parent = slot();
            const std::string n = name();
            const sec_attr a = sec();
            replace_with(slot(), "prop_create_key", [&](propr_keyhandle **out, uint32_t *disp) {
                return prop_create_key(ctx_, parent, n.c_str(), &a, out, disp, 0);
            });
            break;
        }
        case kCreateSet: {
            propr_keyhandle *parent = slot();
            const std::string n = name();
            const sec_attr a = sec();
            const Value v = value();
            const uint32_t flags = (in_.u8() & 1) != 0 ? PRZKV_FLAGS_NO_OVERWRITE : 0;
            replace_with(slot(), "prop_create_n_set_key", [&](propr_keyhandle **out, uint32_t *disp) {
                return prop_create_n_set_key(ctx_, parent, n.c_str(), &a, out, disp, v.type, v.bytes.data(),
                                             static_cast<uint32_t>(v.bytes.size()), flags);
            });
            break;
        }
        case kSetValue: {
            propr_keyhandle *kh = slot();
            const Value v = value();
            call("prop_set_value",
                 prop_set_value(ctx_, kh, v.type, v.bytes.data(), static_cast<uint32_t>(v.bytes.size()), 0));
            break;
        }
        case kGetValue: {
            propr_keyhandle *kh = slot();
            uint32_t capacity = in_.u32() % (kValueCap + 1), type = 0;
            std::vector<uint8_t> buf(capacity);
            call("prop_get_value", prop_get_value(ctx_, kh, &type, buf.data(), &capacity, 0));
            break;
        }
        case kDeleteValue:
            call("prop_delete_value", prop_delete_value(ctx_, slot(), 0));
            break;
        case kDeleteKey: {
            propr_keyhandle *kh = slot();
            call("prop_delete_key", prop_delete_key(ctx_, kh, in_.u8() & 1, 0));
            break;
        }
        case kMove: {
            propr_keyhandle *src = slot(), *parent = slot();
            const std::string n = name();
            propr_keyhandle *replaced = slot();
            replace_with(slot(), "prop_move_key", [&](propr_keyhandle **out, uint32_t *) {
                return prop_move_key(ctx_, src, parent, n.c_str(), replaced, out, 0);
            });
            break;
        }
        case kEnumSubkeys: {
            char *names = nullptr;
            uint32_t len = 0, count = 0;
            if (call("prop_enum_subkey", prop_enum_subkey(ctx_, slot(), &names, &len, &count, 0)) == 0)
                prop_fe_free_block(s_.meta(), names);
            break;
        }
        case kGetSecurity: {
            sec_attr a{};
            call("prop_get_security", prop_get_security(ctx_, slot(), &a));
            break;
        }
        case kSetSecurity: {
            propr_keyhandle *kh = slot();
            const sec_attr a = sec();
            call("prop_set_security", prop_set_security(ctx_, kh, &a, 0));
            break;
        }
        case kCheckPermission: {
            propr_keyhandle *kh = slot();
            call("prop_check_perm_recurse", prop_check_perm_recurse(ctx_, s_.sec(), kh, in_.u8()));
            break;
        }
        case kBatch:
            batch();
            break;
        case kInterpretBlock: {
            const uint32_t blkno = in_.u32();
            std::string block = blob();
            uint32_t capacity = in_.u16();
            std::vector<char> text(capacity);
            call("prop_interpret_block",
                 prop_interpret_block(ctx_, blkno, block.data(), static_cast<uint32_t>(block.size()), text.data(),
                                      &capacity, 0));
            break;
        }
        case kCalls:
            break;
        }
    }

    // A call that hands out a key handle puts it in a slot (closing what
    // the slot held, after the call: it may be one of the call's keys).  A
    // create refused because the key exists still hands out its handle.
    template <class Fn> void replace_with(propr_keyhandle *&dst, const char *what, Fn fn)
    {
        propr_keyhandle *made = nullptr;
        uint32_t disposition = 0;
        const uint32_t rc = call(what, fn(&made, &disposition));
        if (made == nullptr) return;
        if (rc != 0 && rc != PROP_E_EXISTS) fail("%s failed with %u but handed out a key handle", what, rc);
        close(dst);
        dst = made;
    }

    void batch()
    {
        BatchBuilder b;
        const uint32_t count = in_.u8() % kMaxBatch;
        for (uint32_t i = 0; i < count; i++) {
            const uint8_t opcode = in_.u8();
            propr_keyhandle *key = slot(), *key2 = slot(), *key3 = slot();
            prop_batch_op &op = b.add(opcode, key, name().c_str());
            op.key2 = key2;
            op.key3 = key3;
            op.sec = sec();
            const std::string v = blob();
            std::memcpy(op.value, v.data(), std::min(v.size(), sizeof op.value));
            op.value_size = in_.u32();
            op.dtype = in_.u32();
            op.flags = in_.u32() & PRZKV_FLAGS_NO_OVERWRITE;
        }
        call("prop_batch_execute", prop_batch_execute(ctx_, b.get(), 0), true);
        for (propr_keyhandle *kh : b.take_handles()) close(kh);
    }

    Session &s_;
    backend_ctx *ctx_;
    Input &in_;
    propr_keyhandle *slots_[kSlots] = {};
    uint64_t writes_ = 0;
    const bool verbose_ = std::getenv("PROPREG_FUZZ_CALLS") != nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    use_store(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    env().rollback();
    Session s;
    if (s.init() != 0) fail("the small store does not open");
    {
        Input in(data, size);
        Script script(s, in);
        script.run();
    }
    if (uint32_t rc = prop_check_logical_corruption(s.ctx()); rc != 0)
        fail("after the script, the logical corruption check returned %u", rc);
    return 0;
}

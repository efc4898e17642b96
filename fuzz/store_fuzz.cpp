// A store whose pages the input replaces or patches (see harness/stores.h)
// is opened, recovered, walked, checked for logical corruption, written to
// and closed.  Whatever the pages hold, every call must answer with a
// documented code, a store refused at open must not have been written to,
// and the meta context must be empty at the end.
#include <cstring>
#include <string>

#include "harness/stores.h"

namespace {

using namespace fuzz;

constexpr uint32_t kWalkLimit = 48;

uint32_t create(backend_ctx *ctx, propr_keyhandle *parent, const char *name, const sec_attr &sec,
                propr_keyhandle **out)
{
    uint32_t disposition = 0;
    return expect_documented("prop_create_key", prop_create_key(ctx, parent, name, &sec, out, &disposition, 0));
}

void close_key(backend_ctx *ctx, propr_keyhandle *kh)
{
    if (kh != nullptr) expect_documented("prop_close", prop_close(ctx, kh));
}

// One of each change, on whatever the store still lets us reach.
void write_to(const Session &s)
{
    backend_ctx *ctx = s.ctx();
    static const std::string big(9000, 'v');
    propr_keyhandle *db = nullptr, *sys = nullptr, *fz = nullptr, *kid = nullptr, *moved = nullptr;
    if (expect_documented("prop_open", prop_open(ctx, "DATABASE", &db, 0)) != 0) return;
    expect_documented("prop_open", prop_open(ctx, "SYSTEM", &sys, 0));
    if (create(ctx, db, "fz", s.top_security(), &fz) == 0) {
        expect_documented("prop_set_value", prop_set_value(ctx, fz, PROP_TYPE_TEXT, "small\0", 6, 0));
        expect_documented("prop_set_value",
                          prop_set_value(ctx, fz, PROP_TYPE_BYTES, big.data(), static_cast<uint32_t>(big.size()), 0));
        if (create(ctx, fz, "kid", s.top_security(), &kid) == 0 && sys != nullptr)
            expect_documented("prop_move_key", prop_move_key(ctx, kid, sys, "fzmoved", nullptr, &moved, 0));
        expect_documented("prop_delete_value", prop_delete_value(ctx, fz, 0));
        expect_documented("prop_delete_key", prop_delete_key(ctx, fz, 1, 0));
    }
    if (moved != nullptr) expect_documented("prop_delete_key", prop_delete_key(ctx, moved, 0, 0));
    for (propr_keyhandle *kh : {moved, kid, fz, sys, db}) close_key(ctx, kh);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    stores();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    env().rollback();
    Input in(data, size);
    const size_t which = in.u8() % stores().size();
    for (Chunk c; next_chunk(in, &c);) apply_chunk(stores()[which], c);
    use_store(which);

    Session s;
    if (s.init() != 0) {
        if (env().writes() != 0) fail("a store refused at open was written to");
        return 0;
    }
    expect_documented("prop_recover", prop_recover(s.ctx(), 0));
    walk(s.ctx(), kWalkLimit);
    expect_documented("prop_check_logical_corruption", prop_check_logical_corruption(s.ctx()));
    write_to(s);
    return 0;
}

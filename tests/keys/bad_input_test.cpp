// A caller's bad argument (an owner without a name, a type above one byte,
// a top-level key to delete or move) is refused with 8, never with 26
// (which ends a process at the CACHING level), and changes nothing.  The
// refusals of names are in create_test.cpp and move_test.cpp.
#include <functional>

#include "keys_fixture.h"

namespace {

TEST_F(KeysTest, BadInputIsRefusedWith8AndChangesNothing)
{
    StoreView v = view();
    Key a = make(system_, "a");
    auto before = observe_tree(ctx(), "SYSTEM");
    sec_attr sec = store_->top_security();
    sec_attr no_owner = sec;
    no_owner.username[0] = '\0';
    std::vector<uint8_t> val = pattern(10, 1);
    Key made(ctx());
    uint32_t disp = 0;
    const std::function<uint32_t()> bad[] = {
        [&] { return prop_set_security(ctx(), system_.get(), &no_owner, 0); },
        [&] {
            return prop_create_n_set_key(ctx(), system_.get(), "n", &sec, made.out(), &disp, 259, val.data(), 10, 0);
        },
        [&] { return v.set(a, val, 256); },  // the tnode keeps the type in one byte
        [&] {
            BatchBuilder b;
            b.set_value(a.get(), val).dtype = 300;
            return prop_batch_execute(ctx(), b.get(), 0);
        },
        // The store's fixed keys cannot be made again: they never go.
        [&] { return prop_delete_key(ctx(), system_.get(), 1, 0); },
        [&] { return prop_move_key(ctx(), system_.get(), v.open("DATABASE").get(), "s", nullptr, made.out(), 0); },
    };
    for (const auto &call : bad) EXPECT_EQ(call(), uint32_t{PROP_E_ARG}) << "bad input " << &call - bad;
    EXPECT_FALSE(made);
    EXPECT_TRUE(observe_tree(ctx(), "SYSTEM") == before) << "the store changed";
}

}  // namespace

// A caller's bad argument (an empty or absolute name, a type above one
// byte, a move past the name limit, an owner without a name, a top-level
// key to delete or move) is refused
// with 8 and changes nothing; above all it never ends a process at the
// CACHING level, where a 26 would.
#include <cstdlib>
#include <functional>

#include "keys_fixture.h"

namespace {

using ::testing::ExitedWithCode;

TEST_F(KeysTest, BadInputNeverEndsALevelOneProcess)
{
    // SYSTEM.m holds a name of 1012 characters below it: moved under
    // SYSTEM.<250>, that name would have 1263.
    {
        Key m = make(system_, "m");
        for (char c : {'w', 'x', 'y', 'z'}) m = make(m, std::string(250, c));
        Key a = make(system_, "a");
        Key far = make(system_, std::string(250, 'p'));
    }
    auto before = observe_tree(ctx(), "SYSTEM");
    system_.reset();
    ASSERT_EQ(store_->terminate(), 0u);

    auto run_at_level_one = [this] {
        if (store_->init(PROP_LEVEL_CACHING) != 0) return false;
        StoreView v = view();
        Key system = v.open("SYSTEM"), a = v.open("SYSTEM.a"), m = v.open("SYSTEM.m");
        Key far = v.open(("SYSTEM." + std::string(250, 'p')).c_str());
        sec_attr sec = store_->top_security();
        sec_attr no_owner = sec;
        no_owner.username[0] = '\0';
        std::vector<uint8_t> val = pattern(10, 1);
        auto create = [&](const Key &parent, const char *subkey, const sec_attr *with = nullptr) {
            Key made(ctx());
            uint32_t disp = 0;
            uint32_t rc = prop_create_key(ctx(), parent.get(), subkey, with != nullptr ? with : &sec, made.out(),
                                          &disp, 0);
            return made ? 0u : rc;
        };
        const std::function<uint32_t()> bad[] = {
            [&] { return create(system, ""); },
            [&] { return create(system, "SYSTEM"); },
            [&] { return create(a, "SYSTEM.x"); },
            [&] { return create(system, "new.deeper", &no_owner); },
            [&] { return prop_set_security(ctx(), system.get(), &no_owner, 0); },
            [&] {
                Key made(ctx());
                uint32_t disp = 0;
                return prop_create_n_set_key(ctx(), system.get(), "n", &sec, made.out(), &disp, 259, val.data(), 10, 0);
            },
            [&] { return v.set(a, val, 256); },  // the tnode keeps the type in one byte
            [&] {
                BatchBuilder b;
                b.set_value(a.get(), val).dtype = 300;
                return prop_batch_execute(ctx(), b.get(), 0);
            },
            [&] {
                Key moved(ctx());
                return prop_move_key(ctx(), m.get(), far.get(), "m", nullptr, moved.out(), 0);
            },
            // The store's fixed keys cannot be made again: they never go.
            [&] { return prop_delete_key(ctx(), system.get(), 1, 0); },
            [&] { return prop_delete_key(ctx(), v.open("HWK").get(), 0, 0); },
            [&] {
                Key moved(ctx());
                return prop_move_key(ctx(), system.get(), v.open("DATABASE").get(), "s", nullptr, moved.out(), 0);
            },
        };
        bool ok = true;
        for (const auto &call : bad) {
            uint32_t rc = call();
            if (rc != PROP_E_ARG) std::fprintf(stderr, "bad input %zu: %u\n", static_cast<size_t>(&call - bad), rc);
            ok = ok && rc == PROP_E_ARG;
        }
        return ok;
    };
    // The child's workers are running: it leaves without tearing down.
    EXPECT_EXIT(std::_Exit(run_at_level_one() ? 0 : 3), ExitedWithCode(0), "");

    ASSERT_EQ(store_->init(), PROP_OK);
    EXPECT_TRUE(observe_tree(ctx(), "SYSTEM") == before) << "the store changed";
}

}  // namespace

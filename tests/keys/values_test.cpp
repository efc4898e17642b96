// Values through the exports: every size class round-trips with its type,
// the page accounting follows the size, and refusals leave the old value.
#include "keys_fixture.h"

namespace {

// Value pages a value of size bytes needs.
uint64_t pages_for(size_t size)
{
    return size <= 256 ? 0 : (size - 256 + 4063) / 4064;
}

class ValuesTest : public KeysTest {
  protected:
    void SetUp() override
    {
        KeysTest::SetUp();
        system_ = view().open("SYSTEM");
    }
    Key make(const char *name)
    {
        return view().create(system_, name, store_->top_security());
    }
    Key system_;
};

TEST_F(ValuesTest, EverySizeRoundTripsWithItsTypeAndItsPages)
{
    struct Case {
        const char *key;
        size_t size;
        uint32_t type;
    };
    const Case cases[] = {{"v0", 0, PROP_TYPE_TEXT},     {"v1", 1, PROP_TYPE_UB4},
                          {"v256", 256, PROP_TYPE_BYTES}, {"v257", 257, PROP_TYPE_MULTITEXT},
                          {"v4320", 4320, PROP_TYPE_UBIG}, {"v81536", 81536, PROP_TYPE_BYTES}};
    StoreView v = view();
    for (const Case &c : cases) {
        Key k = make(c.key);
        uint64_t before = v.used_pages();
        std::vector<uint8_t> bytes = pattern(c.size, static_cast<uint8_t>(c.size));
        ASSERT_EQ(v.set(k, bytes, c.type), 0u) << c.key;
        EXPECT_EQ(v.used_pages() - before, pages_for(c.size)) << c.key;
        Value got = v.get(k);
        EXPECT_EQ(got.rc, 0u) << c.key;
        EXPECT_EQ(got.type, c.type) << c.key;
        EXPECT_EQ(got.bytes, bytes) << c.key;
    }
    system_.reset();
    reopen();
    v = view();
    for (const Case &c : cases) {
        std::string name = std::string("SYSTEM.") + c.key;
        Key k = v.open(name.c_str());
        Value got = v.get(k);
        EXPECT_EQ(got.type, c.type) << name;
        EXPECT_EQ(got.bytes, pattern(c.size, static_cast<uint8_t>(c.size))) << name;
    }
}

TEST_F(ValuesTest, TooBigAValueIsRefusedAndTheOldOneStays)
{
    StoreView v = view();
    Key k = make("big");
    std::vector<uint8_t> old = pattern(5000, 3);
    ASSERT_EQ(v.set(k, old), 0u);
    uint64_t used = v.used_pages();
    EXPECT_EQ(v.set(k, pattern(81537, 4)), static_cast<uint32_t>(PROP_E_TOOBIG));
    EXPECT_EQ(v.get(k).bytes, old);
    EXPECT_EQ(v.used_pages(), used);
    uint32_t huge = 10u << 20;  // past what any page list could address
    EXPECT_EQ(prop_set_value(ctx(), k.get(), PROP_TYPE_BYTES, old.data(), huge, 0),
              static_cast<uint32_t>(PROP_E_TOOBIG));
}

TEST_F(ValuesTest, ShrinkingFreesTheSurplusPagesAndGrowingTakesNewOnes)
{
    StoreView v = view();
    Key k = make("shrink");
    const size_t three = 256 + 2 * 4064 + 1;
    ASSERT_EQ(v.set(k, pattern(three, 1)), 0u);
    uint64_t with_three = v.used_pages();
    ASSERT_EQ(v.set(k, pattern(300, 2)), 0u);
    EXPECT_EQ(v.used_pages(), with_three - 2);
    EXPECT_EQ(v.get(k).bytes, pattern(300, 2));
    ASSERT_EQ(v.set(k, pattern(three, 5)), 0u);
    EXPECT_EQ(v.used_pages(), with_three);
    EXPECT_EQ(v.get(k).bytes, pattern(three, 5));
    ASSERT_EQ(v.set(k, {}), 0u);
    EXPECT_EQ(v.used_pages(), with_three - 3);
    EXPECT_TRUE(v.get(k).bytes.empty());
}

TEST_F(ValuesTest, ASmallBufferGetsTheNeededSizeAndNothingElse)
{
    StoreView v = view();
    Key k = make("buf");
    std::vector<uint8_t> value = pattern(4320, 9);
    ASSERT_EQ(v.set(k, value, PROP_TYPE_TEXT), 0u);

    std::vector<uint8_t> out(4319, 0xee);
    uint32_t type = 77;
    uint32_t size = 4319;
    EXPECT_EQ(prop_get_value(ctx(), k.get(), &type, out.data(), &size, 0), static_cast<uint32_t>(PROP_E_BUFSZ));
    EXPECT_EQ(size, 4320u);
    EXPECT_EQ(type, 77u);
    EXPECT_EQ(out, std::vector<uint8_t>(4319, 0xee));

    out.assign(4320, 0);
    EXPECT_EQ(prop_get_value(ctx(), k.get(), &type, out.data(), &size, 0), 0u);
    EXPECT_EQ(out, value);
    EXPECT_EQ(type, static_cast<uint32_t>(PROP_TYPE_TEXT));
}

TEST_F(ValuesTest, DeletingAValueFreesItsPagesAndAnEmptyOneIsFine)
{
    StoreView v = view();
    Key k = make("del");
    uint64_t empty = v.used_pages();
    ASSERT_EQ(v.set(k, pattern(9000, 1), PROP_TYPE_TEXT), 0u);
    ASSERT_EQ(prop_delete_value(ctx(), k.get(), 0), 0u);
    EXPECT_EQ(v.used_pages(), empty);
    Value got = v.get(k);
    EXPECT_EQ(got.rc, 0u);
    EXPECT_EQ(got.type, 0u);
    EXPECT_TRUE(got.bytes.empty());
    EXPECT_EQ(prop_delete_value(ctx(), k.get(), 0), 0u);
}

TEST_F(ValuesTest, ArgumentsAreChecked)
{
    Key k = make("args");
    uint32_t type = 0, size = 4;
    uint8_t buf[4];
    EXPECT_EQ(prop_set_value(ctx(), k.get(), PROP_TYPE_BYTES, nullptr, 4, 0), static_cast<uint32_t>(PROP_E_NULL));
    EXPECT_EQ(prop_set_value(ctx(), nullptr, PROP_TYPE_BYTES, buf, 4, 0), static_cast<uint32_t>(PROP_E_KEYH));
    EXPECT_EQ(prop_get_value(ctx(), k.get(), &type, nullptr, &size, 0), static_cast<uint32_t>(PROP_E_NULL));
    EXPECT_EQ(prop_get_value(ctx(), k.get(), &type, buf, nullptr, 0), static_cast<uint32_t>(PROP_E_NULL));
    EXPECT_EQ(prop_delete_value(ctx(), nullptr, 0), static_cast<uint32_t>(PROP_E_KEYH));
    // A record that is not a key handle fails the tag check.
    alignas(8) char junk[128] = "PROP KEX";
    propr_keyhandle *fake = reinterpret_cast<propr_keyhandle *>(junk);
    EXPECT_EQ(prop_delete_value(ctx(), fake, 0), static_cast<uint32_t>(PROP_E_KEYH));
}

}  // namespace

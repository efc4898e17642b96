// Values through the exports: every size class round-trips with its type,
// the page accounting follows the size, a short buffer learns the size it
// needs, and refusals leave the old value.
#include <sys/wait.h>
#include <unistd.h>

#include "keys_fixture.h"

namespace {

uint64_t pages_for(size_t size)
{
    return size <= 256 ? 0 : (size - 256 + 4063) / 4064;
}

using ValuesTest = KeysTest;

TEST_F(ValuesTest, EverySizeRoundTripsWithItsTypeAndItsPages)
{
    const struct {
        const char *key;
        size_t size;
        uint32_t type;
    } cases[] = {{"v0", 0, PROP_TYPE_TEXT},          {"v1", 1, PROP_TYPE_UB4},
                 {"v256", 256, PROP_TYPE_BYTES},      {"v257", 257, PROP_TYPE_MULTITEXT},
                 {"v4320", 4320, PROP_TYPE_UBIG},     {"v81536", 81536, PROP_TYPE_BYTES}};
    StoreView v = view();
    for (const auto &c : cases) {
        Key k = make(system_, c.key);
        uint64_t before = v.used_pages();
        ASSERT_EQ(v.set(k, pattern(c.size, 1), c.type), PROP_OK) << c.key;
        EXPECT_EQ(v.used_pages() - before, pages_for(c.size)) << c.key;
    }
    // Read back read-only, where the key cache is off and every open walks.
    reopen(PROP_LEVEL_READONLY);
    v = view();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key);
        Key k = v.open(("SYSTEM." + std::string(c.key)).c_str());
        Value got = v.get(k);
        EXPECT_EQ(got.type, c.type);
        EXPECT_EQ(got.bytes, pattern(c.size, 1));
        if (c.size == 0) continue;
        // A buffer said to be one byte short learns the size it needs, and
        // nothing else.
        std::vector<uint8_t> out(c.size + 1, 0xee);
        uint32_t type = 77, size = static_cast<uint32_t>(c.size - 1);
        EXPECT_EQ(prop_get_value(ctx(), k.get(), &type, out.data(), &size, 0), static_cast<uint32_t>(PROP_E_BUFSZ));
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(type, 77u);
        EXPECT_EQ(out, std::vector<uint8_t>(c.size + 1, 0xee));
    }
}

TEST_F(ValuesTest, ShrinkingFreesPagesGrowingTakesThemAndTooBigChangesNothing)
{
    StoreView v = view();
    Key k = make(system_, "shrink");
    uint64_t empty = v.used_pages();
    const size_t three = 256 + 2 * 4064 + 1;
    ASSERT_EQ(v.set(k, pattern(three, 1)), PROP_OK);
    EXPECT_EQ(v.set(k, pattern(81537, 4)), static_cast<uint32_t>(PROP_E_TOOBIG));
    EXPECT_EQ(v.get(k).bytes, pattern(three, 1));
    EXPECT_EQ(v.used_pages(), empty + 3);
    ASSERT_EQ(v.set(k, pattern(300, 2)), PROP_OK);
    EXPECT_EQ(v.used_pages(), empty + 1);
    EXPECT_EQ(v.get(k).bytes, pattern(300, 2));
    ASSERT_EQ(v.set(k, pattern(three, 5)), PROP_OK);
    EXPECT_EQ(v.used_pages(), empty + 3);
    EXPECT_EQ(v.get(k).bytes, pattern(three, 5));
    ASSERT_EQ(prop_delete_value(ctx(), k.get(), 0), PROP_OK);
    EXPECT_EQ(v.used_pages(), empty);
    Value got = v.get(k);
    EXPECT_EQ(got.type, 0u);
    EXPECT_TRUE(got.bytes.empty());
    EXPECT_EQ(prop_delete_value(ctx(), k.get(), 0), PROP_OK) << "an empty value is no error";
}

// The tnode keeps the type in one byte: a larger type is refused, never
// stored cut short, and neither the value nor the tree changes.
TEST_F(ValuesTest, TypesAboveOneByteAreRefused)
{
    StoreView v = view();
    Key k = make(system_, "typed");
    ASSERT_EQ(v.set(k, pattern(300, 1), 255), PROP_OK);
    EXPECT_EQ(v.get(k).type, 255u);
    uint64_t used = v.used_pages();
    for (uint32_t type : {256u, 259u, 0xFFFFFFFFu}) {
        EXPECT_EQ(v.set(k, pattern(5000, 2), type), static_cast<uint32_t>(PROP_E_ARG)) << type;
        Key made(ctx());
        uint32_t disp = 0;
        std::vector<uint8_t> val = pattern(10, 3);
        EXPECT_EQ(prop_create_n_set_key(ctx(), system_.get(), "n", &store_->top_security(), made.out(), &disp, type,
                                        val.data(), 10, 0),
                  static_cast<uint32_t>(PROP_E_ARG));
        BatchBuilder b;
        b.add(PROP_BATCH_CREATE_KEY, system_.get(), "m").sec = store_->top_security();
        b.set_value(k.get(), pattern(10, 4)).dtype = type;
        EXPECT_EQ(prop_batch_execute(ctx(), b.get(), 0), static_cast<uint32_t>(PROP_E_ARG));
        take_handles(ctx(), b);
    }
    Value got = v.get(k);
    EXPECT_EQ(got.type, 255u);
    EXPECT_EQ(got.bytes, pattern(300, 1));
    EXPECT_EQ(v.used_pages(), used);
    EXPECT_EQ(list_subkeys(ctx(), system_).names.size(), 1u);
}

// Another process's commit is seen at a reader's next call, though the
// reader's page cache answers from memory in between: the writer counts
// each boot block it writes, and the reader's look follows the count.
TEST_F(ValuesTest, AReaderSeesAnotherProcesssCommitAtItsNextCall)
{
    ScopedEnv words("ZKV_PAGE_CACHE_CHECK_MS", "3600000");  // the count alone answers
    make(system_, "watched");
    reopen(PROP_LEVEL_READONLY);
    StoreView v = view();
    Key k = v.open("SYSTEM.watched");
    for (uint8_t value = 1; value <= 3; value++) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            backend_ctx *writer = nullptr;
            store_->zkv()->boot_level = PROP_LEVEL_RW;
            bool ok = prop_init(&writer, store_->meta(), store_->sec(), store_->cls(), PROP_LEVEL_RW, store_->zkv(),
                                nullptr) == PROP_OK;
            StoreView w{writer};
            if (ok) ok = w.set(w.open("SYSTEM.watched"), {value}) == PROP_OK;
            ::_exit(ok && prop_terminate(writer, 0) == PROP_OK ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_EQ(status, 0);
        EXPECT_EQ(v.get(k).bytes, std::vector<uint8_t>{value});
        EXPECT_EQ(v.get(k).bytes, std::vector<uint8_t>{value}) << "from memory";
    }
}

}  // namespace

// Values through the exports: every size class round-trips with its type,
// the page accounting follows the size, a short buffer learns the size it
// needs, and refusals leave the old value.
#include <sys/wait.h>
#include <unistd.h>

#include "keys_fixture.h"

namespace {

using ValuesTest = KeysTest;

TEST_F(ValuesTest, EverySizeRoundTripsWithItsTypeAndItsPages)
{
    // 256 bytes live in the tnode, the rest in pages of 4064.
    const struct {
        const char *key;
        size_t size;
        uint32_t type;
        uint64_t pages;
    } cases[] = {{"v0", 0, PROP_TYPE_TEXT, 0},           {"v256", 256, PROP_TYPE_BYTES, 0},
                 {"v257", 257, PROP_TYPE_MULTITEXT, 1},  {"v81536", 81536, PROP_TYPE_BYTES, 20},
                 {"v300", 300, 255, 1}};  // the largest type the tnode's one byte holds
    StoreView v = view();
    for (const auto &c : cases) {
        Key k = make(system_, c.key);
        uint64_t before = v.used_pages();
        ASSERT_EQ(v.set(k, pattern(c.size, 1), c.type), PROP_OK) << c.key;
        EXPECT_EQ(v.used_pages() - before, c.pages) << c.key;
    }
    // Read back read-only, where the key cache is off and every open walks.
    reopen(PROP_LEVEL_READONLY);
    v = view();
    for (const auto &c : cases) {
        Value got = v.get(v.open(("SYSTEM." + std::string(c.key)).c_str()));
        EXPECT_EQ(got.type, c.type) << c.key;
        EXPECT_EQ(got.bytes, pattern(c.size, 1)) << c.key;
    }
    // A buffer said to be one byte short learns the size it needs, and
    // nothing else.
    std::vector<uint8_t> out(300, 0xee);
    uint32_t type = 77, size = 299;
    EXPECT_EQ(prop_get_value(ctx(), v.open("SYSTEM.v300").get(), &type, out.data(), &size, 0),
              static_cast<uint32_t>(PROP_E_BUFSZ));
    EXPECT_EQ(std::tie(size, type), std::make_tuple(300u, 77u));
    EXPECT_EQ(out, std::vector<uint8_t>(300, 0xee));
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
    for (const auto &[size, pages] : {std::pair<size_t, uint64_t>{300, 1}, {three, 3}}) {
        ASSERT_EQ(v.set(k, pattern(size, 5)), PROP_OK);
        EXPECT_EQ(v.used_pages(), empty + pages) << size;
        EXPECT_EQ(v.get(k).bytes, pattern(size, 5));
    }
    ASSERT_EQ(prop_delete_value(ctx(), k.get(), 0), PROP_OK);
    EXPECT_EQ(v.used_pages(), empty);
    Value got = v.get(k);
    EXPECT_EQ(std::tie(got.type, got.bytes), std::make_tuple(0u, std::vector<uint8_t>{}));
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

// Keys of many children: a batch that gives one key thousands of children
// neither rereads the key's entry pages for each nor saves an undo image of
// the keys it makes; a listed key's children open without a search (and,
// at the CACHING level, without a read).
#include "format/storemap.h"
#include "keys_fixture.h"

namespace {

class WideTest : public KeysTest {
  protected:
    // Children prefix0 .. prefix<n-1> of parent, made in one batch.
    void fill(const Key &parent, const char *prefix, int n)
    {
        BatchBuilder b;
        for (int i = 0; i < n; i++)
            b.add(PROP_BATCH_CREATE_KEY, parent.get(), (prefix + std::to_string(i)).c_str()).sec =
                store_->top_security();
        ASSERT_EQ(prop_batch_execute(ctx(), b.get(), 0), PROP_OK);
        take_handles(ctx(), b);
    }
};

TEST_F(WideTest, ABatchOfThousandsOfChildrenRereadsNothingAndSavesNoImageOfThem)
{
    constexpr int kBefore = 300;  // the tnode's own area and a KCE page
    constexpr int kMade = 5000;   // more pages than a transaction keeps before it writes them
    fill(make(system_, "wide"), "p", kBefore);
    reopen();
    Key parent = view().open("SYSTEM.wide");
    Key in_kce_page = view().open(("SYSTEM.wide.p" + std::to_string(kBefore - 1)).c_str());
    BatchBuilder b;
    for (int i = 0; i < kMade; i++) {
        prop_batch_op &op = b.add(PROP_BATCH_CREATE_SET, parent.get(), ("c" + std::to_string(i)).c_str());
        op.sec = store_->top_security();
        op.dtype = PROP_TYPE_BYTES;
        op.value_size = 8;
        std::memcpy(op.value, &i, sizeof i);
    }
    b.add(PROP_BATCH_DELETE_KEY, in_kce_page.get());
    const sec_attr sec = store_->top_security();
    for (int i : {kBefore - 1, 5, kBefore - 2})
        b.add(PROP_BATCH_CREATE_KEY, parent.get(), ("p" + std::to_string(i)).c_str()).sec = sec;
    store_->faults().set_record(true);
    const uint64_t reads = store_->faults().reads();
    ASSERT_EQ(prop_batch_execute(ctx(), b.get(), 0), PROP_OK);
    EXPECT_LT(store_->faults().reads() - reads, 20u) << "the parent's entry pages are read once";
    // The pages written into the log slots are the undo images.
    const proprhandle *h = store_->handle();
    const uint64_t first = PROPR_RESERVED_PREFIX + h->proprhandle_lsst + PROP_PAGE_SIZE;
    const uint64_t end = first + uint64_t{h->proprhandle_num_log} * PROP_PAGE_SIZE;
    uint64_t images = 0;
    for (const fault_write_record &w : store_->faults().recorded())
        if (w.offset >= first && w.offset < end) images += w.length / PROP_PAGE_SIZE;
    EXPECT_LE(images, 3u) << "only the parent's tnode and the KCE page it had are saved";
    std::vector<Key> made = take_handles(ctx(), b);
    // What the batch found follows its own changes past the pages it wrote.
    EXPECT_EQ(b.result(kMade + 1).disposition, PROP_DISP_CREATED);
    EXPECT_EQ(b.result(kMade + 2).disposition, PROP_DISP_EXISTED);
    EXPECT_EQ(b.result(kMade + 3).disposition, PROP_DISP_EXISTED) << "an entry of a KCE page";

    made.clear();
    in_kce_page.reset();
    parent.reset();
    reopen();
    EXPECT_EQ(list_subkeys(ctx(), view().open("SYSTEM.wide")).num_keys, static_cast<uint32_t>(kBefore + kMade));
    Value v = view().get(view().open("SYSTEM.wide.c4321"));
    ASSERT_EQ(v.bytes.size(), 8u);
    EXPECT_EQ(v.bytes[0] + 256 * v.bytes[1], 4321);
}

TEST_F(WideTest, AListedKeysChildrenOpenWithoutASearch)
{
    constexpr int kChildren = 600;
    fill(make(system_, "wide"), "c", kChildren);
    // The listing read every child's tnode ahead: opening and reading each
    // reads nothing, at any level (below CACHING the look at the change
    // count is in memory; read-only, every open walks pages held).
    ScopedEnv words("ZKV_PAGE_CACHE_CHECK_MS", "3600000");
    for (uint32_t level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING, PROP_LEVEL_READONLY}) {
        reopen(level);
        Listing l = list_subkeys(ctx(), view().open("SYSTEM.wide"));
        ASSERT_EQ(l.names.size(), static_cast<size_t>(kChildren));
        const uint64_t reads = store_->faults().reads();
        for (const std::string &name : l.names) {
            Key k = view().open(("SYSTEM.wide." + name).c_str());
            EXPECT_EQ(view().get(k).type, static_cast<uint32_t>(PROP_TYPE_NOVALUE));
        }
        EXPECT_EQ(store_->faults().reads() - reads, 0u) << "level " << level;
    }
    EXPECT_FALSE(view().cached("SYSTEM.wide.c7"));
}

}  // namespace

// Reading, reporting and writing raw blocks.
#include "diag_fixture.h"

namespace {

using Blocks = DiagTest;

TEST_F(Blocks, ReadsWhatTheFileHoldsSaysWhatIsWrongWithItAndReportsItsFields)
{
    BlockRead boot = get_block(ctx(), 25, 0);
    EXPECT_EQ(boot.rc, PROP_OK);
    EXPECT_EQ(boot.bytes, store.read_block(0, 0)) << "block 25 is the file's bytes at 0x19000";

    std::string small(4095, '\0');
    uint32_t size = 4095, blkno = 25;
    EXPECT_EQ(prop_get_block(ctx(), nullptr, 0, small.data(), &size, &blkno, PROP_BLOCK_BY_NUMBER), PROP_E_BUFSZ);
    EXPECT_EQ(size, 4096u);

    // A value page freed with its value keeps its bytes: it is handed back, as free.
    Key k = v.create(v.open("SYSTEM"), "k", store.top_security());
    ASSERT_EQ(v.set(k, pattern(5000, 3)), PROP_OK);
    const uint32_t freed = value_page(k, 0);
    const std::string held = page_bytes(freed);
    ASSERT_EQ(prop_delete_value(ctx(), k.get(), 0), PROP_OK);
    BlockRead gone = get_block(ctx(), number_of_page(freed));
    EXPECT_EQ(gone.rc, PROP_E_NOTALLOC);
    EXPECT_EQ(gone.bytes, held);

    // Past the last page, before the boot block, a location not configured,
    // no selector: all refused.
    EXPECT_EQ(get_block(ctx(), number_of_page(handle()->numpage)).rc, PROP_E_ARG);
    EXPECT_EQ(get_block(ctx(), 24).rc, PROP_E_ARG);
    EXPECT_EQ(get_block(ctx(), 25, 3).rc, PROP_E_ARG);
    EXPECT_EQ(get_block(ctx(), 25, PROP_BLOCK_ALL_LOCATIONS, 0).rc, PROP_E_ARG);

    // The report names fields and mismatches and stops at its end.
    Key reported = v.create(v.open("SYSTEM"), "reported", store.top_security());
    v.create(reported, "child-one", store.top_security());
    const uint32_t number = number_of_page(tnode_page(reported));
    BlockRead b = get_block(ctx(), number);
    ASSERT_EQ(b.rc, PROP_OK);
    const Traced report = interpret(ctx(), number, b.bytes);
    ASSERT_EQ(report.rc, PROP_OK);
    EXPECT_TRUE(report.has("1 subkeys exist in this block:\nchild-one\n")) << report.all();
    EXPECT_FALSE(report.has("MISMATCH")) << report.all();
    EXPECT_TRUE(interpret(ctx(), number + 1, b.bytes).has("!!! BLOCK NUMBER MISMATCH !!!"));
    boot = get_block(ctx(), 25);
    EXPECT_TRUE(interpret(ctx(), 25, boot.bytes).has("tnode offset:              0x"));
    EXPECT_EQ(interpret(ctx(), 25, boot.bytes, 8191).rc, PROP_E_ARG);
}

TEST_F(Blocks, ATnodeIsShownAndWrittenOnlyAsItsKeyAndTheBlockAllow)
{
    Key mine = v.create(v.open("SYSTEM"), "mine", store.top_security());
    // Owned by someone else; nobody else may read or write it.
    Key theirs = v.create(v.open("SYSTEM"), "theirs", make_sec("nobody-here", "no-group-here", 63, 0, 0));
    EXPECT_EQ(get_block(ctx(), number_of_page(tnode_page(mine))).rc, PROP_OK);
    EXPECT_EQ(get_block(ctx(), number_of_page(tnode_page(theirs))).rc, PROP_E_PERM);
    // By key the caller already holds the key open.
    BlockRead by_key = get_block(ctx(), 0, PROP_BLOCK_ALL_LOCATIONS, PROP_BLOCK_BY_KEY, theirs.get());
    EXPECT_EQ(by_key.rc, PROP_OK);
    EXPECT_EQ(by_key.blkno, number_of_page(tnode_page(theirs)));

    // A block that is no valid block of its place needs a privileged caller.
    std::string junk(4096, '\x5a');
    store.write_block(0, handle()->proprhandle_rtnst + 4096 * tnode_page(mine), junk);
    EXPECT_EQ(get_block(ctx(), number_of_page(tnode_page(mine))).rc, PROP_E_PERM);
    store.sec()->privileged = 1;
    EXPECT_EQ(get_block(ctx(), number_of_page(tnode_page(theirs))).rc, PROP_OK);
    BlockRead bad = get_block(ctx(), number_of_page(tnode_page(mine)));
    EXPECT_EQ(bad.rc, PROP_E_BADHDR);
    EXPECT_EQ(bad.bytes, junk);
    store.sec()->privileged = 0;

    // Writes: by key, the block's own number must be the key's tnode.
    Key k = v.create(v.open("SYSTEM"), "k", store.top_security());
    const uint32_t page = tnode_page(k);
    const std::string before = store.read_block(0, handle()->proprhandle_rtnst + 4096 * page);
    std::string other = store.read_block(0, handle()->proprhandle_rtnst + 4096 * tnode_page(theirs));
    EXPECT_EQ(set_block(ctx(), other, PROP_BLOCK_ALL_LOCATIONS, PROP_BLOCK_BY_KEY, k.get()), PROP_E_BADHDR);
    std::string wrong_type = page_bytes(page);
    wrong_type[8] = PROPR_BLK_VAL;
    EXPECT_EQ(set_block(ctx(), wrong_type, PROP_BLOCK_ALL_LOCATIONS, PROP_BLOCK_BY_KEY, k.get()), PROP_E_BADHDR);
    EXPECT_EQ(store.read_block(0, handle()->proprhandle_rtnst + 4096 * page), before);

    EXPECT_EQ(set_block(ctx(), other), PROP_E_PERM) << "a foreign tnode needs the right to write it";
    store.sec()->privileged = 1;
    EXPECT_EQ(set_block(ctx(), other), PROP_OK);
    store.sec()->privileged = 0;

    std::string free_page = page_bytes(page);
    const uint32_t last = number_of_page(handle()->numpage - 1);
    std::memcpy(free_page.data() + 4, &last, 4);
    EXPECT_EQ(set_block(ctx(), free_page), PROP_E_NOTALLOC);

    std::string too_small(4095, '\0');
    uint32_t size = 4095;
    EXPECT_EQ(prop_set_block(ctx(), nullptr, PROP_BLOCK_ALL_LOCATIONS, too_small.data(), &size, PROP_BLOCK_BY_NUMBER),
              PROP_E_BUFSZ);
    EXPECT_EQ(size, 4096u);
}

TEST_F(Blocks, AWrittenBlockIsReadBackAndTheHandleForgetsWhatItHeld)
{
    Key k = v.create(v.open("SYSTEM"), "k", store.top_security());
    ASSERT_EQ(v.set(k, {1, 2, 3}), PROP_OK);
    ASSERT_EQ(patch_page(tnode_page(k), [](std::string &b) { b[TNODE_OFF_INLINE_VALUE] = 9; }), 0u);
    EXPECT_EQ(v.get(v.open("SYSTEM.k")).bytes, (std::vector<uint8_t>{9, 2, 3}));

    // The boot block's state word, patched, survives the next commit.
    std::string boot = get_block(ctx(), 25).bytes;
    put_be32(boot, 356, 0x77);
    ASSERT_EQ(set_block(ctx(), boot), PROP_OK);
    ASSERT_EQ(v.set(k, {4}), PROP_OK);
    EXPECT_EQ(be32(store.read_block(0, 0), 356), 0x77u);
}

// A set-block cut by a power failure at any write, or torn part-way, is
// rolled back by recovery or complete: never a mix.
void sweep(uint32_t locations)
{
    SCOPED_TRACE(std::to_string(locations) + " location(s)");
    Store store({.locations = locations});
    store.format();
    ASSERT_EQ(store.init(), PROP_OK);
    uint32_t page = 0;
    {
        StoreView v{store.ctx()};
        Key k = v.create(v.open("SYSTEM"), "k", store.top_security());
        ASSERT_EQ(v.set(k, pattern(100, 1)), PROP_OK);
        page = k.get()->propr_keyhandle_kdesc->kd_tnode;
    }
    const uint32_t addr = store.handle()->proprhandle_rtnst + 4096 * page, number = (addr >> 12) + 25;
    std::string current = get_block(store.ctx(), number).bytes;

    auto next_version = [&](uint8_t n) {
        std::string b = current;
        std::memset(b.data() + TNODE_OFF_INLINE_VALUE, n, 100);
        return b;
    };
    // The writes of one whole set-block.
    store.faults().reset();
    ASSERT_EQ(set_block(store.ctx(), next_version(0xee)), PROP_OK);
    const uint64_t writes = store.faults().writes();
    ASSERT_GE(writes, 4u) << "begin, image, block, commit";
    current = get_block(store.ctx(), number).bytes;

    for (uint64_t n = 0; n <= 2 * writes + 1; n++) {
        const uint64_t at = n / 2;
        const bool torn = n % 2 == 1;
        SCOPED_TRACE((torn ? "write torn: " : "writes lost after: ") + std::to_string(at));
        std::string next = next_version(static_cast<uint8_t>(n));
        store.faults().reset();
        fault_rule cut;
        cut.kind = torn ? fault_kind::tear : fault_kind::drop_after;
        cut.nth = torn ? at + 1 : at;
        cut.bytes = 2048;
        store.faults().add(cut);
        set_block(store.ctx(), next);
        ASSERT_EQ(store.terminate(), 0u);
        store.faults().reset();
        ASSERT_EQ(store.init(), PROP_OK);
        ASSERT_EQ(prop_recover(store.ctx(), 0), PROP_OK);
        for (uint32_t slot = 0; slot < locations; slot++) {
            std::string now = store.read_block(slot, addr);
            ASSERT_TRUE(now == current || now == next) << "slot " << slot;
        }
        current = store.read_block(0, addr);
        EXPECT_EQ(check(store.ctx()).rc, PROP_OK);
        prop_status status{};
        ASSERT_EQ(prop_get_status(store.ctx(), &status, 0), PROP_OK);
        for (uint32_t slot = 0; slot < locations; slot++) EXPECT_EQ(status.state[slot], 3u);
    }
}

TEST(BlockCrash, ASetBlockIsAllOrNothing)
{
    sweep(1);
    sweep(2);
}

}  // namespace

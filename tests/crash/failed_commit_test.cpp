// A commit whose boot-block write fails may still have reached some
// locations: too few for a quorum.  The operation reports the failure,
// so the store must be as it was, in the process that saw it and after a
// restart, on every location.
#include <gtest/gtest.h>

#include "pages.h"
#include "support/store.h"
#include "workload.h"

namespace {

std::string value(char fill)
{
    return std::string(5000, fill);
}

uint32_t set(backend_ctx *ctx, propr_keyhandle *kh, const std::string &v)
{
    return prop_set_value(ctx, kh, PROP_TYPE_BYTES, v.data(), static_cast<uint32_t>(v.size()), 0);
}

// Which of the values the key holds.
char get(backend_ctx *ctx, propr_keyhandle *kh)
{
    std::string v(10000, '\0');
    uint32_t type = 0, size = static_cast<uint32_t>(v.size());
    EXPECT_EQ(prop_get_value(ctx, kh, &type, v.data(), &size, 0), PROP_OK);
    v.resize(size);
    return v == value(v[0]) ? v[0] : '?';
}

TEST(FailedCommit, ACommitThatReachedAMinorityIsUndoneEverywhere)
{
    StoreOptions so;
    so.locations = 3;
    Store store(so);
    store.format();
    ASSERT_EQ(store.init(), PROP_OK);
    backend_ctx *ctx = store.ctx();
    propr_keyhandle *system = nullptr, *key = nullptr;
    uint32_t disp = 0;
    ASSERT_EQ(prop_open(ctx, "SYSTEM", &system, 0), PROP_OK);
    ASSERT_EQ(prop_create_key(ctx, system, "k", &store.top_security(), &key, &disp, 0), PROP_OK);
    ASSERT_EQ(set(ctx, key, value('a')), PROP_OK);

    // The writes of one such set on a location; its last is the commit.
    const std::string tag1 = store.location_tag(1), tag2 = store.location_tag(2);
    uint64_t before = store.faults().writes(tag1.c_str());
    ASSERT_EQ(set(ctx, key, value('b')), PROP_OK);
    uint64_t commit = store.faults().writes(tag1.c_str()) - before;

    for (const std::string &tag : {tag1, tag2}) {
        std::string rule = "fail_write:nth=" + std::to_string(commit) + ",errno=EIO,times=0,path=" + tag;
        ASSERT_EQ(store.faults().load(rule.c_str()), 0);
    }
    EXPECT_EQ(set(ctx, key, value('c')), static_cast<uint32_t>(PROP_E_STORAGE));
    EXPECT_EQ(get(ctx, key), 'b');
    prop_close(ctx, key);
    prop_close(ctx, system);
    ASSERT_EQ(store.terminate(), 0u);

    store.faults().reset();
    ASSERT_EQ(store.init(), PROP_OK);
    ASSERT_EQ(prop_recover(store.ctx(), 0), PROP_OK);
    Tree tree;
    ASSERT_EQ(read_tree(store.ctx(), &tree), 0u);
    EXPECT_TRUE(tree["SYSTEM.k"].value == value('b'));
    ASSERT_EQ(store.terminate(), 0u);
    EXPECT_EQ(check_pages({store.location(0), store.location(1), store.location(2)}), std::vector<std::string>{});
}

}  // namespace

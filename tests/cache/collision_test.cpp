// Two names with the same last component whose parents hash alike share a
// hash key.  The cache must tell them apart by full name: a lookup of one
// never answers with the other's address, and caching the second evicts
// the first with everything below it.
#include <string>
#include <unordered_map>
#include <utility>

#include "cache_fixture.h"
#include "core/lookup2.h"

namespace {

// Two parent names whose hashes agree modulo 2^31 (a birthday search over
// n0, n1, ...: deterministic, a few tens of thousands of names).
std::pair<std::string, std::string> colliding_parents()
{
    std::unordered_map<u32, u32> seen;
    for (u32 i = 0; i < 4000000; i++) {
        std::string name = "n" + std::to_string(i);
        u32 h = lookup2_hash(name.data(), name.size(), 0x4903193D) & 0x7FFFFFFFu;
        auto [it, fresh] = seen.emplace(h, i);
        if (!fresh) return {"n" + std::to_string(it->second), name};
    }
    return {};
}

TEST_F(CacheTest, ACollidingKeyNeverAnswersForTheOther)
{
    const auto [p1, p2] = colliding_parents();
    ASSERT_FALSE(p1.empty());
    const std::string k1 = p1 + ".leaf", k2 = p2 + ".leaf";
    ASSERT_EQ(set(k1, 111), PROP_OK);
    ASSERT_EQ(set(k1 + ".sub", 112), PROP_OK);
    ASSERT_EQ(set(p2, 200), PROP_OK);

    proprch_hashelement *e = nullptr;
    EXPECT_EQ(proprch_keycached(cache, k2.c_str(), &e, 0), 143u);  // the other key's hash key
    EXPECT_EQ(addr(k2).first, 141u);
    EXPECT_EQ(del(k2, 1), 141u);
    EXPECT_EQ(addr(k1), std::make_pair(0u, 111u));  // the lookups changed nothing

    // Caching k2 evicts k1 with its subtree; both parents stay.
    ASSERT_EQ(set(k2, 222), PROP_OK);
    EXPECT_EQ(addr(k2), std::make_pair(0u, 222u));
    EXPECT_EQ(addr(k1).first, 141u);
    EXPECT_EQ(addr(k1 + ".sub").first, 141u);
    EXPECT_TRUE(lists(p2, k2));
    EXPECT_EQ(del(p1, 0), PROP_OK);  // no stale entry blocks p1
    EXPECT_EQ(addr(p2), std::make_pair(0u, 200u));

    // And back: the evicted side can be cached again.
    ASSERT_EQ(set(k1, 113), PROP_OK);
    EXPECT_EQ(addr(k1), std::make_pair(0u, 113u));
    EXPECT_EQ(addr(k2).first, 141u);
    EXPECT_EQ(elem(p2)->cached_num_subkey, 0u);
}

}  // namespace

// A batch behaves exactly as its operations run one after another, also
// when a later operation takes a name an earlier one deleted or moved
// away: the tree afterwards is the model's, every name the model lacks is
// gone (from the key cache too), and the pages are whole, each owned once
// and the bitmaps marking exactly those.
#include <gtest/gtest.h>

#include <set>

#include "pages.h"
#include "support/store.h"
#include "workload.h"

namespace {

struct Case {
    const char *what;
    std::vector<Op> ops;
};

class NameReuse : public ::testing::TestWithParam<uint32_t> {
  protected:
    Op op(OpKind kind, const std::string &key, const std::string &name = "", const std::string &value = "")
    {
        return {.kind = kind, .key = key, .name = name, .value = value,
                .type = value.empty() ? 0u : uint32_t{PROP_TYPE_BYTES},
                .sec = store_.top_security()};
    }
    Op move(const std::string &key, const std::string &target, const std::string &name, bool replace = false)
    {
        return {.kind = OpKind::move, .key = key, .name = name, .target = target,
                .replace = replace, .sec = store_.top_security()};
    }

    // The keys every case starts from, each with a value that spans pages,
    // so that a write through a freed tnode would land on a live page.
    std::vector<Op> setup()
    {
        std::vector<Op> s;
        for (const char *path : {"x", "a.z", "p.c.d", "q.r"})
            s.push_back(op(OpKind::create_set, "SYSTEM", path, std::string(6000, 'v') + path));
        return s;
    }

    // Every name the model knows before or after, and those the batch
    // named, opens exactly when the model holds it.
    void expect_names(const Tree &before, const Tree &after, const Op &b)
    {
        std::set<std::string> names;
        for (const auto &[n, k] : before) names.insert(n);
        for (const auto &[n, k] : after) names.insert(n);
        for (const Op &o : b.batch) {
            names.insert(o.key);
            if (!o.name.empty()) names.insert((o.kind == OpKind::move ? o.target : o.key) + "." + o.name);
        }
        for (const std::string &n : names) {
            propr_keyhandle *kh = nullptr;
            uint32_t rc = prop_open(store_.ctx(), n.c_str(), &kh, 0);
            if (kh != nullptr) prop_close(store_.ctx(), kh);
            EXPECT_EQ(rc, after.count(n) != 0 ? 0u : static_cast<uint32_t>(PROP_E_STALE)) << n;
        }
    }

    Store store_;
};

TEST_P(NameReuse, ABatchEqualsItsOperationsRunInOrder)
{
    const uint32_t level = GetParam();
    const std::string big(3000, 'n');
    const Case cases[] = {
        {"delete, then create and set the same name",
         {op(OpKind::delete_key, "SYSTEM.x"), op(OpKind::create_set, "SYSTEM", "x", big)}},
        {"delete, create again, then create below it",
         {op(OpKind::delete_tree, "SYSTEM.x"), op(OpKind::create_set, "SYSTEM", "x", big),
          op(OpKind::create_set, "SYSTEM", "x.y", big)}},
        {"move, then create the old name and below it",
         {move("SYSTEM.a", "SYSTEM", "b"), op(OpKind::create_set, "SYSTEM", "a", big),
          op(OpKind::create, "SYSTEM", "a.z")}},
        {"delete a subtree, then create below its old root",
         {op(OpKind::delete_tree, "SYSTEM.p"), op(OpKind::create_set, "SYSTEM", "p.c.d", big)}},
        {"create, delete, create",
         {op(OpKind::create_set, "SYSTEM.p", "n", big), op(OpKind::delete_tree, "SYSTEM.p"),
          op(OpKind::create_set, "SYSTEM", "p.n", big)}},
        {"move onto a key, then create below the replaced one's old child",
         {move("SYSTEM.q", "SYSTEM", "p", true), op(OpKind::create_set, "SYSTEM", "p.c", big)}},
        {"delete, then move another key into the name and create below it",
         {op(OpKind::delete_tree, "SYSTEM.p"), move("SYSTEM.q", "SYSTEM", "p"),
          op(OpKind::create_set, "SYSTEM", "p.c", big), op(OpKind::create, "SYSTEM", "q.r")}},
    };
    // Each case commits, and then again ends in a value too big for its
    // record, which rolls the whole batch back.
    Op too_big = op(OpKind::set_value, "SYSTEM", "", std::string(PROP_BATCH_VALUE_SIZE + 1, 't'));
    for (const Case &c : cases) {
        for (bool commits : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (commits ? "" : ", rolled back"));
            store_.format();
            ASSERT_EQ(store_.init(level), PROP_OK);
            for (const Op &o : setup()) ASSERT_EQ(run_op(store_.ctx(), o), 0u) << describe(o);
            Tree before, got;
            ASSERT_EQ(read_tree(store_.ctx(), &before), 0u);

            Op b{.kind = OpKind::batch, .batch = c.ops};
            Tree want = before;
            apply_op(want, b);
            if (!commits) {
                b.batch.push_back(too_big);
                want = before;
            }
            EXPECT_EQ(run_op(store_.ctx(), b), commits ? 0u : static_cast<uint32_t>(PROP_E_TOOBIG)) << describe(b);
            ASSERT_EQ(read_tree(store_.ctx(), &got), 0u);
            EXPECT_TRUE(got == want) << tree_diff(want, got);
            expect_names(before, want, b);
            ASSERT_EQ(store_.terminate(), 0u);

            EXPECT_EQ(check_pages({store_.location(0)}), std::vector<std::string>{});
            ASSERT_EQ(store_.init(level), PROP_OK);
            ASSERT_EQ(read_tree(store_.ctx(), &got), 0u);
            EXPECT_TRUE(got == want) << "after a restart\n" << tree_diff(want, got);
            ASSERT_EQ(store_.terminate(), 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, NameReuse, ::testing::Values(PROP_LEVEL_RW, PROP_LEVEL_CACHING));

}  // namespace

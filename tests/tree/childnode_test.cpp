// Creating a child's tnode with its security.
#include <gtest/gtest.h>

#include <cstring>

#include "core/handle.h"
#include "tree/childnode.h"
#include "tree/kce.h"
#include "tree/security.h"
#include "tree/tnode.h"
#include "tree/tree_store.h"
#include "txn/log.h"

namespace {

class ChildNode : public ::testing::Test {
  protected:
    TreeStore store{RawStoreOptions{.numpage = 4}};
    proprhandle *h = store.handle();
    key_desc *root = key_desc_alloc(h->metactx);
    key_desc *child = key_desc_alloc(h->metactx);
    key_desc *other = key_desc_alloc(h->metactx);
    sec_attr sec{300, PROP_PERM_READ, PROP_PERM_QUERY_KEY, "alice", "staff"};

    void SetUp() override
    {
        ASSERT_EQ(proprutbeginlog(h, 12), PROP_OK);
        ASSERT_EQ(proprutlog(h, 0, nullptr), PROP_OK);
        root->kd_entry = 0x42;
    }
    void TearDown() override
    {
        for (key_desc *kd : {root, child, other}) key_desc_free(h->metactx, kd);
    }
    u32 found_under(u32 parent, const char *name)
    {
        key_desc kd{};
        return proprutfkce(h, parent, name, &kd) == PROP_R_FOUND ? kd.kd_tnode : 0;
    }
};

TEST_F(ChildNode, NewTnodeCarriesItsSecurityAndIsFoundUnderItsParent)
{
    ASSERT_EQ(proprutcstnode(h, root, child, "SYSTEM", &sec), PROP_OK);
    u32 page = child->kd_tnode;
    EXPECT_EQ(found_under(0, "SYSTEM"), page);
    Block t = store.page(page);
    EXPECT_EQ(proprut_isblk_valid_buf(t.data(), PROPR_BLK_TNODE), 1u);
    EXPECT_EQ(be32_at(t.data(), TNODE_OFF_OWNER_ID), 1u);
    EXPECT_EQ(t[TNODE_OFF_USER_PERM], 44);  // the low byte of 300
    // The new page needs no undo image: only the root's was saved.
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_ltail, 1u);

    // A grandchild with a new owner and no group.
    sec_attr bob{63, 63, 0, "bob", ""};
    ASSERT_EQ(proprutlog(h, page, nullptr), PROP_OK);
    ASSERT_EQ(proprutcstnode(h, child, other, "Setting", &bob), PROP_OK);
    EXPECT_EQ(found_under(page, "Setting"), other->kd_tnode);
    EXPECT_EQ(be32_at(store.page(other->kd_tnode).data(), TNODE_OFF_OWNER_ID), 2u);
    EXPECT_EQ(be32_at(store.page(other->kd_tnode).data(), TNODE_OFF_GROUP_ID), 0u);
}

TEST_F(ChildNode, AFullStoreAndAnOwnerWithoutANameAreRefused)
{
    // An owner needs a name: the caller's mistake, refused before a page
    // is taken.
    sec_attr nobody{63, 63, 63, "", "staff"};
    EXPECT_EQ(proprutcstnode(h, root, child, "k0", &nobody), PROP_E_ARG);
    for (const char *name : {"k1", "k2", "k3"}) ASSERT_EQ(proprutcstnode(h, root, child, name, &sec), PROP_OK);
    EXPECT_EQ(proprutcstnode(h, root, child, "k4", &sec), PROP_E_NOSPACE);  // pages 1 to 3 taken
}

}  // namespace
